// Late-bound calls on clsMachine, answered from the type libraries: _clsMachine as this module's
// own "TYPELIB" resource describes it, and the host's names of IMachine from the host's registered
// library. Both dual interfaces share this one IDispatch. Their dispatch identifiers are the same,
// 0x60030000 to 0x60030005 in the same order, so a call by identifier through either pointer
// reaches the same method as the vtable call; names of either interface are answered.
//
// The descriptions are the object's (server/typeinfo.h), loaded with its first late-bound call.
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
#include "com/variant.h"
#include "server/machine.h"

namespace quorin {

namespace {

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
        ITypeInfo* own = nullptr;
        const HRESULT hr = types_.Dispatch(&own);
        if (FAILED(hr)) return hr;
        own->AddRef();
        *info = own;
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
        ITypeInfo* info = nullptr;
        HRESULT hr = types_.Vtable(&info);
        if (FAILED(hr)) return hr;
        hr = DispGetIDsOfNames(info, names, count, ids);
        if (hr != DISP_E_UNKNOWNNAME || ids[0] != DISPID_UNKNOWN) return hr;
        // An unknown member: the host's names of the same methods (funcRegister for
        // IMachine_funcRegister, ...).
        ITypeInfo* host = nullptr;
        if (FAILED(types_.Host(&host))) return hr;
        return DispGetIDsOfNames(host, names, count, ids);
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
        ITypeInfo* info = nullptr;
        HRESULT hr = types_.Vtable(&info);
        if (FAILED(hr)) return hr;

        InOutVariants inOut(*params);
        const MethodDesc method(info, id);
        if (method.get()) {
            hr = inOut.Prepare(info, *method.get(), argErr);
            if (FAILED(hr)) return hr;
        }
        hr = DispInvoke(static_cast<_clsMachine*>(this), info, id, flags, params, result, excep,
                        argErr);
        // The method ran, successfully or not: what it left goes back to the caller.
        if (hr == S_OK || hr == DISP_E_EXCEPTION) inOut.WriteBack();
        return hr;
    });
}

}  // namespace quorin
