#include "device/clock.h"

#include <objbase.h>

#include <atomic>
#include <initializer_list>
#include <new>
#include <string>

#include "driver/com.h"
#include "driver/errors.h"
#include "driver/identity.h"

namespace quorin::device {

namespace {

constexpr OpEntry kOps[] = {
    {L"SerialPort", 2, DISPATCH_PROPERTYPUT, 1},  {L"ConnectSerial", 38, DISPATCH_METHOD, 3},
    {L"Disconnect", 40, DISPATCH_METHOD, 0},      {L"ReadEnrollment", 19, DISPATCH_METHOD, 7},
    {L"WriteEnrollment", 20, DISPATCH_METHOD, 7}, {L"StartLogRead", 8, DISPATCH_METHOD, 1},
    {L"NextLogRecord", 25, DISPATCH_METHOD, 11},  {L"AfterLogRead", 36, DISPATCH_METHOD, 1},
};

std::atomic<long> g_liveSlots{0};

// Ends the apartment's control when the apartment itself ends, while COM can still release it.
class ApartmentSpy final : public IInitializeSpy {
  public:
    ApartmentSpy() { ++g_liveSlots; }
    ~ApartmentSpy() { --g_liveSlots; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IInitializeSpy) {
            *ppv = static_cast<IInitializeSpy*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE PreInitialize(DWORD, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PostInitialize(HRESULT hr, DWORD, DWORD) override { return hr; }
    HRESULT STDMETHODCALLTYPE PreUninitialize(DWORD refs) override;
    HRESULT STDMETHODCALLTYPE PostUninitialize(DWORD) override { return S_OK; }

    ULARGE_INTEGER cookie{};

  private:
    std::atomic<ULONG> refs_{1};
};

}  // namespace

// The calling thread's copy of the device slot: the control and the spy that ends it.
struct ApartmentSlot {
    IDispatch* control;
    ApartmentSpy* spy;
};

namespace {

thread_local ApartmentSlot t_slot = {nullptr, nullptr};

HRESULT ApartmentSpy::PreUninitialize(DWORD refs) {
    // The last CoUninitialize of the thread ends the apartment, and its control with it.
    if (refs == 1 && t_slot.control) {
        IDispatch* control = t_slot.control;
        t_slot.control = nullptr;
        control->Release();
    }
    return S_OK;
}

IDispatch* EnsureControl(ApartmentSlot& slot) {
    if (slot.control) return slot.control;
    IDispatch* control = nullptr;
    HRESULT hr = CoCreateInstance(kClsidClockCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                  reinterpret_cast<void**>(&control));
    if (FAILED(hr)) RaiseHresult(hr);
    slot.control = control;
    if (!slot.spy) {
        auto* spy = new (std::nothrow) ApartmentSpy();
        if (spy && SUCCEEDED(CoRegisterInitializeSpy(spy, &spy->cookie))) {
            slot.spy = spy;  // COM holds it now; it stays for the thread's life
        }
        if (spy) spy->Release();
    }
    return control;
}

[[noreturn]] void RaiseInvokeFailure(HRESULT hr, EXCEPINFO& info) {
    if (hr == DISP_E_EXCEPTION) {
        if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
        Bstr description = Bstr::adopt(info.bstrDescription);
        Bstr source = Bstr::adopt(info.bstrSource);
        Bstr help = Bstr::adopt(info.bstrHelpFile);
        HRESULT code = info.scode   ? info.scode
                       : info.wCode ? static_cast<HRESULT>(0x800A0000u | info.wCode)
                                    : DISP_E_EXCEPTION;
        if (description.length() > 0)
            throw RaisedError(code, std::wstring(description.get(), description.length()));
        throw RaisedError(code, SystemMessage(code));
    }
    RaiseHresult(hr);
}

// The standard variant-to-Boolean conversion: numbers are True when non-zero, text must read as
// a Boolean or a number, Null is an invalid use of Null.
bool ToBoolean(const VARIANT& v) {
    if (V_VT(&v) == VT_NULL) Raise(VbError::InvalidUseOfNull);
    Variant converted;
    HRESULT hr = VariantChangeTypeEx(converted.get(), const_cast<VARIANT*>(&v), LOCALE_INVARIANT, 0,
                                     VT_BOOL);
    if (hr == DISP_E_OVERFLOW) Raise(VbError::Overflow);
    if (FAILED(hr)) Raise(VbError::TypeMismatch);
    return V_BOOL(converted.get()) != VARIANT_FALSE;
}

VARIANT RefI4(LONG* p) {
    VARIANT v;
    V_VT(&v) = VT_BYREF | VT_I4;
    V_I4REF(&v) = p;
    return v;
}
VARIANT RefI2(SHORT* p) {
    VARIANT v;
    V_VT(&v) = VT_BYREF | VT_I2;
    V_I2REF(&v) = p;
    return v;
}

// One call on the control: a fresh reference for the call, arguments reversed into the
// DISPPARAMS, the result handed back (Empty where the operation has none).
void Invoke(IDispatch* control, Op op, std::initializer_list<VARIANT> args, VARIANT* result) {
    const OpEntry& entry = Entry(op);
    VARIANT reversed[11];
    UINT n = 0;
    for (auto it = args.end(); it != args.begin();) reversed[n++] = *--it;

    DISPID namedPut = DISPID_PROPERTYPUT;
    DISPPARAMS params{};
    params.rgvarg = n ? reversed : nullptr;
    params.cArgs = n;
    if (entry.kind == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &namedPut;
        params.cNamedArgs = 1;
    }
    ComPtr<IDispatch> fk(control);
    EXCEPINFO info{};
    UINT argErr = 0;
    HRESULT hr = fk->Invoke(entry.dispid, IID_NULL, LOCALE_USER_DEFAULT, entry.kind, &params,
                            result, &info, &argErr);
    if (FAILED(hr)) RaiseInvokeFailure(hr, info);
}

}  // namespace

const OpEntry& Entry(Op op) {
    return kOps[static_cast<int>(op)];
}

bool ApartmentHasControl() {
    return t_slot.control != nullptr;
}

long LiveApartmentSlots() {
    return g_liveSlots.load();
}

Clock::Clock() : slot_(&t_slot) {}

namespace {
void CallVoid(ApartmentSlot* slot, Op op, std::initializer_list<VARIANT> args) {
    Variant ignored;
    Invoke(EnsureControl(*slot), op, args, ignored.get());
}

bool CallBool(ApartmentSlot* slot, Op op, std::initializer_list<VARIANT> args) {
    Variant result;
    Invoke(EnsureControl(*slot), op, args, result.get());
    return ToBoolean(*result.get());
}
}  // namespace

void Clock::SetSerialPort(short port) {
    CallVoid(slot_, Op::SerialPort, {MakeI4(port)});
}

bool Clock::ConnectSerial(short port, short machine) {
    return CallBool(slot_, Op::ConnectSerial, {MakeI4(port), MakeI4(machine), MakeI4(kBaudRate)});
}

void Clock::Disconnect() {
    CallVoid(slot_, Op::Disconnect, {});
}

bool Clock::ReadEnrollment(short machine, short person, short backup, SHORT* flag,
                           LONG (&templ)[kTemplateLength], LONG* password) {
    return CallBool(slot_, Op::ReadEnrollment,
                    {MakeI4(machine), MakeI4(person), MakeI4(1), MakeI4(backup), RefI2(flag),
                     RefI4(&templ[0]), RefI4(password)});
}

bool Clock::WriteEnrollment(short machine, short person, short backup,
                            LONG (&templ)[kTemplateLength], long password) {
    return CallBool(slot_, Op::WriteEnrollment,
                    {MakeI4(machine), MakeI4(person), MakeI4(1), MakeI4(backup), MakeI4(1),
                     RefI4(&templ[0]), MakeI4(password)});
}

bool Clock::StartLogRead(short machine) {
    return CallBool(slot_, Op::StartLogRead, {MakeI4(machine)});
}

bool Clock::NextLogRecord(short machine, LONG* machineVar, LogOutputs& out) {
    return CallBool(slot_, Op::NextLogRecord,
                    {MakeI4(machine), RefI4(machineVar), RefI4(&out.person), RefI4(machineVar),
                     RefI4(&out.unused5), RefI4(&out.unused6), RefI4(&out.year), RefI4(&out.month),
                     RefI4(&out.day), RefI4(&out.hour), RefI4(&out.minute)});
}

void Clock::AfterLogRead(short machine) {
    CallVoid(slot_, Op::AfterLogRead, {MakeI4(machine)});
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
