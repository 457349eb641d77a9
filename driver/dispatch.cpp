// Late-bound calls on clsMachine, answered from the type libraries: _clsMachine as this module's
// own "TYPELIB" resource describes it, and the host's names of IMachine from the host's registered
// library. Both dual interfaces share this one IDispatch. Their dispatch identifiers are the same,
// 0x60030000 to 0x60030005 in the same order, so a call by identifier through either pointer
// reaches the same method as the vtable call; names of either interface are answered.
//
// The descriptions are loaded for each call and released after it (the platform keeps a loaded
// library cached while it is in use), so nothing outlives the objects that asked.
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "driver/com.h"
#include "driver/identity.h"
#include "driver/machine.h"
#include "driver/module.h"

namespace quorin {

namespace {

HRESULT LoadOwnLibrary(ComPtr<ITypeLib>& lib) {
    const std::wstring path = ModulePath(ThisModule());
    if (!path.empty() && SUCCEEDED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.put())))
        return S_OK;
    // Linked into a module without the resource: the registered library is the same one.
    return LoadRegTypeLib(kLibidQuorin, 1, 0, 0, lib.put());
}

// The vtable half of a dual interface, which DispInvoke and DispGetIDsOfNames work from.
HRESULT VtableHalf(ITypeInfo* dual, ComPtr<ITypeInfo>& out) {
    HREFTYPE ref = 0;
    HRESULT hr = dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
    if (FAILED(hr)) return hr;
    return dual->GetRefTypeInfo(ref, out.put());
}

// _clsMachine's description (the dispatch half, as GetTypeInfo hands it out).
HRESULT DefaultInterface(ComPtr<ITypeInfo>& info) {
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadOwnLibrary(lib);
    if (FAILED(hr)) return hr;
    return lib->GetTypeInfoOfGuid(__uuidof(_clsMachine), info.put());
}

HRESULT DefaultInterfaceVtable(ComPtr<ITypeInfo>& info) {
    ComPtr<ITypeInfo> dual;
    HRESULT hr = DefaultInterface(dual);
    if (FAILED(hr)) return hr;
    return VtableHalf(dual.get(), info);
}

// IMachine as the host's library PeltMachine 1.1 describes it.
HRESULT HostInterfaceVtable(ComPtr<ITypeInfo>& info) {
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadRegTypeLib(kLibidPeltMachine, 1, 1, 0, lib.put());
    if (FAILED(hr)) return hr;
    ComPtr<ITypeInfo> dual;
    hr = lib->GetTypeInfoOfGuid(__uuidof(IMachine), dual.put());
    if (FAILED(hr)) return hr;
    return VtableHalf(dual.get(), info);
}

}  // namespace

HRESULT Machine::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT Machine::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ComPtr<ITypeInfo> own;
    HRESULT hr = DefaultInterface(own);
    if (FAILED(hr)) return hr;
    *info = own.detach();
    return S_OK;
}

HRESULT Machine::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    // The platform's lookup reads whatever it is given.
    if (!names || !ids) return E_POINTER;
    if (count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i)
        if (!names[i]) return E_POINTER;
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    HRESULT hr = DefaultInterfaceVtable(info);
    if (FAILED(hr)) return hr;
    hr = DispGetIDsOfNames(info.get(), names, count, ids);
    if (hr != DISP_E_UNKNOWNNAME || ids[0] != DISPID_UNKNOWN) return hr;
    // An unknown member: the host's names of the same methods (funcRegister for
    // IMachine_funcRegister, ...).
    ComPtr<ITypeInfo> host;
    if (FAILED(HostInterfaceVtable(host))) return hr;
    return DispGetIDsOfNames(host.get(), names, count, ids);
}

HRESULT Machine::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
    // The platform's DispInvoke reads the arrays the counts promise.
    if (!params) return E_POINTER;
    if ((params->cArgs > 0 && !params->rgvarg) ||
        (params->cNamedArgs > 0 && !params->rgdispidNamedArgs) ||
        params->cNamedArgs > params->cArgs)
        return E_INVALIDARG;
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    HRESULT hr = DefaultInterfaceVtable(info);
    if (FAILED(hr)) return hr;
    return DispInvoke(static_cast<_clsMachine*>(this), info.get(), id, flags, params, result, excep,
                      argErr);
}

}  // namespace quorin
