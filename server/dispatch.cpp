// Late-bound calls on clsMachine, answered from the type libraries: _clsMachine as this module's
// own "TYPELIB" resource describes it, and the host's names of IMachine from the host's registered
// library. Both dual interfaces share this one IDispatch. Their dispatch identifiers are the same,
// 0x60030000 to 0x60030005 in the same order, so a call by identifier through either pointer
// reaches the same method as the vtable call; names of either interface are answered.
//
// The descriptions are loaded for each call and released after it (the platform keeps a loaded
// library cached while it is in use), so nothing outlives the objects that asked.
//
// Scripts pass their variables by reference as variants (VT_BYREF|VT_VARIANT), which the
// platform's DispInvoke refuses for an [in, out] parameter of another declared type; such
// arguments are handed over in the declared type here, and their outcome written back. Values
// passed for such a parameter get a copy of their own (InOutVariants).
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "com/com.h"
#include "com/errors.h"
#include "com/module.h"
#include "com/variant.h"
#include "contract/identity.h"
#include "server/frame.h"
#include "server/machine.h"

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

// The method with this dispatch identifier, described by its interface and released with it.
class MethodDesc {
  public:
    MethodDesc(ITypeInfo* info, DISPID id) : info_(info) {
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
    MethodDesc(const MethodDesc&) = delete;
    MethodDesc& operator=(const MethodDesc&) = delete;
    ~MethodDesc() {
        if (desc_) info_->ReleaseFuncDesc(desc_);
    }
    const FUNCDESC* get() const { return desc_; }

  private:
    ITypeInfo* info_;
    FUNCDESC* desc_ = nullptr;
};

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

// The variant type in which a vtable caller passes a parameter of this type (VT_BYREF|VT_BSTR for
// a BSTR*, VT_BYREF|VT_DISPATCH for a pointer to a collection's pointer), VT_EMPTY where no
// variant type says it.
VARTYPE PassedAs(ITypeInfo* info, const TYPEDESC& type) {
    if (type.vt == VT_USERDEFINED) return VT_EMPTY;
    if (type.vt != VT_PTR) return type.vt;
    const TYPEDESC& to = *type.lptdesc;
    if (to.vt == VT_USERDEFINED) return InterfaceType(info, to.hreftype);
    const VARTYPE inner = PassedAs(info, to);
    return inner == VT_EMPTY || (inner & VT_BYREF) ? VT_EMPTY : VT_BYREF | inner;
}

// Where a variant's value lies: every member of its value union starts there.
void* ValueIn(VARIANT* v) {
    return &V_BYREF(v);
}

// The arguments for [in, out] parameters, handed to DispInvoke in the declared by-reference type.
// They are rewritten where they stand, so that the platform treats the other arguments exactly as
// the caller passed them, and put back after the call.
// - A script's variable, passed by reference as a variant: one that already holds the declared
//   type is passed pointing into it, so the method replaces its value as it would the caller's own
//   variable. Any other value is converted by the platform's rules into a copy that is passed
//   instead; once the method has run, the copy goes back into the variable, which then holds the
//   declared type, and what the variable held is released.
// - A value of the declared type, passed by value: the platform would hand the method the storage
//   of the caller's argument without a reference or a copy of its own, so that a method replacing
//   it frees the caller's string or releases the caller's object from under it. The method gets a
//   copy instead, dropped after the call; nothing comes back, as for any value.
class InOutVariants {
  public:
    explicit InOutVariants(DISPPARAMS& params) : params_(params) {}
    InOutVariants(const InOutVariants&) = delete;
    InOutVariants& operator=(const InOutVariants&) = delete;
    ~InOutVariants() {
        for (const Rewritten& r : rewritten_) params_.rgvarg[r.index] = r.original;
    }

    // Fails with the conversion's error, argErr naming the argument by its index in rgvarg.
    // Arguments that do not match the method's parameters are left to DispInvoke to refuse.
    HRESULT Prepare(ITypeInfo* info, const FUNCDESC& fn, UINT* argErr) {
        UINT declared = static_cast<UINT>(fn.cParams);
        if (declared > 0 &&
            fn.lprgelemdescParam[declared - 1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL)
            --declared;
        if (params_.cArgs != declared) return S_OK;
        copies_.reserve(declared);  // the rewritten arguments point into it
        for (UINT i = 0; i < declared; ++i) {
            VARIANTARG& arg = params_.rgvarg[i];
            const DISPID position = i < params_.cNamedArgs ? params_.rgdispidNamedArgs[i]
                                                           : static_cast<DISPID>(declared - 1 - i);
            if (position < 0 || static_cast<UINT>(position) >= declared) continue;
            const ELEMDESC& param = fn.lprgelemdescParam[position];
            const USHORT inOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
            if ((param.paramdesc.wParamFlags & inOut) != inOut) continue;
            const VARTYPE type = PassedAs(info, param.tdesc);
            if (!(type & VT_BYREF)) continue;

            const VARTYPE valueType = type & ~VT_BYREF;
            VARIANT* variable = nullptr;
            VARIANT* value = nullptr;
            if (V_VT(&arg) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&arg)) {
                variable = V_VARIANTREF(&arg);
                if (V_VT(variable) == valueType) value = variable;
            } else if (V_VT(&arg) != valueType) {
                continue;  // the platform converts it into a copy of its own
            }
            if (!value) {
                copies_.push_back({variable, Variant()});
                value = copies_.back().value.get();
                HRESULT hr = VariantChangeType(value, variable ? variable : &arg, 0, valueType);
                if (FAILED(hr)) {
                    if (argErr) *argErr = i;
                    return hr;
                }
            }
            rewritten_.push_back({i, arg});
            V_VT(&arg) = type;
            V_BYREF(&arg) = ValueIn(value);
        }
        return S_OK;
    }

    void WriteBack() {
        for (Copy& c : copies_) {
            if (!c.variable) continue;
            VariantClear(c.variable);
            *c.variable = c.value.detach();
        }
    }

  private:
    struct Rewritten {
        UINT index;
        VARIANTARG original;
    };
    struct Copy {
        VARIANT* variable;  // where the outcome goes; none for a value
        Variant value;
    };
    DISPPARAMS& params_;
    std::vector<Rewritten> rewritten_;
    std::vector<Copy> copies_;
};

}  // namespace

std::vector<trace::Param> DescribeCall(const wchar_t* name, const VARIANT* values, size_t count) {
    std::vector<trace::Param> params;
    ComPtr<ITypeInfo> info;
    if (FAILED(DefaultInterfaceVtable(info))) return params;
    std::wstring method = std::wstring(L"IMachine_") + name;
    LPOLESTR names[] = {method.data()};
    MEMBERID id = MEMBERID_NIL;
    if (FAILED(info->GetIDsOfNames(names, 1, &id))) return params;
    const MethodDesc desc(info.get(), id);
    if (!desc.get()) return params;
    std::vector<BSTR> found(static_cast<size_t>(desc.get()->cParams) + 1, nullptr);
    UINT got = 0;
    const HRESULT hr = info->GetNames(id, found.data(), static_cast<UINT>(found.size()), &got);
    std::vector<Bstr> owned;
    for (UINT i = 0; SUCCEEDED(hr) && i < got; ++i) owned.push_back(Bstr::adopt(found[i]));
    // The method's own name comes first.
    for (size_t i = 0; i < count && i + 1 < owned.size(); ++i) {
        VARIANT value = values[i];
        V_VT(&value) = PassedAs(info.get(), desc.get()->lprgelemdescParam[i].tdesc);
        params.push_back({std::wstring(owned[i + 1].get(), owned[i + 1].length()), value});
    }
    return params;
}

HRESULT MachineBase::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT MachineBase::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    return NoThrow([&] {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        ComPtr<ITypeInfo> own;
        HRESULT hr = DefaultInterface(own);
        if (FAILED(hr)) return hr;
        *info = own.detach();
        return S_OK;
    });
}

HRESULT MachineBase::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    return NoThrow([&] {
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
    });
}

HRESULT MachineBase::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                            VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
    return NoThrow([&] {
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

        InOutVariants inOut(*params);
        MethodDesc method(info.get(), id);
        if (method.get()) {
            hr = inOut.Prepare(info.get(), *method.get(), argErr);
            if (FAILED(hr)) return hr;
        }
        hr = DispInvoke(static_cast<_clsMachine*>(this), info.get(), id, flags, params, result,
                        excep, argErr);
        // The method ran, successfully or not: what it left goes back to the caller.
        if (hr == S_OK || hr == DISP_E_EXCEPTION) inOut.WriteBack();
        return hr;
    });
}

}  // namespace quorin
