// bench_download: what a download costs per record against the calls it cannot avoid.
//
//   bench_download [records] [rounds]     (defaults: 100000 records, best of 3 rounds)
//
// One run times, on the same simulated clock, record classes and collection:
//   - the download itself, through IMachine as the host calls it;
//   - a loop that makes only the calls each record needs: the NextLogRecord Invoke, the creation
//     of a card record, its two put accessors and the collection's Add;
//   - the same loop with the yield to the thread's messages that precedes every NextLogRecord.
// The simulated clock records every call it receives, so its bookkeeping weighs on all three.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "contract.h"
#include "device/clock.h"
#include "com/com.h"
#include "com/variant.h"
#include "contract/identity.h"
#include "standins/clock/scenario.h"
#include "standins/collection/collection_probe.h"
#include "standins/pelt/pelt_probe.h"

using quorin::Bstr;
using quorin::ComPtr;
using quorin::Variant;

namespace {

constexpr short kPort = 1;
constexpr short kMachine = 1;

double Seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

[[noreturn]] void Die(const char* what, HRESULT hr) {
    std::fprintf(stderr, "%s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    std::exit(1);
}

void Check(const char* what, HRESULT hr) {
    if (FAILED(hr)) Die(what, hr);
}

ComPtr<_Collection> NewCollection() {
    ComPtr<_Collection> col;
    Check("creating a Collection",
          CoCreateInstance(quorin::kClsidCollection, nullptr, CLSCTX_INPROC_SERVER,
                           __uuidof(_Collection), col.put_void()));
    return col;
}

long CountOf(_Collection* col) {
    long n = 0;
    Check("Count", col->Count(&n));
    return n;
}

// A device holding `records` swipes, one a minute from 1 January 2008 on, with nothing recorded
// yet; and fresh probes.
clocksim::Scenario& PrepareClock(long records) {
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
    return s;
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
    Bstr owned = Bstr::adopt(msg);
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
        Check("creating the clock control",
              CoCreateInstance(quorin::kClsidClockCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               control_.put_void()));
        Start(clocksim::kConnectSerial, {38400, kMachine, kPort});
        Start(clocksim::kStartLogRead, {kMachine});
        // Reversed: argument 11 first. None of them owns anything.
        args_[10] = Variant::I4(kMachine).detach();
        args_[9] = Variant::RefI4(&machineVar_).detach();
        args_[8] = Variant::RefI4(&out_[0]).detach();
        args_[7] = Variant::RefI4(&machineVar_).detach();
        for (int k = 5; k <= 11; ++k) args_[11 - k] = Variant::RefI4(&out_[k - 4]).detach();
    }
    bool Next() {
        DISPPARAMS params{args_, nullptr, 11, 0};
        Variant more;
        Check("NextLogRecord",
              control_->Invoke(clocksim::kNextLogRecord, IID_NULL, LOCALE_USER_DEFAULT,
                               DISPATCH_METHOD, &params, more.get(), nullptr, nullptr));
        return more.vt() == VT_BOOL && V_BOOL(more.get());
    }
    LONG person() const { return out_[0]; }

  private:
    // A call with 32-bit integer arguments, given last first, that must answer True.
    void Start(DISPID id, std::vector<LONG> reversed) {
        std::vector<VARIANT> args;
        for (LONG value : reversed) args.push_back(Variant::I4(value).detach());
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        Variant answer;
        Check("starting the log read",
              control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                               answer.get(), nullptr, nullptr));
        if (answer.vt() != VT_BOOL || !V_BOOL(answer.get())) Die("starting the log read", E_FAIL);
    }
    ComPtr<IDispatch> control_;
    LONG machineVar_ = kMachine;
    LONG out_[8] = {};  // arguments 3, 5 to 11: person, two unused, year ... minute
    VARIANT args_[11];
};

// The calls a record cannot do without, on the same stand-ins; optionally with the yield.
double TimeFloor(long records, bool yield) {
    PrepareClock(records);
    ComPtr<_Collection> col = NewCollection();
    LogReader log;
    long made = 0;
    const double start = Seconds();
    for (;;) {
        if (yield) quorin::device::YieldToMessages();
        if (!log.Next()) break;
        ComPtr<_CardRecord> record;
        Check("creating a CardRecord",
              CoCreateInstance(quorin::kClsidCardRecord, nullptr, CLSCTX_INPROC_SERVER,
                               __uuidof(_CardRecord), record.put_void()));
        // The values built as the download builds them.
        Check("PersonNo", record->put_PersonNo(*Variant::I4(log.person()).get()));
        Check("SwipeTime", record->put_SwipeTime(*Variant::Date(39448.0).get()));
        IDispatch* item = record.get();
        Variant ref = Variant::RefDispatch(&item);
        Variant key = Variant::Missing(), before = Variant::Missing(), after = Variant::Missing();
        Check("Add", col->Add(ref.get(), key.get(), before.get(), after.get()));
        ++made;
    }
    const double elapsed = Seconds() - start;
    if (made != records || CountOf(col.get()) != records) Die("the loop's count", E_UNEXPECTED);
    return elapsed;
}

// Where the floor's time goes: the NextLogRecord calls alone, and the record creations alone.
double TimeInvokesOnly(long records) {
    PrepareClock(records);
    LogReader log;
    const double start = Seconds();
    while (log.Next()) {
    }
    return Seconds() - start;
}

double TimeCreationsOnly(long records) {
    const double start = Seconds();
    for (long i = 0; i < records; ++i) {
        ComPtr<_CardRecord> record;
        Check("creating a CardRecord",
              CoCreateInstance(quorin::kClsidCardRecord, nullptr, CLSCTX_INPROC_SERVER,
                               __uuidof(_CardRecord), record.put_void()));
    }
    return Seconds() - start;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const long records = argc > 1 ? std::atol(argv[1]) : 100000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    if (records < 1) {
        std::fprintf(stderr, "usage: bench_download [records] [rounds]\n");
        return 2;
    }
    if (FAILED(CoInitialize(nullptr))) return 1;
    {
        CLSID clsid;
        Check("CLSIDFromProgID(Quorin.clsMachine)", CLSIDFromProgID(L"Quorin.clsMachine", &clsid));
        ComPtr<IMachine> machine;
        Check("creating the driver", CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                                      __uuidof(IMachine), machine.put_void()));
        // Warm up: every module loaded, every class factory found once.
        TimeDownload(machine.get(), 100);
        TimeFloor(100, true);

        // Rounds interleave the three timings so that a busy moment of the machine weighs on
        // all of them; the ratios are taken within each round, and their median is reported.
        double download = 1e300, floor = 1e300, floorYield = 1e300;
        std::vector<double> ratios, ratiosYield;
        for (int r = 0; r < rounds; ++r) {
            const double f = TimeFloor(records, false);
            const double d = TimeDownload(machine.get(), records);
            const double fy = TimeFloor(records, true);
            download = std::min(download, d);
            floor = std::min(floor, f);
            floorYield = std::min(floorYield, fy);
            ratios.push_back(d / f);
            ratiosYield.push_back(d / fy);
            std::printf("round %d: floor %.3f s, download %.3f s, floor with the yield %.3f s\n",
                        r + 1, f, d, fy);
            std::fflush(stdout);
        }
        const double invokes = TimeInvokesOnly(records);
        const double creations = TimeCreationsOnly(records);
        ClockScenario()->Reset();
        PeltReset();

        auto line = [records](const char* what, double s) {
            std::printf("%-44s %9.3f s %9.2f us/record\n", what, s, s * 1e6 / records);
        };
        std::printf("records %ld, best of %d rounds; ratios: median of the rounds\n", records,
                    rounds);
        line("download (IMachine.DownloadCarddata)", download);
        line("floor: Invoke + create + 2 puts + Add", floor);
        line("floor with the yield before each Invoke", floorYield);
        line("  of it: the NextLogRecord Invokes alone", invokes);
        line("  of it: the CardRecord creations alone", creations);
        std::printf("ratio download / floor                       %9.3f\n", Median(ratios));
        std::printf("ratio download / floor with the yield        %9.3f\n", Median(ratiosYield));
    }
    CoUninitialize();
    return 0;
}
