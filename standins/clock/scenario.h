// The simulated clock's scenario: what the simulated device control answers, and the record of
// every call it received. One scenario per process, shared by every control instance; tests and
// the console reach it through ClockScenario() exported by the simulator DLL.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#ifdef CLOCKSIM_BUILD
#define CLOCKSIM_API __declspec(dllexport)
#else
#define CLOCKSIM_API __declspec(dllimport)
#endif

namespace clocksim {

// Dispatch identifiers the control answers.
enum Dispid : DISPID {
    kSerialPort = 2,
    kConnectSerial = 38,
    kDisconnect = 40,
    kReadEnrollment = 19,
    kWriteEnrollment = 20,
    kStartLogRead = 8,
    kNextLogRecord = 25,
    kAfterLogRead = 36,
};

// One argument as received, in call order.
struct ArgRecord {
    VARTYPE vt = VT_EMPTY;
    int64_t value = 0;              // the value (for by-reference arguments: the value on entry)
    const void* address = nullptr;  // for by-reference arguments: where it points
};

struct CallRecord {
    DISPID dispid = 0;
    WORD flags = 0;               // invoke kind as received
    std::vector<ArgRecord> args;  // in call order (DISPPARAMS reversed back)
    unsigned namedArgs = 0;
    bool yieldedBefore = false;  // a message posted after the previous call was dispatched
    DWORD thread = 0;
    int instance = 0;  // serial number of the control instance that was called
};

// One attendance record the device holds. The optional values are what the device writes into
// arguments 2, 4, 5 and 6 of NextLogRecord (unset: argument left unchanged).
struct LogRecord {
    int32_t person = 0, year = 0, month = 0, day = 0, hour = 0, minute = 0;
    std::optional<int32_t> arg2, arg4, arg5, arg6;
};

// A failure injected into a call: the nth call with that dispid (0-based, counted from the
// injection), or every call when nth < 0.
struct Failure {
    HRESULT hr = E_FAIL;       // returned from Invoke (DISP_E_EXCEPTION fills EXCEPINFO)
    std::wstring description;  // EXCEPINFO description when hr is DISP_E_EXCEPTION (scode
                               // E_FAIL, source "ClockSim"); otherwise the thread's COM error
                               // information (none when empty)
    int nth = -1;
    int seen = 0;  // calls of the dispid since the injection
};

// One enrollment held by the device: a template (backup 0) or a password (backup 10).
struct Enrollment {
    std::array<int32_t, 460> templ{};
    int32_t password = 0;
};

// What WriteEnrollment received.
struct WrittenEnrollment {
    int32_t machine = 0, person = 0, backup = 0, password = 0;
    std::array<int32_t, 460> templ{};
};

struct Scenario {
    std::recursive_mutex lock;

    // Configuration.
    std::set<std::pair<int, int>> answering;  // (port, machine) that connect
    std::map<DISPID, Failure> failures;       // injected failures
    std::map<DISPID, VARIANT> results;        // result overrides (owned, VariantClear'd)
    bool startLogRead = true;
    std::vector<LogRecord> log;                             // delivered in order
    std::map<std::pair<int, int>, Enrollment> enrollments;  // (person, backup) -> enrollment
    bool writeResult = true;                                // WriteEnrollment answer

    // Observations.
    std::vector<CallRecord> calls;
    std::vector<WrittenEnrollment> written;
    int instancesCreated = 0;
    int instancesAlive = 0;
    std::vector<DWORD> creatingThreads;  // thread of each created instance
    size_t nextLog = 0;                  // index of the next log record

    // Bumped by Reset, so that yield detection starts afresh on every thread.
    unsigned generation = 0;

    Scenario() = default;
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;
    ~Scenario() { ClearResults(); }

    // Back to an empty device with no calls recorded (instances stay counted).
    void Reset();
    // A small bench for the console: devices, attendance records and enrollments.
    void LoadDemo();

    std::vector<CallRecord> CallsOf(DISPID dispid);
    void SetResult(DISPID dispid, const VARIANT& value);  // copies value
    void Fail(DISPID dispid, HRESULT hr, const std::wstring& description = L"", int nth = -1);

  private:
    void ClearResults() {
        for (auto& entry : results) VariantClear(&entry.second);
        results.clear();
    }
};

inline void Scenario::Reset() {
    std::lock_guard<std::recursive_mutex> hold(lock);
    answering.clear();
    failures.clear();
    ClearResults();
    startLogRead = true;
    log.clear();
    enrollments.clear();
    writeResult = true;
    calls.clear();
    written.clear();
    nextLog = 0;
    ++generation;
}

// Replaces the configuration (and the record of calls) with the bench: devices at (port 1,
// machine 1) and (port 3, machine 2), five swipes in 2026, a template for person 7 and a
// password for person 8.
inline void Scenario::LoadDemo() {
    std::lock_guard<std::recursive_mutex> hold(lock);
    Reset();
    answering = {{1, 1}, {3, 2}};
    log = {
        {101, 2026, 1, 5, 8, 30, {}, {}, {}, {}},   {102, 2026, 1, 5, 8, 47, {}, {}, {}, {}},
        {103, 2026, 2, 14, 9, 5, {}, {}, {}, {}},   {104, 2026, 3, 31, 17, 59, {}, {}, {}, {}},
        {105, 2026, 12, 31, 23, 0, {}, {}, {}, {}},
    };
    // A template that is easy to recognise: a prime step, the first thirteen values negative.
    Enrollment fingerprint;
    for (int32_t i = 0; i < static_cast<int32_t>(fingerprint.templ.size()); ++i)
        fingerprint.templ[i] = i * 7919 - 100000;
    enrollments[{7, 0}] = fingerprint;
    Enrollment password;
    password.password = 123456;
    enrollments[{8, 10}] = password;
}

inline std::vector<CallRecord> Scenario::CallsOf(DISPID dispid) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    std::vector<CallRecord> found;
    for (const CallRecord& c : calls) {
        if (c.dispid == dispid) found.push_back(c);
    }
    return found;
}

inline void Scenario::SetResult(DISPID dispid, const VARIANT& value) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    VARIANT& slot = results[dispid];
    VariantClear(&slot);
    VariantCopy(&slot, const_cast<VARIANT*>(&value));
}

inline void Scenario::Fail(DISPID dispid, HRESULT hr, const std::wstring& description, int nth) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    failures[dispid] = Failure{hr, description, nth, 0};
}

}  // namespace clocksim

extern "C" CLOCKSIM_API clocksim::Scenario* ClockScenario();
