#include "com/variant.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "com/errors.h"

namespace quorin {

namespace {

// A variant of the type vt, its value put in place by `set`.
template <class Set>
Variant Typed(VARTYPE vt, Set&& set) {
    Variant out;
    V_VT(out.get()) = vt;
    set(out.get());
    return out;
}

}  // namespace

Variant Variant::I2(SHORT value) {
    return Typed(VT_I2, [&](VARIANT* v) { V_I2(v) = value; });
}

Variant Variant::I4(LONG value) {
    return Typed(VT_I4, [&](VARIANT* v) { V_I4(v) = value; });
}

Variant Variant::R8(double value) {
    return Typed(VT_R8, [&](VARIANT* v) { V_R8(v) = value; });
}

Variant Variant::Bool(bool value) {
    return Typed(VT_BOOL, [&](VARIANT* v) { V_BOOL(v) = value ? VARIANT_TRUE : VARIANT_FALSE; });
}

Variant Variant::Date(DATE value) {
    return Typed(VT_DATE, [&](VARIANT* v) { V_DATE(v) = value; });
}

Variant Variant::Null() {
    return Typed(VT_NULL, [](VARIANT*) {});
}

Variant Variant::Missing() {
    return Typed(VT_ERROR, [&](VARIANT* v) { V_ERROR(v) = DISP_E_PARAMNOTFOUND; });
}

Variant Variant::Text(const std::wstring& text) {
    return Typed(VT_BSTR, [&](VARIANT* v) {
        V_BSTR(v) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    });
}

Variant Variant::Dispatch(IDispatch* object) {
    return Typed(VT_DISPATCH, [&](VARIANT* v) {
        V_DISPATCH(v) = object;
        if (object) object->AddRef();
    });
}

Variant Variant::Unknown(IUnknown* object) {
    return Typed(VT_UNKNOWN, [&](VARIANT* v) {
        V_UNKNOWN(v) = object;
        if (object) object->AddRef();
    });
}

Variant Variant::Bytes(const BYTE* data, size_t count) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(count));
    if (!array) throw std::bad_alloc();
    void* elements = nullptr;
    if (FAILED(SafeArrayAccessData(array, &elements))) {
        SafeArrayDestroy(array);
        throw std::bad_alloc();
    }
    if (count) std::memcpy(elements, data, count);
    SafeArrayUnaccessData(array);
    return Typed(VT_ARRAY | VT_UI1, [&](VARIANT* v) { V_ARRAY(v) = array; });
}

Variant Variant::RefI4(LONG* variable) {
    return Typed(VT_BYREF | VT_I4, [&](VARIANT* v) { V_I4REF(v) = variable; });
}

Variant Variant::RefI2(SHORT* variable) {
    return Typed(VT_BYREF | VT_I2, [&](VARIANT* v) { V_I2REF(v) = variable; });
}

Variant Variant::RefDispatch(IDispatch** variable) {
    return Typed(VT_BYREF | VT_DISPATCH, [&](VARIANT* v) { V_DISPATCHREF(v) = variable; });
}

HRESULT Variant::Dereference(const VARIANT& v, Variant& out) {
    return VariantCopyInd(out.put(), const_cast<VARIANT*>(&v));
}

std::optional<std::vector<BYTE>> Variant::ArrayBytes(SAFEARRAY* a) {
    if (!a) return std::vector<BYTE>();
    LONG lower = 0, upper = -1;
    if (SafeArrayGetDim(a) != 1 || FAILED(SafeArrayGetLBound(a, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(a, 1, &upper)))
        return std::nullopt;
    if (upper < lower) return std::vector<BYTE>();
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(a, &data))) return std::nullopt;
    const BYTE* p = static_cast<const BYTE*>(data);
    std::vector<BYTE> out;
    try {
        out.assign(p, p + (std::int64_t{upper} - lower + 1));
    } catch (...) {
        SafeArrayUnaccessData(a);
        throw;
    }
    SafeArrayUnaccessData(a);
    return out;
}

std::vector<BYTE> Variant::bytes() const {
    if (V_VT(&v_) != (VT_ARRAY | VT_UI1)) return {};
    return ArrayBytes(V_ARRAY(&v_)).value_or(std::vector<BYTE>());
}

std::wstring Variant::text() const {
    if (V_VT(&v_) != VT_BSTR || !V_BSTR(&v_)) return {};
    return std::wstring(V_BSTR(&v_), SysStringLen(V_BSTR(&v_)));
}

bool ToBoolean(const VARIANT& v) {
    if (V_VT(&v) == VT_NULL) Raise(VbError::InvalidUseOfNull);
    Variant converted;
    HRESULT hr = VariantChangeTypeEx(converted.get(), const_cast<VARIANT*>(&v), LOCALE_INVARIANT, 0,
                                     VT_BOOL);
    if (hr == DISP_E_OVERFLOW) Raise(VbError::Overflow);
    if (FAILED(hr)) Raise(VbError::TypeMismatch);
    return V_BOOL(converted.get()) != VARIANT_FALSE;
}

}  // namespace quorin
