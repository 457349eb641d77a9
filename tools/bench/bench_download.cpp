// bench_download: what a download costs per record against the calls it cannot avoid.
//
//   bench_download [records] [rounds]     (defaults: 100000 records, 3 rounds)
//   bench_download --linear [records]      (default: 1000000 records)
//
// One run times, on the same simulated clock, record classes and collection:
//   - the download itself, through IMachine as the host calls it;
//   - floors: loops that make only the calls each record needs, the NextLogRecord Invoke, the
//     creation of a card record, its two put accessors and the collection's Add:
//       by CLSID (CoCreateInstance per record), without and with the yield to the thread's
//       messages that precedes every NextLogRecord;
//       through the class object obtained once for the loop, with the yield.
// The simulated clock records every call it receives, so its bookkeeping weighs on all of them.
// --linear times downloads, and the floor with the class object, of a tenth of the records and of
// all of them in one run, and prints how many times longer the larger takes (ten where the cost
// of a record does not grow with the records made before it).
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/clock.h"
#include "tools/bench/bench.h"
#include "contract/identity.h"
#include "standins/clock/scenario.h"
#include "standins/collection/collection_probe.h"
#include "standins/pelt/pelt_probe.h"

using namespace bench;

namespace {

constexpr short kPort = 1;
constexpr short kMachine = 1;

// A device holding `records` swipes, one a minute from 1 January 2008 on, with nothing recorded
// yet; and fresh probes.
void PrepareClock(long records) {
    clocksim::Scenario& s = *ClockScenario();
    s.Reset();
    std::vector<clocksim::LogRecord>& log = s.At(kPort, kMachine).log;
    log.reserve(static_cast<size_t>(records));
    for (long i = 0; i < records; ++i) {
        clocksim::LogRecord r;
        r.person = i % 30000 + 1;
        r.year = 2008;
        r.month = 1;
        r.day = static_cast<int32_t>(i / 1440 % 28 + 1);
        r.hour = static_cast<int32_t>(i / 60 % 24);
        r.minute = static_cast<int32_t>(i % 60);
        log.push_back(r);
    }
    PeltReset();
    VbCollectionResetJournal();
}

double TimeDownload(IMachine* machine, long records) {
    PrepareClock(records);
    ComPtr<_Collection> col = NewCollection();
    _Collection* cdata = col.detach();
    BSTR msg = nullptr;
    VARIANT_BOOL ok = VARIANT_FALSE;
    const double start = Seconds();
    HRESULT hr =
        machine->DownloadCarddata(VARIANT_TRUE, nullptr, kPort, kMachine, &cdata, &msg, &ok);
    const double elapsed = Seconds() - start;
    col = ComPtr<_Collection>::adopt(cdata);
    quorin::Bstr owned = quorin::Bstr::adopt(msg);
    Check("DownloadCarddata", hr);
    if (!ok || CountOf(col.get()) != records) Die("the download's result", E_UNEXPECTED);
    return elapsed;
}

// NextLogRecord as the download calls it, made directly on a control of the simulated clock
// once connected and reading: one Invoke with the eleven arguments, argument 2 and 4 naming one
// variable.
class LogReader {
  public:
    LogReader() {
        control_.CallWith(clocksim::kConnectSerial, {kPort, kMachine, 38400});
        if (!control_.CallWith(clocksim::kStartLogRead, {kMachine}))
            Die("starting the log read", E_FAIL);
        // Reversed: argument 11 first. None of them owns anything.
        args_[10] = Variant::I4(kMachine).detach();
        args_[9] = Variant::RefI4(&machineVar_).detach();
        args_[8] = Variant::RefI4(&out_[0]).detach();
        args_[7] = Variant::RefI4(&machineVar_).detach();
        for (int k = 5; k <= 11; ++k) args_[11 - k] = Variant::RefI4(&out_[k - 4]).detach();
    }
    bool Next() { return control_.Call(clocksim::kNextLogRecord, args_, 11); }
    LONG person() const { return out_[0]; }

  private:
    Control control_;
    LONG machineVar_ = kMachine;
    LONG out_[8] = {};  // arguments 3, 5 to 11: person, two unused, year ... minute
    VARIANT args_[11];
};

// The calls a record cannot do without, on the same stand-ins, its creation made one way;
// optionally with the yield.
double TimeFloor(long records, Creation creation, bool yield) {
    PrepareClock(records);
    ComPtr<_Collection> col = NewCollection();
    LogReader log;
    long made = 0;
    const double start = Seconds();
    {
        Records<_CardRecord> cards(quorin::kClsidCardRecord, creation);
        for (;;) {
            if (yield) quorin::device::YieldToMessages();
            if (!log.Next()) break;
            ComPtr<_CardRecord> record = cards.New();
            Check("PersonNo", record->put_PersonNo(*Variant::I4(log.person()).get()));
            Check("SwipeTime", record->put_SwipeTime(*Variant::Date(39448.0).get()));
            Append(col.get(), record.get());
            ++made;
        }
    }
    const double elapsed = Seconds() - start;
    if (made != records || CountOf(col.get()) != records) Die("the loop's count", E_UNEXPECTED);
    return elapsed;
}

// Where the floors' time goes: the NextLogRecord calls alone, and the record creations alone.
double TimeInvokesOnly(long records) {
    PrepareClock(records);
    LogReader log;
    const double start = Seconds();
    while (log.Next()) {
    }
    return Seconds() - start;
}

double TimeCreationsOnly(long records, Creation creation) {
    const double start = Seconds();
    Records<_CardRecord> cards(quorin::kClsidCardRecord, creation);
    for (long i = 0; i < records; ++i) cards.New();
    return Seconds() - start;
}

}  // namespace

// Downloads of a tenth of the records and of all of them, the larger one after the smaller;
// and the same of the floor with the class object, to tell the driver's share from the rest.
void Linearity(IMachine* machine, long records) {
    const long tenth = records / 10;
    const double download[2] = {TimeDownload(machine, tenth), TimeDownload(machine, records)};
    const double floor[2] = {TimeFloor(tenth, Creation::ByClassObject, true),
                             TimeFloor(records, Creation::ByClassObject, true)};
    ClockScenario()->Reset();
    PeltReset();
    std::printf("kind %s\n", sizeof(void*) == 8 ? "x86_64" : "i686");
    PrintTime("download of a tenth of the records", download[0], tenth, "record");
    PrintTime("download of all the records", download[1], records, "record");
    PrintTime("class-object floor, a tenth of the records", floor[0], tenth, "record");
    PrintTime("class-object floor, all the records", floor[1], records, "record");
    PrintRatio("ratio download all / a tenth", download[1] / download[0]);
    PrintRatio("ratio floor all / a tenth", floor[1] / floor[0]);
}

int main(int argc, char** argv) {
    const bool linear = argc > 1 && std::strcmp(argv[1], "--linear") == 0;
    if (linear) {
        --argc;
        ++argv;
    }
    const Options o =
        ParseOptions(argc, argv, linear ? 1000000 : 100000,
                     "bench_download [records] [rounds] | bench_download --linear [records]");
    if (linear && o.count < 10) Die("--linear with fewer than 10 records", E_INVALIDARG);
    if (FAILED(CoInitialize(nullptr))) return 1;
    if (linear) {
        {
            ComPtr<IMachine> machine = NewDriver();
            TimeDownload(machine.get(), 100);  // warm up
            Linearity(machine.get(), o.count);
        }
        CoUninitialize();
        return 0;
    }
    {
        ComPtr<IMachine> machine = NewDriver();
        // Warm up: every module loaded, every class factory found once.
        TimeDownload(machine.get(), 100);
        TimeFloor(100, Creation::ByClsid, true);
        TimeFloor(100, Creation::ByClassObject, true);

        // Rounds interleave the timings so that a busy moment of the machine weighs on all of
        // them; the ratios are taken within each round, and their median is reported.
        Best download, floor, floorYield, floorClassYield;
        Tally toFloor, toFloorYield, toFloorClassYield;
        for (int r = 0; r < o.rounds; ++r) {
            const double f = TimeFloor(o.count, Creation::ByClsid, false);
            const double d = TimeDownload(machine.get(), o.count);
            const double fy = TimeFloor(o.count, Creation::ByClsid, true);
            const double fc = TimeFloor(o.count, Creation::ByClassObject, true);
            download.Add(d);
            floor.Add(f);
            floorYield.Add(fy);
            floorClassYield.Add(fc);
            toFloor.Add(d / f);
            toFloorYield.Add(d / fy);
            toFloorClassYield.Add(d / fc);
            std::printf(
                "round %d: download %.3f s; floors with CoCreateInstance %.3f s, with it and the "
                "yield %.3f s, with the class object and the yield %.3f s\n",
                r + 1, d, f, fy, fc);
            std::fflush(stdout);
        }
        const double invokes = TimeInvokesOnly(o.count);
        const double byClsid = TimeCreationsOnly(o.count, Creation::ByClsid);
        const double byClassObject = TimeCreationsOnly(o.count, Creation::ByClassObject);
        ClockScenario()->Reset();
        PeltReset();

        std::printf("kind %s, records %ld, best of %d rounds; ratios: median of the rounds\n",
                    sizeof(void*) == 8 ? "x86_64" : "i686", o.count, o.rounds);
        auto line = [&o](const char* what, double s) { PrintTime(what, s, o.count, "record"); };
        line("download (IMachine.DownloadCarddata)", download.seconds);
        line("floor: Invoke, CoCreateInstance, 2 puts, Add", floor.seconds);
        line("the same with the yield before each Invoke", floorYield.seconds);
        line("floor: the same with the class object, with the yield", floorClassYield.seconds);
        line("  of these: the NextLogRecord Invokes alone", invokes);
        line("  of these: the creations by CoCreateInstance alone", byClsid);
        line("  of these: the creations through the class object", byClassObject);
        PrintRatio("ratio download / floor with CoCreateInstance", toFloor.Median());
        PrintRatio("ratio download / that floor with the yield", toFloorYield.Median());
        PrintRatio("ratio download / class-object floor with the yield",
                   toFloorClassYield.Median());
    }
    CoUninitialize();
    return 0;
}
