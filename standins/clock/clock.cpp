// The simulated device control: an IDispatch-only object that answers the device operations by
// dispatch identifier from the process's scenario, over a link to one device that each instance
// keeps, records every call it receives, and checks the invoke kind, argument count and variant
// types as a real automation control does.
#include <windows.h>
#include <oleauto.h>

#include <iterator>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "com/module.h"
#include "com/object.h"
#include "com/variant.h"
#include "standins/clock/scenario.h"
#include "standins/clock/scenario_file.h"
#include "standins/common/server.h"
#include "com/text.h"

namespace {

using clocksim::ArgRecord;
using clocksim::CallRecord;
using clocksim::Scenario;
using quorin::Exposes;
using quorin::NoTypeInfo;
using quorin::Variant;

// The file a developer names for the process: the environment variable first, then the
// simulator's registry value; empty for none.
std::wstring ConfiguredScenarioFile() {
    std::vector<wchar_t> text(32768);
    const DWORD n = GetEnvironmentVariableW(L"QUORIN_CLOCKSIM_SCENARIO", text.data(),
                                            static_cast<DWORD>(text.size()));
    if (n && n < text.size()) return std::wstring(text.data(), n);
    // REG_EXPAND_SZ values come expanded.
    DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Quorin\\ClockSim", L"Scenario", RRF_RT_REG_SZ,
                     nullptr, text.data(), &bytes) == ERROR_SUCCESS)
        return std::wstring(text.data());
    return {};
}

HRESULT LoadScenario(Scenario& scenario, const std::wstring& path) {
    clocksim::Site site;
    std::wstring error;
    if (clocksim::ReadScenarioFile(path, site, error)) {
        scenario.Load(std::move(site));
        return S_OK;
    }
    // Nothing of a refused file is kept: the site stays empty and every call fails.
    std::lock_guard<std::recursive_mutex> hold(scenario.lock);
    scenario.Reset();
    scenario.refusal = error;
    return E_FAIL;
}

// A refused file is also told where a developer looks first: the process's error output and
// the debugger.
void Complain(const std::wstring& message) {
    const std::wstring line = L"ClockSim: " + message + L"\n";
    OutputDebugStringW(line.c_str());
    const std::string bytes = quorin::Utf8(line);
    DWORD written = 0;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err && err != INVALID_HANDLE_VALUE)
        WriteFile(err, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

Scenario* StartScenario() {
    auto* scenario = new Scenario();
    const std::wstring file = ConfiguredScenarioFile();
    if (file.empty()) {
        scenario->LoadDemo();
    } else if (FAILED(LoadScenario(*scenario, file))) {
        Complain(scenario->refusal);
    }
    return scenario;
}

// Loaded when first asked for, by a test or by the first control: not while the module loads,
// where reading files and the registry is unsafe. Never destroyed: a thread may still call a
// control while the process ends.
Scenario& TheScenario() {
    static Scenario* const scenario = StartScenario();
    return *scenario;
}

// ---- Yield detection -------------------------------------------------------------------------
// After each call a marker message waits in the calling thread's queue, addressed to a
// message-only window of that thread. Its window procedure notes the marker when the thread
// dispatches it, so the next call can tell whether the thread dispatched its messages in
// between. At most one marker per thread waits at a time, so a caller that never yields does
// not fill its queue.

constexpr UINT kMarkerMessage = WM_APP + 0x2A;
constexpr wchar_t kMarkerClass[] = L"ClockSimYieldMarker";

// Trivially destructible: nothing runs at thread exit, and the window ends with its thread.
struct ThreadMarks {
    HWND window;
    WPARAM waiting;     // sequence of the marker posted last, 0 when none is known to wait
    WPARAM dispatched;  // highest sequence dispatched
    WPARAM sequence;    // last sequence used
    unsigned generation;
};
thread_local ThreadMarks t_marks = {};

LRESULT CALLBACK MarkerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kMarkerMessage) {
        if (wParam > t_marks.dispatched) t_marks.dispatched = wParam;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND MarkerWindow() {
    if (t_marks.window && IsWindow(t_marks.window)) return t_marks.window;
    static std::once_flag registered;
    std::call_once(registered, [] {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = MarkerProc;
        wc.hInstance = quorin::ThisModule();
        wc.lpszClassName = kMarkerClass;
        RegisterClassExW(&wc);
        // Windows of the class point into this module: it stays loaded for the process's life.
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&MarkerProc), &pinned);
    });
    t_marks.window = CreateWindowExW(0, kMarkerClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     quorin::ThisModule(), nullptr);
    return t_marks.window;
}

// Whether the marker left by this thread's previous call (since the last Reset) was dispatched.
bool YieldedSincePreviousCall(unsigned generation) {
    const ThreadMarks& t = t_marks;
    return t.generation == generation && t.waiting != 0 && t.dispatched >= t.waiting;
}

// Leaves a marker waiting in the thread's queue, unless one still waits there.
void LeaveMarker(unsigned generation) {
    ThreadMarks& t = t_marks;
    t.generation = generation;
    HWND window = MarkerWindow();
    if (!window) {
        t.waiting = 0;
        return;
    }
    bool stillWaiting = t.waiting != 0 && t.dispatched < t.waiting;
    if (stillWaiting) {
        // A loop that removed it without dispatching it would leave nothing to observe.
        MSG msg;
        stillWaiting = PeekMessageW(&msg, window, kMarkerMessage, kMarkerMessage,
                                    PM_NOREMOVE | PM_NOYIELD | PM_QS_POSTMESSAGE) != 0;
    }
    if (stillWaiting) return;
    const WPARAM sequence = ++t.sequence;
    t.waiting = PostMessageW(window, kMarkerMessage, sequence, 0) ? sequence : 0;
}

// ---- Calls -----------------------------------------------------------------------------------

ArgRecord Describe(const VARIANT& v) {
    ArgRecord a;
    a.vt = V_VT(&v);
    if (a.vt & VT_BYREF) {
        a.address = V_BYREF(&v);
        if (!a.address) return a;
        switch (a.vt) {
            case VT_BYREF | VT_I4:
                a.value = *V_I4REF(&v);
                break;
            case VT_BYREF | VT_I2:
                a.value = *V_I2REF(&v);
                break;
            case VT_BYREF | VT_UI1:
                a.value = *V_UI1REF(&v);
                break;
            case VT_BYREF | VT_BOOL:
                a.value = *V_BOOLREF(&v);
                break;
            default:
                break;
        }
        return a;
    }
    switch (a.vt) {
        case VT_I1:
            a.value = V_I1(&v);
            break;
        case VT_UI1:
            a.value = V_UI1(&v);
            break;
        case VT_I2:
            a.value = V_I2(&v);
            break;
        case VT_UI2:
            a.value = V_UI2(&v);
            break;
        case VT_I4:
            a.value = V_I4(&v);
            break;
        case VT_UI4:
            a.value = V_UI4(&v);
            break;
        case VT_INT:
            a.value = V_INT(&v);
            break;
        case VT_UINT:
            a.value = V_UINT(&v);
            break;
        case VT_I8:
            a.value = V_I8(&v);
            break;
        case VT_BOOL:
            a.value = V_BOOL(&v);
            break;
        case VT_ERROR:
            a.value = V_ERROR(&v);
            break;
        default:
            break;
    }
    return a;
}

HRESULT Validate(const clocksim::DeviceCall& call, WORD flags, const DISPPARAMS& params,
                 UINT* argErr) {
    if (!(flags & call.kind)) return DISP_E_MEMBERNOTFOUND;
    if (call.kind == DISPATCH_PROPERTYPUT) {
        if (params.cNamedArgs != 1 || !params.rgdispidNamedArgs ||
            params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return DISP_E_PARAMNOTOPTIONAL;
    } else if (params.cNamedArgs != 0) {
        return DISP_E_NONAMEDARGS;
    }
    if (params.cArgs != call.argc) return DISP_E_BADPARAMCOUNT;
    if (params.cArgs && !params.rgvarg) return E_INVALIDARG;
    for (unsigned i = 0; i < call.argc; ++i) {
        const UINT slot = call.argc - 1 - i;
        const VARIANT& v = params.rgvarg[slot];
        const bool nullReference = (V_VT(&v) & VT_BYREF) && !V_BYREF(&v);
        if (V_VT(&v) != call.args[i] || nullReference) {
            if (argErr) *argErr = slot;
            return DISP_E_TYPEMISMATCH;
        }
    }
    return S_OK;
}

// The arguments of a validated call, in call order.
class Args {
  public:
    explicit Args(const DISPPARAMS& params) : params_(params) {}
    LONG I4(unsigned i) const { return V_I4(&at(i)); }
    LONG* RefI4(unsigned i) const { return V_I4REF(&at(i)); }

  private:
    const VARIANT& at(unsigned i) const { return params_.rgvarg[params_.cArgs - 1 - i]; }
    const DISPPARAMS& params_;
};

// The scenario's keys: (port, machine) and (person, backup).
std::pair<int, int> Key(LONG a, LONG b) {
    return {static_cast<int>(a), static_cast<int>(b)};
}

// An injected failure. A DISP_E_EXCEPTION comes with an EXCEPINFO whose scode is E_FAIL (or whose
// wCode is the failure's error number); any other HRESULT leaves the description (if any) as the
// thread's error information.
HRESULT InjectFailure(const clocksim::Failure& failure, EXCEPINFO* excep) {
    if (failure.hr == DISP_E_EXCEPTION) {
        if (excep) {
            *excep = EXCEPINFO{};
            if (failure.number)
                excep->wCode = failure.number;
            else
                excep->scode = E_FAIL;
            excep->bstrSource = SysAllocString(L"ClockSim");
            excep->bstrDescription = SysAllocString(failure.description.c_str());
        }
        return failure.hr;
    }
    return standins::ReportError(failure.hr, IID_IDispatch, L"ClockSim", failure.description);
}

// A control's link, as its last ConnectSerial or Disconnect left it. The link belongs to the
// control instance (one per apartment in the driver), the devices to the site.
struct Link {
    bool open = false;
    clocksim::Address at;
    LONG baud = 0;
    unsigned generation = 0;  // the scenario's, when connected: a Reset drops every link
    bool reading = false;     // from a StartLogRead that answered True to AfterLogRead
    size_t next = 0;          // the log record NextLogRecord delivers next
};

// The device that a call naming `machine` reaches over the link: none without an open link, for
// another machine number, or when the device no longer answers.
clocksim::Device* Linked(Scenario& s, const Link& link, LONG machine) {
    if (!link.open || link.generation != s.generation || link.at.second != machine ||
        !s.answering.count(link.at))
        return nullptr;
    return &s.devices[link.at];
}

// Milliseconds that `bytes` take on the line, or that the connection timeout takes; 0 with the
// timing off.
DWORD LineTime(const clocksim::Timing& timing, double bytes, LONG baud) {
    if (!timing.enabled || baud <= 0) return 0;
    return static_cast<DWORD>(bytes * 10 * 1000 / baud / timing.speed + 0.5);
}

DWORD TimeoutTime(const clocksim::Timing& timing) {
    return timing.enabled ? static_cast<DWORD>(timing.connectTimeoutMs / timing.speed + 0.5) : 0;
}

// The operation's side effects on the link, the site and the caller's variables; its computed
// result goes to `result` (left Empty for operations without one). Returns how long the line
// takes for it, in milliseconds.
DWORD Perform(Scenario& s, Link& link, DISPID id, const Args& a, Variant& result) {
    switch (id) {
        case clocksim::kConnectSerial: {
            // A new connection ends the one before, whatever becomes of it.
            link = Link{};
            const auto at = Key(a.I4(0), a.I4(1));
            const bool answers = s.answering.count(at) != 0;
            if (answers) link = Link{true, at, a.I4(2), s.generation, false, 0};
            result = Variant::Bool(answers);
            return answers ? 0 : TimeoutTime(s.timing);
        }
        case clocksim::kDisconnect:
            link = Link{};
            return 0;
        case clocksim::kReadEnrollment: {
            clocksim::Device* device = Linked(s, link, a.I4(0));
            const LONG backup = a.I4(3);
            const clocksim::Enrollment* held = nullptr;
            if (device) {
                auto found = device->enrollments.find(Key(a.I4(1), backup));
                if (found != device->enrollments.end()) held = &found->second;
            }
            if (held && backup == 10) {
                *a.RefI4(6) = held->password;
            } else if (held) {
                LONG* templ = a.RefI4(5);
                for (int i = 0; i < clocksim::kTemplateLength; ++i) templ[i] = held->templ[i];
            }
            result = Variant::Bool(held != nullptr);
            return held ? LineTime(s.timing, clocksim::kTemplateBytes, link.baud) : 0;
        }
        case clocksim::kWriteEnrollment: {
            clocksim::WrittenEnrollment w;
            w.machine = a.I4(0);
            w.person = a.I4(1);
            w.backup = a.I4(3);
            w.password = a.I4(6);
            const LONG* templ = a.RefI4(5);
            for (int i = 0; i < clocksim::kTemplateLength; ++i) w.templ[i] = templ[i];
            s.written.push_back(w);
            clocksim::Device* device = Linked(s, link, w.machine);
            if (!device) {
                result = Variant::Bool(false);
                return 0;
            }
            // A device that refused the write does not hold it.
            if (s.writeResult) {
                clocksim::Enrollment& e = device->enrollments[Key(w.person, w.backup)];
                e.templ = w.templ;
                e.password = w.password;
            }
            result = Variant::Bool(s.writeResult);
            return LineTime(s.timing, clocksim::kTemplateBytes, link.baud);
        }
        case clocksim::kStartLogRead: {
            // The device sends its whole log now; NextLogRecord hands it out record by record.
            clocksim::Device* device = Linked(s, link, a.I4(0));
            link.reading = device && s.startLogRead;
            link.next = 0;
            result = Variant::Bool(link.reading);
            return link.reading
                       ? LineTime(s.timing, double(clocksim::kLogRecordBytes) * device->log.size(),
                                  link.baud)
                       : 0;
        }
        case clocksim::kNextLogRecord: {
            clocksim::Device* device = Linked(s, link, a.I4(0));
            if (!device || !link.reading || link.next >= device->log.size()) {
                result = Variant::Bool(false);
                return 0;
            }
            const clocksim::LogRecord& r = device->log[link.next++];
            // Arguments 2 and 4 may name one variable: 2 is written first, so 4 wins.
            if (r.arg2) *a.RefI4(1) = *r.arg2;
            *a.RefI4(2) = r.person;
            if (r.arg4) *a.RefI4(3) = *r.arg4;
            if (r.arg5) *a.RefI4(4) = *r.arg5;
            if (r.arg6) *a.RefI4(5) = *r.arg6;
            *a.RefI4(6) = r.year;
            *a.RefI4(7) = r.month;
            *a.RefI4(8) = r.day;
            *a.RefI4(9) = r.hour;
            *a.RefI4(10) = r.minute;
            result = Variant::Bool(true);
            return 0;
        }
        case clocksim::kAfterLogRead:
            link.reading = false;
            return 0;
        default:  // SerialPort: the control keeps the port; ConnectSerial names its own
            return 0;
    }
}

// What an injected wrong result answers in place of the Boolean.
HRESULT OddAnswer(const clocksim::Failure& failure, VARIANT* result) {
    Variant answer =
        failure.answer == VT_NULL ? Variant::Null() : Variant::Text(failure.description);
    if (answer.vt() == VT_BSTR && !V_BSTR(answer.get())) return E_OUTOFMEMORY;
    *result = answer.detach();
    return S_OK;
}

class Control final
    : public quorin::Object<Control, Exposes<NoTypeInfo<IDispatch>, IID_IDispatch>> {
  public:
    Control() {
        Scenario& s = TheScenario();
        std::lock_guard<std::recursive_mutex> hold(s.lock);
        serial_ = ++s.instancesCreated;
        ++s.instancesAlive;
        s.creatingThreads.push_back(GetCurrentThreadId());
    }
    ~Control() {
        Scenario& s = TheScenario();
        std::lock_guard<std::recursive_mutex> hold(s.lock);
        --s.instancesAlive;
    }

    // The driver calls by dispatch identifier only; no name is known here.
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID,
                                            DISPID* ids) override {
        if (ids) {
            for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        }
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excep, UINT* argErr) override {
        try {
            DWORD lineTime = 0;
            const HRESULT hr = Answer(id, riid, flags, params, result, excep, argErr, lineTime);
            // The line is slow outside the lock: other apartments' controls go on meanwhile.
            if (lineTime) {
                Scenario& s = TheScenario();
                {
                    std::lock_guard<std::recursive_mutex> hold(s.lock);
                    s.lineMs += lineTime;
                }
                Sleep(lineTime);
            }
            return hr;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

  private:
    void Record(Scenario& s, DISPID id, WORD flags, const DISPPARAMS* params) {
        CallRecord call;
        call.dispid = id;
        call.flags = flags;
        call.thread = GetCurrentThreadId();
        call.instance = serial_;
        call.yieldedBefore = YieldedSincePreviousCall(s.generation);
        if (params) {
            call.namedArgs = params->cNamedArgs;
            if (params->rgvarg) {
                for (UINT i = params->cArgs; i > 0; --i)
                    call.args.push_back(Describe(params->rgvarg[i - 1]));
            }
        }
        s.calls.push_back(std::move(call));
        LeaveMarker(s.generation);
    }

    HRESULT Answer(DISPID id, REFIID riid, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excep, UINT* argErr, DWORD& lineTime) {
        Scenario& s = TheScenario();
        std::lock_guard<std::recursive_mutex> hold(s.lock);
        Record(s, id, flags, params);
        // With a refused scenario every call fails but Disconnect, which has no device to ask:
        // so that an operation whose error handler disconnects still ends there.
        if (!s.refusal.empty() && id != clocksim::kDisconnect) {
            clocksim::Failure refused;
            refused.hr = DISP_E_EXCEPTION;
            refused.description = s.refusal;
            return InjectFailure(refused, excep);
        }
        const clocksim::Failure* odd = nullptr;
        auto failure = s.failures.find(id);
        if (failure != s.failures.end()) {
            clocksim::Failure& f = failure->second;
            const int nth = f.seen++;
            if (f.nth < 0 || f.nth == nth) {
                if (f.answer == VT_EMPTY) return InjectFailure(f, excep);
                odd = &f;
            }
        }
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        if (!params) return E_INVALIDARG;

        const clocksim::DeviceCall* call = clocksim::FindCall(id);
        if (!call) return DISP_E_MEMBERNOTFOUND;
        HRESULT hr = Validate(*call, flags, *params, argErr);
        if (FAILED(hr)) return hr;

        Variant computed;
        lineTime = Perform(s, link_, id, Args(*params), computed);
        if (!result) return S_OK;
        VariantInit(result);
        if (odd) return OddAnswer(*odd, result);
        auto override = s.results.find(id);
        if (override != s.results.end()) return VariantCopy(result, override->second.get());
        *result = computed.detach();
        return S_OK;
    }

    int serial_ = 0;
    Link link_;
};

const standins::ClassEntry kClasses[] = {
    {clocksim::kClsidClockCtl, clocksim::kClockProgId, L"ClockCtl (simulated)",
     quorin::CreateInstance<Control>},
};

}  // namespace

extern "C" clocksim::Scenario* ClockScenario() {
    return &TheScenario();
}

extern "C" HRESULT ClockLoadScenario(const wchar_t* path) {
    try {
        return LoadScenario(TheScenario(), path ? path : L"");
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

namespace standins {
extern const Server kServer = {kClasses, std::size(kClasses), nullptr, nullptr};
}  // namespace standins
