// The simulated clock's scenario: the site that the simulated device control stands for (devices
// on their ports, what each holds, injected failures, the line's timing) and the record of every
// call it received. One scenario per process, shared by every control instance; each instance
// keeps its own link to one device. Tests reach it through ClockScenario() exported by the
// simulator DLL; a scenario file is the other way in (ClockLoadScenario, or at start).
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

#include "com/variant.h"

#ifdef CLOCKSIM_BUILD
#define CLOCKSIM_API __declspec(dllexport)
#else
#define CLOCKSIM_API __declspec(dllimport)
#endif

namespace clocksim {

// The device maker's control, as the simulator registers itself: "ClockLinkCtl.ClockCtl".
inline constexpr GUID kClsidClockCtl = {
    0x00853a19, 0xbd51, 0x419b, {0x92, 0x69, 0x2d, 0xab, 0xe5, 0x7e, 0xb6, 0x1f}};
inline constexpr wchar_t kClockProgId[] = L"ClockLinkCtl.ClockCtl";

// Argument types of the device calls.
inline constexpr VARTYPE kI4 = VT_I4;
inline constexpr VARTYPE kRefI2 = VT_BYREF | VT_I2;
inline constexpr VARTYPE kRefI4 = VT_BYREF | VT_I4;

// The device calls the control answers, one line each: the name that scenario files and test
// traces write, the dispatch identifier, how it is invoked (a property put or a method) and the
// types of its arguments in call order.
#define CLOCKSIM_DEVICE_CALLS(X)                                                               \
    X(SerialPort, 2, DISPATCH_PROPERTYPUT, kI4)                                                \
    X(ConnectSerial, 38, DISPATCH_METHOD, kI4, kI4, kI4)                                       \
    X(Disconnect, 40, DISPATCH_METHOD)                                                         \
    X(ReadEnrollment, 19, DISPATCH_METHOD, kI4, kI4, kI4, kI4, kRefI2, kRefI4, kRefI4)         \
    X(WriteEnrollment, 20, DISPATCH_METHOD, kI4, kI4, kI4, kI4, kI4, kRefI4, kI4)              \
    X(StartLogRead, 8, DISPATCH_METHOD, kI4)                                                   \
    X(NextLogRecord, 25, DISPATCH_METHOD, kI4, kRefI4, kRefI4, kRefI4, kRefI4, kRefI4, kRefI4, \
      kRefI4, kRefI4, kRefI4, kRefI4)                                                          \
    X(AfterLogRead, 36, DISPATCH_METHOD, kI4)

// kSerialPort, kConnectSerial, ...
enum Dispid : DISPID {
#define CLOCKSIM_DISPID(name, id, ...) k##name = id,
    CLOCKSIM_DEVICE_CALLS(CLOCKSIM_DISPID)
#undef CLOCKSIM_DISPID
};

struct DeviceCall {
    const char* name;
    DISPID id;
    WORD kind;  // DISPATCH_PROPERTYPUT or DISPATCH_METHOD
    unsigned argc;
    VARTYPE args[11];
};

template <class... Types>
constexpr unsigned CountOf(Types...) {
    return sizeof...(Types);
}

inline constexpr DeviceCall kCalls[] = {
#define CLOCKSIM_CALL(name, id, kind, ...) {#name, id, kind, CountOf(__VA_ARGS__), {__VA_ARGS__}},
    CLOCKSIM_DEVICE_CALLS(CLOCKSIM_CALL)
#undef CLOCKSIM_CALL
};

// The call with that dispatch identifier, or nothing for one the control does not answer.
inline const DeviceCall* FindCall(DISPID id) {
    for (const DeviceCall& call : kCalls)
        if (call.id == id) return &call;
    return nullptr;
}

// The name of a call, or nothing for a dispatch identifier the control does not answer.
inline const char* CallName(DISPID id) {
    const DeviceCall* call = FindCall(id);
    return call ? call->name : nullptr;
}

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
    // DISP_E_EXCEPTION: the exception carries this error number (wCode) and no scode, as the
    // controls of some frameworks report theirs. 0: scode E_FAIL.
    WORD number = 0;
    // VT_NULL or VT_BSTR: instead of failing, the call does its work and answers Null, or
    // `description` as text, where a Boolean belongs. VT_EMPTY: the call fails with hr.
    VARTYPE answer = VT_EMPTY;
};

// The integers of a fingerprint template.
constexpr int kTemplateLength = 460;

// One enrollment held by the device: a template (backup 0) or a password (backup 10).
struct Enrollment {
    std::array<int32_t, kTemplateLength> templ{};
    int32_t password = 0;
};

// What WriteEnrollment received.
struct WrittenEnrollment {
    int32_t machine = 0, person = 0, backup = 0, password = 0;
    std::array<int32_t, kTemplateLength> templ{};
};

// A device's place on the lines: (port, machine).
using Address = std::pair<int, int>;

// What one device holds.
struct Device {
    std::vector<LogRecord> log;                             // delivered in order
    std::map<std::pair<int, int>, Enrollment> enrollments;  // (person, backup) -> enrollment
};

// How long the line makes calls take. Off, every call answers at once.
struct Timing {
    bool enabled = false;
    double speed = 1.0;           // every duration is divided by it
    int connectTimeoutMs = 2000;  // ConnectSerial to an address where nothing answers
};

// Bytes on the line, at ten bits a byte: one attendance record, one template.
constexpr int kLogRecordBytes = 16;
constexpr int kTemplateBytes = kTemplateLength * 4;

// The simulated site: where devices stand, what they hold and how the line behaves. A scenario
// file describes one; the bench is another.
struct Site {
    std::set<Address> answering;         // addresses where a device answers ConnectSerial
    std::map<Address, Device> devices;   // what each device holds (answering or not)
    std::map<DISPID, Failure> failures;  // injected failures
    Timing timing;
};

struct Scenario : Site {
    std::recursive_mutex lock;

    // Configuration beyond the site.
    std::map<DISPID, quorin::Variant> results;  // result overrides
    bool startLogRead = true;                   // StartLogRead's answer on a connected device
    bool writeResult = true;                    // WriteEnrollment's answer on a connected device
    // Set when a scenario file was refused: every call but Disconnect then fails with this
    // description.
    std::wstring refusal;

    // Observations.
    std::vector<CallRecord> calls;
    std::vector<WrittenEnrollment> written;  // every WriteEnrollment received, connected or not
    unsigned long long lineMs = 0;           // how long the line held the calls, in all
    int instancesCreated = 0;
    int instancesAlive = 0;
    std::vector<DWORD> creatingThreads;  // thread of each created instance

    // Bumped by Reset, so that yield detection starts afresh on every thread and every open
    // link of a control is gone.
    unsigned generation = 0;

    Scenario() = default;
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    // Back to an empty site with no calls recorded (instances stay counted).
    void Reset();
    // A small bench for the console: devices, attendance records and enrollments.
    void LoadDemo();
    // Replaces the configuration (and the record of calls) with the site.
    void Load(Site site);

    // The device at (port, machine), made to answer.
    Device& At(int port, int machine);

    std::vector<CallRecord> CallsOf(DISPID dispid);
    void SetResult(DISPID dispid, const VARIANT& value);  // copies value
    void Fail(DISPID dispid, HRESULT hr, const std::wstring& description = L"", int nth = -1);
    // Every call with that dispid raises an exception by error number (see Failure::number).
    void FailByNumber(DISPID dispid, WORD number, const std::wstring& description);
};

inline void Scenario::Reset() {
    std::lock_guard<std::recursive_mutex> hold(lock);
    static_cast<Site&>(*this) = Site{};
    results.clear();
    startLogRead = true;
    writeResult = true;
    refusal.clear();
    calls.clear();
    written.clear();
    lineMs = 0;
    ++generation;
}

inline void Scenario::Load(Site site) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    Reset();
    static_cast<Site&>(*this) = std::move(site);
}

inline Device& Scenario::At(int port, int machine) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    answering.insert({port, machine});
    return devices[{port, machine}];
}

// Replaces the configuration (and the record of calls) with the bench: devices at (port 1,
// machine 1) and (port 3, machine 2), each with swipes of its own in 2026; the first holds a
// template for person 7 and a password for person 8.
inline void Scenario::LoadDemo() {
    std::lock_guard<std::recursive_mutex> hold(lock);
    Reset();
    Device& first = At(1, 1);
    first.log = {
        {101, 2026, 1, 5, 8, 30, {}, {}, {}, {}},   {102, 2026, 1, 5, 8, 47, {}, {}, {}, {}},
        {103, 2026, 2, 14, 9, 5, {}, {}, {}, {}},   {104, 2026, 3, 31, 17, 59, {}, {}, {}, {}},
        {105, 2026, 12, 31, 23, 0, {}, {}, {}, {}},
    };
    // A template that is easy to recognise: a prime step, the first thirteen values negative.
    Enrollment fingerprint;
    for (int32_t i = 0; i < static_cast<int32_t>(fingerprint.templ.size()); ++i)
        fingerprint.templ[i] = i * 7919 - 100000;
    first.enrollments[{7, 0}] = fingerprint;
    Enrollment password;
    password.password = 123456;
    first.enrollments[{8, 10}] = password;
    At(3, 2).log = {
        {201, 2026, 1, 5, 7, 55, {}, {}, {}, {}},
        {202, 2026, 1, 5, 16, 2, {}, {}, {}, {}},
    };
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
    results[dispid] = quorin::Variant(value);
}

inline void Scenario::Fail(DISPID dispid, HRESULT hr, const std::wstring& description, int nth) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    failures[dispid] = Failure{hr, description, nth, 0};
}

inline void Scenario::FailByNumber(DISPID dispid, WORD number, const std::wstring& description) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    Failure failure{DISP_E_EXCEPTION, description};
    failure.number = number;
    failures[dispid] = failure;
}

}  // namespace clocksim

// The process's scenario, loaded when first asked for: from the file named by the environment
// variable QUORIN_CLOCKSIM_SCENARIO, else by the value "Scenario" of
// HKEY_CURRENT_USER\Software\Quorin\ClockSim, else the bench.
extern "C" CLOCKSIM_API clocksim::Scenario* ClockScenario();
// Replaces the scenario with the one described by the file at `path`. S_OK; or, for a file that
// cannot be read or has a mistake, E_FAIL with the message in ClockScenario()->refusal, which
// every call then fails with.
extern "C" CLOCKSIM_API HRESULT ClockLoadScenario(const wchar_t* path);
