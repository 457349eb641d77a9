#include "server/typeinfo.h"

#include "com/module.h"
#include "contract.h"
#include "contract/identity.h"

namespace quorin {

namespace {

// The vtable half of a dual interface.
HRESULT VtableHalf(ITypeInfo* dual, ComPtr<ITypeInfo>& out) {
    HREFTYPE ref = 0;
    HRESULT hr = dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
    if (FAILED(hr)) return hr;
    return dual->GetRefTypeInfo(ref, out.put());
}

// The variant type of an interface pointer: VT_DISPATCH for one that can be called late-bound.
VARTYPE InterfaceType(ITypeInfo* info, HREFTYPE ref) {
    ComPtr<ITypeInfo> target;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetRefTypeInfo(ref, target.put())) || FAILED(target->GetTypeAttr(&attr)))
        return VT_EMPTY;
    VARTYPE vt = VT_EMPTY;
    if (attr->typekind == TKIND_DISPATCH)
        vt = VT_DISPATCH;
    else if (attr->typekind == TKIND_INTERFACE)
        vt = attr->wTypeFlags & TYPEFLAG_FDISPATCHABLE ? VT_DISPATCH : VT_UNKNOWN;
    target->ReleaseTypeAttr(attr);
    return vt;
}

}  // namespace

HRESULT TypeInformation::Load() {
    if (vtable_) return S_OK;
    ComPtr<ITypeLib> lib;
    const std::wstring path = ModulePath(ThisModule());
    HRESULT hr = path.empty() ? E_FAIL : LoadModuleTypeLib(path, lib.put());
    // Linked into a module without the resource: the registered library is the same one.
    if (FAILED(hr)) hr = LoadRegTypeLib(kLibidQuorin, 1, 0, 0, lib.put());
    if (FAILED(hr)) return hr;
    ComPtr<ITypeInfo> dispatch, vtable;
    hr = lib->GetTypeInfoOfGuid(__uuidof(_clsMachine), dispatch.put());
    if (SUCCEEDED(hr)) hr = VtableHalf(dispatch.get(), vtable);
    if (FAILED(hr)) return hr;
    dispatch_ = std::move(dispatch);
    vtable_ = std::move(vtable);
    return S_OK;
}

HRESULT TypeInformation::Dispatch(ITypeInfo** borrowed) {
    const HRESULT hr = Load();
    *borrowed = dispatch_.get();
    return hr;
}

HRESULT TypeInformation::Vtable(ITypeInfo** borrowed) {
    const HRESULT hr = Load();
    *borrowed = vtable_.get();
    return hr;
}

HRESULT TypeInformation::Host(ITypeInfo** borrowed) {
    *borrowed = nullptr;
    if (!host_) {
        ComPtr<ITypeLib> lib;
        HRESULT hr = LoadRegTypeLib(kLibidPeltMachine, 1, 1, 0, lib.put());
        if (FAILED(hr)) return hr;
        ComPtr<ITypeInfo> dual;
        hr = lib->GetTypeInfoOfGuid(__uuidof(IMachine), dual.put());
        if (FAILED(hr)) return hr;
        hr = VtableHalf(dual.get(), host_);
        if (FAILED(hr)) return hr;
    }
    *borrowed = host_.get();
    return S_OK;
}

std::vector<trace::Param> TypeInformation::DescribeCall(const wchar_t* name, const VARIANT* values,
                                                        size_t count) {
    std::vector<trace::Param> params;
    ITypeInfo* info = nullptr;
    if (FAILED(Vtable(&info))) return params;
    std::wstring method = std::wstring(L"IMachine_") + name;
    LPOLESTR names[] = {method.data()};
    MEMBERID id = MEMBERID_NIL;
    if (FAILED(info->GetIDsOfNames(names, 1, &id))) return params;
    const MethodDesc desc(info, id);
    if (!desc.get()) return params;
    std::vector<BSTR> found(static_cast<size_t>(desc.get()->cParams) + 1, nullptr);
    UINT got = 0;
    const HRESULT hr = info->GetNames(id, found.data(), static_cast<UINT>(found.size()), &got);
    std::vector<Bstr> owned;
    for (UINT i = 0; SUCCEEDED(hr) && i < got; ++i) owned.push_back(Bstr::adopt(found[i]));
    // The method's own name comes first.
    for (size_t i = 0; i < count && i + 1 < owned.size(); ++i) {
        VARIANT value = values[i];
        V_VT(&value) = PassedAs(info, desc.get()->lprgelemdescParam[i].tdesc);
        params.push_back({std::wstring(owned[i + 1].get(), owned[i + 1].length()), value});
    }
    return params;
}

MethodDesc::MethodDesc(ITypeInfo* info, DISPID id) : info_(info) {
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return;
    const WORD count = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < count && !desc_; ++i) {
        FUNCDESC* fn = nullptr;
        if (FAILED(info->GetFuncDesc(i, &fn))) continue;
        if (fn->memid == id && fn->invkind == INVOKE_FUNC)
            desc_ = fn;
        else
            info->ReleaseFuncDesc(fn);
    }
}

MethodDesc::~MethodDesc() {
    if (desc_) info_->ReleaseFuncDesc(desc_);
}

VARTYPE PassedAs(ITypeInfo* info, const TYPEDESC& type) {
    if (type.vt == VT_USERDEFINED) return VT_EMPTY;
    if (type.vt != VT_PTR) return type.vt;
    const TYPEDESC& to = *type.lptdesc;
    if (to.vt == VT_USERDEFINED) return InterfaceType(info, to.hreftype);
    const VARTYPE inner = PassedAs(info, to);
    return inner == VT_EMPTY || (inner & VT_BYREF) ? VT_EMPTY : VT_BYREF | inner;
}

}  // namespace quorin
