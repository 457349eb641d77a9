// bench_discovery: what a scan costs against the calls it cannot avoid.
//
//   bench_discovery [attempts] [rounds]     (defaults: 100000 attempts, 3 rounds)
//
// One run times, on the same simulated clock, record class and collection, two scans through
// IMachine as the host calls them, each against a loop that makes only the calls the scan needs:
//   - silent: no device answers, so every attempt is one ConnectSerial Invoke (ports 1 to 100,
//     machine numbers 1 to attempts / 100);
//   - answering: on every port of 1 to min(attempts, 32767) machine number 1 answers, so every
//     port is one ConnectSerial Invoke, the creation of a found-device record through the class
//     object, its four put accessors and the collection's Add. Ports end at 32767, so one timing
//     is as many scans in a row as make up the attempts: a timing of a second or less swings
//     too much on a shared machine.
#include <algorithm>
#include <cstdio>

#include "contract/identity.h"
#include "standins/clock/scenario.h"
#include "standins/collection/collection_probe.h"
#include "standins/pelt/pelt_probe.h"
#include "tools/bench/bench.h"

using namespace bench;

namespace {

// A scan's ranges, whether machine number 1 answers on every port, and how many scans one
// timing makes.
struct Site {
    short ports, machines;
    bool answering;
    int scans = 1;
    long found() const { return answering ? ports : 0; }
    long attempts() const { return scans * (answering ? ports : long{ports} * machines); }
};

void PrepareClock(const Site& site) {
    clocksim::Scenario& s = *ClockScenario();
    s.Reset();
    if (site.answering) {
        for (int port = 1; port <= site.ports; ++port) s.answering.insert({port, 1});
    }
    PeltReset();
    VbCollectionResetJournal();
}

double TimeScan(IMachine* machine, const Site& site) {
    PrepareClock(site);
    double elapsed = 0;
    for (int scan = 0; scan < site.scans; ++scan) {
        _Collection* col = nullptr;
        BSTR msg = nullptr;
        VARIANT_BOOL ok = VARIANT_FALSE;
        const double start = Seconds();
        HRESULT hr = machine->funcRegister(&col, VARIANT_TRUE, 1, site.ports, nullptr, nullptr, 1,
                                           site.machines, &msg, &ok);
        elapsed += Seconds() - start;
        ComPtr<_Collection> found = ComPtr<_Collection>::adopt(col);
        quorin::Bstr owned = quorin::Bstr::adopt(msg);
        Check("funcRegister", hr);
        if (!ok || !found || CountOf(found.get()) != site.found())
            Die("the scan's result", E_UNEXPECTED);
    }
    return elapsed;
}

// One scan's attempts made directly on a control: ConnectSerial with port, machine number and
// 38400; where it answers, the record made, filled and appended as the scan does, through the
// class object obtained with the first record and released at the end. Answers the records made.
long FloorScan(Control& control, const Site& site, _Collection* col) {
    VARIANT args[3];  // reversed: baud, machine, port; none owns anything
    args[0] = Variant::I4(38400).detach();
    args[1] = Variant::I4(0).detach();
    args[2] = Variant::I4(0).detach();
    Records<_FoundMachine> records(quorin::kClsidFoundMachine, Creation::ByClassObject);
    long found = 0;
    // Counted in int, as the scan counts: a range may end at 32767.
    for (int port = 1; port <= site.ports; ++port) {
        V_I4(&args[2]) = port;
        for (int machine = 1; machine <= site.machines; ++machine) {
            V_I4(&args[1]) = machine;
            if (!control.Call(clocksim::kConnectSerial, args, 3)) continue;
            ComPtr<_FoundMachine> record = records.New();
            const auto p = static_cast<short>(port), m = static_cast<short>(machine);
            Check("MachineNo", record->put_MachineNo(*Variant::I2(m).get()));
            Check("Port", record->put_Port(*Variant::I2(p).get()));
            Check("Address", record->put_Address(*Variant::Text(L"").get()));
            Check("MachineId", record->put_MachineId(*Variant::I2(m).get()));
            Append(col, record.get());
            ++found;
            break;
        }
    }
    return found;
}

double TimeFloor(const Site& site) {
    PrepareClock(site);
    Control control;
    double elapsed = 0;
    for (int scan = 0; scan < site.scans; ++scan) {
        ComPtr<_Collection> col = NewCollection();
        const double start = Seconds();
        const long found = FloorScan(control, site, col.get());
        elapsed += Seconds() - start;
        if (found != site.found()) Die("the loop's count", E_UNEXPECTED);
    }
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = ParseOptions(argc, argv, 100000, "bench_discovery [attempts] [rounds]");
    const Site silent{100, static_cast<short>(std::clamp(o.count / 100, 1L, 32767L)), false};
    const short ports = static_cast<short>(std::min(o.count, 32767L));
    const Site answering{ports, 1, true, static_cast<int>((o.count + ports - 1) / ports)};
    if (FAILED(CoInitialize(nullptr))) return 1;
    {
        ComPtr<IMachine> machine = NewDriver();
        // Warm up: every module loaded, the device control made, every class factory found once.
        TimeScan(machine.get(), Site{3, 3, false});
        TimeScan(machine.get(), Site{3, 1, true});
        TimeFloor(Site{3, 1, true});

        Best scans[2], floors[2];
        Tally ratios[2];
        const Site* sites[2] = {&silent, &answering};
        for (int r = 0; r < o.rounds; ++r) {
            for (int k = 0; k < 2; ++k) {
                // The floor first in odd rounds, the scan first in even ones: neither always
                // meets the heap and the queue as the other left them.
                double f = 0, s = 0;
                if (r % 2 == 0) f = TimeFloor(*sites[k]);
                s = TimeScan(machine.get(), *sites[k]);
                if (r % 2 == 1) f = TimeFloor(*sites[k]);
                floors[k].Add(f);
                scans[k].Add(s);
                ratios[k].Add(s / f);
                std::printf("round %d, %s scan: %.3f s, floor %.3f s\n", r + 1,
                            k ? "answering" : "silent", s, f);
                std::fflush(stdout);
            }
        }
        ClockScenario()->Reset();
        PeltReset();

        std::printf("kind %s, best of %d rounds; ratios: median of the rounds\n",
                    sizeof(void*) == 8 ? "x86_64" : "i686", o.rounds);
        PrintTime("silent scan (IMachine.funcRegister)", scans[0].seconds, silent.attempts(),
                  "attempt");
        PrintTime("floor: the ConnectSerial Invokes", floors[0].seconds, silent.attempts(),
                  "attempt");
        PrintTime("answering scan (IMachine.funcRegister)", scans[1].seconds, answering.attempts(),
                  "port");
        PrintTime("floor: Invoke, creation, 4 puts, Add", floors[1].seconds, answering.attempts(),
                  "port");
        std::printf(
            "silent: %ld attempts (%d ports, machine numbers 1 to %d); answering: %ld ports "
            "(%d scans of ports 1 to %d)\n",
            silent.attempts(), silent.ports, silent.machines, answering.attempts(), answering.scans,
            answering.ports);
        PrintRatio("ratio silent scan / its floor", ratios[0].Median());
        PrintRatio("ratio answering scan / its floor", ratios[1].Median());
    }
    CoUninitialize();
    return 0;
}
