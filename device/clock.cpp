#include "device/clock.h"

#include <objbase.h>

#include <array>
#include <string>
#include <utility>

#include "com/com.h"
#include "com/errors.h"
#include "com/object.h"
#include "com/variant.h"
#include "contract/identity.h"
#include "trace/trace.h"

namespace quorin::device {

namespace {

// The device calls: name, dispatch identifier, invoke kind and argument count, and what the
// trace shows of the arguments: never a template's values nor a password.
struct CallEntry {
    const char* name;
    DISPID dispid;
    WORD kind;
    unsigned argc;
    trace::Hidden hidden;
};

constexpr trace::Hidden kShowAll{};
// Argument 6 names element 0 of the template buffer; argument 7 is the password.
constexpr trace::Hidden kEnrollment{6, kTemplateLength, 7};

// One named entry per call, so that a call names its own entry and none can be taken for another.
namespace calls {
constexpr CallEntry SerialPort{"SerialPort", 2, DISPATCH_PROPERTYPUT, 1, kShowAll};
constexpr CallEntry ConnectSerial{"ConnectSerial", 38, DISPATCH_METHOD, 3, kShowAll};
constexpr CallEntry Disconnect{"Disconnect", 40, DISPATCH_METHOD, 0, kShowAll};
constexpr CallEntry ReadEnrollment{"ReadEnrollment", 19, DISPATCH_METHOD, 7, kEnrollment};
constexpr CallEntry WriteEnrollment{"WriteEnrollment", 20, DISPATCH_METHOD, 7, kEnrollment};
constexpr CallEntry StartLogRead{"StartLogRead", 8, DISPATCH_METHOD, 1, kShowAll};
constexpr CallEntry NextLogRecord{"NextLogRecord", 25, DISPATCH_METHOD, 11, kShowAll};
constexpr CallEntry AfterLogRead{"AfterLogRead", 36, DISPATCH_METHOD, 1, kShowAll};
}  // namespace calls

// The apartment's control, held by the spy that ends it with the apartment, while COM can still
// release it. COM holds the spy for the thread's life; while it lives, it holds the module lock.
class ApartmentControl final
    : public Object<ApartmentControl, Exposes<IInitializeSpy, IID_IInitializeSpy>> {
  public:
    HRESULT STDMETHODCALLTYPE PreInitialize(DWORD, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PostInitialize(HRESULT hr, DWORD, DWORD) override { return hr; }
    HRESULT STDMETHODCALLTYPE PreUninitialize(DWORD refs) override {
        // The last CoUninitialize of the thread ends the apartment, and its control with it.
        if (refs == 1) control.reset();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PostUninitialize(DWORD) override { return S_OK; }

    ComPtr<IDispatch> control;
};

// The calling thread's copy of the device slot. Trivially destructible: nothing runs at thread
// exit, when COM may already be gone.
thread_local ApartmentControl* t_apartment = nullptr;

IDispatch* EnsureControl() {
    if (t_apartment && t_apartment->control) return t_apartment->control.get();
    ComPtr<IDispatch> control;
    Check(CoCreateInstance(kClsidClockCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                           control.put_void()));
    if (!t_apartment) {
        auto* spy = new ApartmentControl();
        ULARGE_INTEGER cookie{};
        // Registered, COM holds the spy; otherwise this thread keeps it, and the control stays
        // for the thread's life.
        if (SUCCEEDED(CoRegisterInitializeSpy(spy, &cookie))) spy->Release();
        t_apartment = spy;
    }
    t_apartment->control = std::move(control);
    return t_apartment->control.get();
}

// The error of a failed Invoke: the control's exception, with its description, or the failure.
RaisedError InvokeFailure(HRESULT hr, EXCEPINFO& info) {
    if (hr == DISP_E_EXCEPTION) {
        if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
        Bstr description = Bstr::adopt(info.bstrDescription);
        Bstr source = Bstr::adopt(info.bstrSource);
        Bstr help = Bstr::adopt(info.bstrHelpFile);
        HRESULT code = info.scode   ? info.scode
                       : info.wCode ? static_cast<HRESULT>(0x800A0000u | info.wCode)
                                    : DISP_E_EXCEPTION;
        if (description.length() > 0)
            return RaisedError(code, std::wstring(description.get(), description.length()));
        return RaisedError(code, SystemMessage(code));
    }
    return HresultError(hr);
}

// One call on the apartment's control: a fresh reference for the call, arguments reversed into
// the DISPPARAMS, the result handed back (Empty where the operation has none). The table fixes
// each operation's argument count, and the call must match it. A control that cannot be created
// fails the call, and the trace says so on the call's line.
template <const CallEntry& entry, class... Args>
Variant Invoke(const Args&... args) {
    static_assert(sizeof...(Args) == entry.argc, "arguments as the call table counts them");
    std::array<VARIANT, sizeof...(Args)> reversed{};
    std::size_t slot = reversed.size();
    ((reversed[--slot] = *args.get()), ...);
    (void)slot;

    DISPID namedPut = DISPID_PROPERTYPUT;
    DISPPARAMS params{};
    params.rgvarg = reversed.empty() ? nullptr : reversed.data();
    params.cArgs = static_cast<UINT>(reversed.size());
    if (entry.kind == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &namedPut;
        params.cNamedArgs = 1;
    }
    trace::DeviceCall traced(entry.name, params, entry.hidden);
    Variant result;
    try {
        const ComPtr<IDispatch> control(EnsureControl());
        EXCEPINFO info{};
        UINT argErr = 0;
        HRESULT hr = control->Invoke(entry.dispid, IID_NULL, LOCALE_USER_DEFAULT, entry.kind,
                                     &params, result.get(), &info, &argErr);
        if (FAILED(hr)) throw InvokeFailure(hr, info);
    } catch (const RaisedError& error) {
        traced.Failed(error);
        throw;
    }
    traced.Returned(*result.get());
    return result;
}

template <const CallEntry& entry, class... Args>
bool InvokeBool(const Args&... args) {
    return ToBoolean(*Invoke<entry>(args...).get());
}

}  // namespace

void SetSerialPort(short port) {
    Invoke<calls::SerialPort>(Variant::I4(port));
}

bool ConnectSerial(short port, short machine) {
    return InvokeBool<calls::ConnectSerial>(Variant::I4(port), Variant::I4(machine),
                                            Variant::I4(kBaudRate));
}

void Disconnect() {
    Invoke<calls::Disconnect>();
}

bool ReadEnrollment(short machine, short person, short backup, SHORT* flag,
                    LONG (&templ)[kTemplateLength], LONG* password) {
    return InvokeBool<calls::ReadEnrollment>(
        Variant::I4(machine), Variant::I4(person), Variant::I4(1), Variant::I4(backup),
        Variant::RefI2(flag), Variant::RefI4(&templ[0]), Variant::RefI4(password));
}

bool WriteEnrollment(short machine, short person, short backup, LONG (&templ)[kTemplateLength],
                     long password) {
    return InvokeBool<calls::WriteEnrollment>(Variant::I4(machine), Variant::I4(person),
                                              Variant::I4(1), Variant::I4(backup), Variant::I4(1),
                                              Variant::RefI4(&templ[0]), Variant::I4(password));
}

bool StartLogRead(short machine) {
    return InvokeBool<calls::StartLogRead>(Variant::I4(machine));
}

bool NextLogRecord(short machine, LONG* machineVar, LogOutputs& out) {
    return InvokeBool<calls::NextLogRecord>(
        Variant::I4(machine), Variant::RefI4(machineVar), Variant::RefI4(&out.person),
        Variant::RefI4(machineVar), Variant::RefI4(&out.notRead[0]),
        Variant::RefI4(&out.notRead[1]), Variant::RefI4(&out.time.year),
        Variant::RefI4(&out.time.month), Variant::RefI4(&out.time.day),
        Variant::RefI4(&out.time.hour), Variant::RefI4(&out.time.minute));
}

void AfterLogRead(short machine) {
    Invoke<calls::AfterLogRead>(Variant::I4(machine));
}

namespace {
// Whether an operation of this thread's apartment holds its control. Trivially destructible, like
// the slot of the control.
thread_local bool t_claimed = false;
}  // namespace

OperationClaim::OperationClaim(bool take) : held_(take && !t_claimed) {
    if (held_) t_claimed = true;
}

OperationClaim::~OperationClaim() {
    if (held_) t_claimed = false;
}

RaisedError OperationRunning() {
    return RaisedError(RPC_E_SERVERCALL_RETRYLATER,
                       L"Another operation of the Quorin driver is running on this thread (the "
                       L"call came while that operation let the thread process its messages); "
                       L"call again when it has ended");
}

void YieldToMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The thread's own loop must still see it.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace quorin::device
