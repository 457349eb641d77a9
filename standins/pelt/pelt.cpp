// The host library's two record classes. Each property keeps the variant its put accessor
// received, type and all, and its read accessor hands back a copy. Every put is journalled
// process-wide, class objects are counted, and failures can be injected into puts, creations and
// class objects (pelt_probe.h).
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "com/com.h"
#include "com/module.h"
#include "com/object.h"
#include "com/variant.h"
#include "peltmachine.h"
#include "standins/common/server.h"
#include "standins/pelt/pelt_probe.h"

namespace {

using quorin::Exposes;
using quorin::NoTypeInfo;

constexpr wchar_t kSource[] = L"PeltMachine";

struct PutFailure {
    std::wstring property;
    int nth = -1;
    HRESULT hr = E_FAIL;
    std::wstring description;
    int seen = 0;  // puts of the property since the injection
};

struct CreateFailure {
    bool armed = false;
    int nth = -1;
    HRESULT hr = E_FAIL;
    int seen = 0;  // creations since the injection
};

// Process-wide state, shared by every object of both classes.
std::mutex g_lock;
std::vector<PutRecord> g_journal;
std::vector<PutFailure> g_putFailures;
CreateFailure g_createFailure;
int g_lastSerial = 0;
std::atomic<long> g_liveRecords{0};
// Class objects: those handed out per class (FoundMachine, CardRecord) since PeltReset, those
// alive, and the failure that refuses them.
long g_classObjectsServed[2] = {};
std::atomic<long> g_liveClassObjects{0};
HRESULT g_classObjectFailure = S_OK;

// The failure injected into this put, if any: its HRESULT (and the description to publish).
HRESULT InjectedPutFailure(const wchar_t* property, std::wstring* description) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (PutFailure& f : g_putFailures) {
        if (f.property != property) continue;
        const int n = f.seen++;
        if (f.nth < 0 || n == f.nth) {
            *description = f.description;
            return f.hr;
        }
    }
    return S_OK;
}

void Journal(int object, const wchar_t* property, VARTYPE vt, HRESULT hr) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_journal.push_back(PutRecord{object, property, vt, hr});
}

// The failure injected into this creation, if any.
HRESULT InjectedCreateFailure() {
    std::lock_guard<std::mutex> hold(g_lock);
    CreateFailure& f = g_createFailure;
    if (!f.armed) return S_OK;
    const int n = f.seen++;
    if (f.nth < 0 || n == f.nth) return f.hr;
    return S_OK;
}

int NextSerial() {
    std::lock_guard<std::mutex> hold(g_lock);
    return ++g_lastSerial;
}

struct Property {
    DISPID id;
    const wchar_t* name;
};

// What both record classes share: identity, the property values, the journal, and IDispatch
// over the properties (no type information; names and dispatch identifiers as declared).
// Deleted through this base when the last reference goes: the destructor is virtual.
template <class Interface, size_t N>
class Record
    : public quorin::Object<Record<Interface, N>,
                            Exposes<NoTypeInfo<Interface>, IID_IDispatch, __uuidof(Interface)>,
                            Exposes<ISupportErrorInfo, IID_ISupportErrorInfo>> {
  public:
    explicit Record(const std::array<Property, N>& properties)
        : properties_(properties), serial_(NextSerial()) {
        ++g_liveRecords;
    }
    virtual ~Record() { --g_liveRecords; }

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == __uuidof(Interface) ? S_OK : S_FALSE;
    }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (!names || !ids) return E_POINTER;
        if (count == 0) return E_INVALIDARG;
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        for (const Property& p : properties_) {
            if (names[0] && lstrcmpiW(names[0], p.name) == 0) ids[0] = p.id;
        }
        return ids[0] == DISPID_UNKNOWN || count > 1 ? DISP_E_UNKNOWNNAME : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excep, UINT*) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        if (!params) return E_INVALIDARG;
        size_t slot = N;
        for (size_t i = 0; i < N; ++i) {
            if (properties_[i].id == id) slot = i;
        }
        if (slot == N) return DISP_E_MEMBERNOTFOUND;

        HRESULT hr = S_OK;
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
            if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
            if (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
                return DISP_E_PARAMNOTOPTIONAL;
            hr = Put(slot, params->rgvarg[0]);
        } else if (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) {
            if (params->cNamedArgs) return DISP_E_NONAMEDARGS;
            if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
            quorin::Variant value;
            hr = Get(slot, value.get());
            if (SUCCEEDED(hr) && result) *result = value.detach();
        } else {
            return DISP_E_MEMBERNOTFOUND;
        }
        return FAILED(hr) ? standins::ToDispatchException(hr, excep) : S_OK;
    }

  protected:
    HRESULT Get(size_t slot, VARIANT* out) {
        if (!out) return E_POINTER;
        VariantInit(out);
        return VariantCopy(out, values_[slot].get());
    }
    // Keeps exactly what was passed: the driver hands plain values, and a test that sees a
    // by-reference variant here has found a driver that did not.
    HRESULT Put(size_t slot, const VARIANT& value) {
        const wchar_t* name = properties_[slot].name;
        std::wstring description;
        HRESULT hr = InjectedPutFailure(name, &description);
        if (FAILED(hr)) {
            standins::ReportError(hr, __uuidof(Interface), kSource, description);
        } else {
            hr = VariantCopy(values_[slot].get(), const_cast<VARIANT*>(&value));
        }
        Journal(serial_, name, V_VT(&value), hr);
        return hr;
    }

  private:
    const std::array<Property, N>& properties_;
    const int serial_;
    std::array<quorin::Variant, N> values_;
};

const std::array<Property, 4> kFoundMachineProperties = {{
    {0x68030003, L"MachineNo"},
    {0x68030002, L"MachineId"},
    {0x68030001, L"Port"},
    {0x68030000, L"Address"},
}};

class FoundMachineObject final : public Record<_FoundMachine, 4> {
  public:
    FoundMachineObject() : Record(kFoundMachineProperties) {}

    HRESULT STDMETHODCALLTYPE get_MachineNo(VARIANT* v) override { return Get(0, v); }
    HRESULT STDMETHODCALLTYPE put_MachineNo(VARIANT v) override { return Put(0, v); }
    HRESULT STDMETHODCALLTYPE get_MachineId(VARIANT* v) override { return Get(1, v); }
    HRESULT STDMETHODCALLTYPE put_MachineId(VARIANT v) override { return Put(1, v); }
    HRESULT STDMETHODCALLTYPE get_Port(VARIANT* v) override { return Get(2, v); }
    HRESULT STDMETHODCALLTYPE put_Port(VARIANT v) override { return Put(2, v); }
    HRESULT STDMETHODCALLTYPE get_Address(VARIANT* v) override { return Get(3, v); }
    HRESULT STDMETHODCALLTYPE put_Address(VARIANT v) override { return Put(3, v); }
};

const std::array<Property, 2> kCardRecordProperties = {{
    {0x68030001, L"PersonNo"},
    {0x68030000, L"SwipeTime"},
}};

class CardRecordObject final : public Record<_CardRecord, 2> {
  public:
    CardRecordObject() : Record(kCardRecordProperties) {}

    HRESULT STDMETHODCALLTYPE get_PersonNo(VARIANT* v) override { return Get(0, v); }
    HRESULT STDMETHODCALLTYPE put_PersonNo(VARIANT v) override { return Put(0, v); }
    HRESULT STDMETHODCALLTYPE get_SwipeTime(VARIANT* v) override { return Get(1, v); }
    HRESULT STDMETHODCALLTYPE put_SwipeTime(VARIANT v) override { return Put(1, v); }
};

template <class T>
HRESULT Create(REFIID riid, void** ppv) {
    HRESULT hr = InjectedCreateFailure();
    if (FAILED(hr)) return standins::ReportError(hr, riid, kSource, std::wstring());
    return quorin::CreateInstance<T>(riid, ppv);
}

// A record class's class object: the plain class factory, counted while it lives.
class CountedClassObject final
    : public quorin::Object<CountedClassObject, Exposes<IClassFactory, IID_IClassFactory>> {
  public:
    explicit CountedClassObject(quorin::ComPtr<IClassFactory> plain) : plain_(std::move(plain)) {
        ++g_liveClassObjects;
    }
    ~CountedClassObject() { --g_liveClassObjects; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return plain_->CreateInstance(outer, riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override { return plain_->LockServer(lock); }

  private:
    quorin::ComPtr<IClassFactory> plain_;
};

const standins::ClassEntry kClasses[] = {
    {__uuidof(FoundMachine), kPeltFoundMachine, kPeltFoundMachine, Create<FoundMachineObject>},
    {__uuidof(CardRecord), kPeltCardRecord, kPeltCardRecord, Create<CardRecordObject>},
};
static_assert(std::size(kClasses) == std::size(g_classObjectsServed), "one count a class");

HRESULT ServeClassObject(const standins::ClassEntry& entry, REFIID riid, void** ppv) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        ++g_classObjectsServed[&entry - kClasses];
        if (FAILED(g_classObjectFailure))
            return standins::ReportError(g_classObjectFailure, riid, kSource, std::wstring());
    }
    quorin::ComPtr<IClassFactory> plain;
    HRESULT hr = quorin::ClassFactory::Serve(entry.create, IID_IClassFactory, plain.put_void());
    if (FAILED(hr)) return hr;
    return quorin::CreateInstance<CountedClassObject>(riid, ppv, std::move(plain));
}

}  // namespace

extern "C" const std::vector<PutRecord>* PeltJournal() {
    return &g_journal;
}

extern "C" void PeltReset() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_journal.clear();
    g_putFailures.clear();
    g_createFailure = CreateFailure{};
    g_lastSerial = 0;
    std::fill(std::begin(g_classObjectsServed), std::end(g_classObjectsServed), 0);
    g_classObjectFailure = S_OK;
}

extern "C" long PeltLiveRecords() {
    return g_liveRecords.load();
}

extern "C" void PeltFailPut(const wchar_t* property, int nth, HRESULT hr,
                            const wchar_t* description) {
    if (!property) return;
    std::lock_guard<std::mutex> hold(g_lock);
    PutFailure failure{property, nth, hr, description ? description : L"", 0};
    for (PutFailure& f : g_putFailures) {
        if (f.property == failure.property) {
            f = failure;
            return;
        }
    }
    g_putFailures.push_back(failure);
}

extern "C" void PeltFailCreate(int nth, HRESULT hr) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_createFailure = CreateFailure{true, nth, hr, 0};
}

extern "C" long PeltClassObjectsServed(const wchar_t* progId) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (size_t i = 0; i < std::size(kClasses); ++i) {
        if (progId && lstrcmpW(kClasses[i].progId, progId) == 0) return g_classObjectsServed[i];
    }
    return 0;
}

extern "C" long PeltLiveClassObjects() {
    return g_liveClassObjects.load();
}

extern "C" void PeltFailClassObject(HRESULT hr) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_classObjectFailure = hr;
}

namespace {

// The library PeltMachine ("TYPELIB" 1 of this module) is registered with the classes: drivers
// import IMachine from it.
HRESULT RegisterTypeLibrary(bool registering) {
    const std::wstring path = quorin::ModulePath(quorin::ThisModule());
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    if (!registering) return quorin::UnregisterTypeLibOf(path);
    quorin::ComPtr<ITypeLib> lib;
    return LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, lib.put());
}

}  // namespace

namespace standins {
extern const Server kServer = {kClasses, std::size(kClasses), RegisterTypeLibrary,
                               ServeClassObject};
}  // namespace standins
