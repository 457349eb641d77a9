// The one owned VARIANT of the code base, with named constructors for the values that cross
// interfaces here, and the one way to read through a by-reference value.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorin {

class Variant {
  public:
    Variant() noexcept { VariantInit(&v_); }
    // A copy of a value: strings and arrays copied, objects with a reference of their own. A value
    // that cannot be copied leaves the copy Empty.
    explicit Variant(const VARIANT& v) : Variant() { VariantCopy(&v_, const_cast<VARIANT*>(&v)); }
    Variant(const Variant& o) : Variant(o.v_) {}
    Variant(Variant&& o) noexcept : v_(o.v_) { VariantInit(&o.v_); }
    Variant& operator=(Variant o) noexcept {
        std::swap(v_, o.v_);
        return *this;
    }
    ~Variant() { VariantClear(&v_); }

    static Variant I2(SHORT value);
    static Variant I4(LONG value);
    static Variant R8(double value);
    static Variant Bool(bool value);
    static Variant Date(DATE value);
    static Variant Null();
    // An optional argument left out, as automation passes it.
    static Variant Missing();
    // A string of its own (a null BSTR, the empty string, when there is no memory for it).
    static Variant Text(const std::wstring& text);
    // An object, with a reference of its own.
    static Variant Dispatch(IDispatch* object);
    static Variant Unknown(IUnknown* object);
    // A one-dimensional byte array from element 0; throws std::bad_alloc without memory for it.
    static Variant Bytes(const BYTE* data, size_t count);
    static Variant Bytes(const std::vector<BYTE>& bytes) {
        return Bytes(bytes.data(), bytes.size());
    }

    // By reference: the variant points at the caller's variable, which must outlive it; the callee
    // may write through it. Clearing such a variant leaves the variable alone.
    static Variant RefI4(LONG* variable);
    static Variant RefI2(SHORT* variable);
    static Variant RefDispatch(IDispatch** variable);

    // The value v holds, or the one it refers to when it is by reference (through a variant
    // passed by reference too), as a value of its own. Fails as VariantCopyInd does.
    static HRESULT Dereference(const VARIANT& v, Variant& out);

    VARTYPE vt() const { return V_VT(&v_); }
    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    // For out parameters: clears what is held and hands out the slot.
    VARIANT* put() {
        VariantClear(&v_);
        return &v_;
    }
    // Hands the value over to a caller's VARIANT, leaving this one Empty.
    VARIANT detach() noexcept {
        VARIANT out = v_;
        VariantInit(&v_);
        return out;
    }

    // The elements of a one-dimensional byte array (empty for any other value).
    std::vector<BYTE> bytes() const;
    // The elements of the one-dimensional array `array` as bytes (none for no array), or nothing
    // when it is no array that can be read so.
    static std::optional<std::vector<BYTE>> ArrayBytes(SAFEARRAY* array);
    // The text of a string (empty for any other value).
    std::wstring text() const;

  private:
    VARIANT v_;
};

// Views: VARIANTs that own nothing and are never cleared, for values that their owner keeps (the
// arguments a caller passes, what the trace shows). The value goes into vt's member of the value
// union; for a by-reference type it is the pointer to the variable.
namespace view {

template <class T>
VARIANT Of(VARTYPE vt, const T& value) {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= sizeof(LONGLONG),
                  "a value that a variant holds in place");
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = vt;
    std::memcpy(&V_BYREF(&v), &value, sizeof(T));  // every member of the union starts there
    return v;
}
inline VARIANT I2(SHORT value) {
    return Of(VT_I2, value);
}
inline VARIANT Bool(VARIANT_BOOL value) {
    return Of(VT_BOOL, value);
}
inline VARIANT Text(BSTR value) {
    return Of(VT_BSTR, value);
}
inline VARIANT Dispatch(IDispatch* object) {
    return Of(VT_DISPATCH, object);
}
// vt with VT_BYREF, pointing at the variable.
inline VARIANT Ref(VARTYPE vt, void* variable) {
    return Of(vt, variable);
}

}  // namespace view

// The platform's variant-to-Boolean conversion, as the device link applies it to every answer:
// numbers are True when non-zero, text must read as a Boolean or a number. Raises invalid use of
// Null for Null, an overflow or a type mismatch for what does not convert.
bool ToBoolean(const VARIANT& v);

}  // namespace quorin
