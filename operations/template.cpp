#include "operations/template.h"

#include <cstdint>

#include "com/errors.h"
#include "operations/conversions.h"

namespace quorin::ops {

PackedTemplate PackTemplate(const TemplateBuffer& templ) {
    PackedTemplate packed{};
    for (int i = 0; i < kPackedElements; ++i) {
        const LONG value = templ[i];
        BYTE* group = &packed[static_cast<std::size_t>(i) * 5];
        group[0] = value < 0 ? 0 : 1;
        if (value == INT32_MIN) Raise(VbError::Overflow);
        const std::uint32_t magnitude =
            static_cast<std::uint32_t>(value < 0 ? -static_cast<std::int64_t>(value) : value);
        group[1] = static_cast<BYTE>(magnitude >> 24);
        group[2] = static_cast<BYTE>(magnitude >> 16);
        group[3] = static_cast<BYTE>(magnitude >> 8);
        group[4] = static_cast<BYTE>(magnitude);
    }
    return packed;
}

namespace {

// v * 256 + b in signed 32-bit arithmetic, each step checked as the host's own code would.
std::int32_t ShiftIn(std::int32_t v, BYTE b) {
    const std::int64_t shifted = std::int64_t{v} * 256;
    if (shifted > INT32_MAX) Raise(VbError::Overflow);
    return static_cast<std::int32_t>(shifted) + b;  // at most 0x7FFFFF00 + 0xFF
}

}  // namespace

void UnpackTemplate(const std::vector<BYTE>& bytes, TemplateBuffer& templ) {
    auto at = [&bytes](std::size_t k) -> BYTE {
        if (k >= bytes.size()) Raise(VbError::SubscriptOutOfRange);
        return bytes[k];
    };
    for (int i = 0; i < kPackedElements; ++i) {
        const std::size_t base = static_cast<std::size_t>(i) * 5;
        std::int32_t v = at(base + 1);
        v = ShiftIn(v, at(base + 2));
        v = ShiftIn(v, at(base + 3));
        v = ShiftIn(v, at(base + 4));
        if (at(base) == 0) v = -v;  // any other flag reads as zero or positive
        templ[i] = v;
    }
}

namespace {

// Template bytes of a value that is neither bytes, Empty nor Null: the UTF-16LE of its text.
std::vector<BYTE> TextBytes(const VARIANT& value) {
    Variant text;
    const VARIANT* source = &value;
    if (V_VT(&value) != VT_BSTR) {
        HRESULT hr = VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT,
                                         0, VT_BSTR);
        if (hr == DISP_E_OVERFLOW) Raise(VbError::Overflow);
        if (FAILED(hr)) Raise(VbError::TypeMismatch);
        source = text.get();
    }
    const BSTR s = V_BSTR(source);
    const UINT n = SysStringLen(s);
    std::vector<BYTE> bytes;
    bytes.reserve(std::size_t{n} * 2);
    for (UINT i = 0; i < n; ++i) {
        bytes.push_back(static_cast<BYTE>(s[i] & 0xFF));
        bytes.push_back(static_cast<BYTE>(s[i] >> 8));
    }
    return bytes;
}

}  // namespace

std::vector<BYTE> TemplateBytes(const VARIANT& value) {
    const Variant direct = Direct(value);
    const VARTYPE vt = direct.vt();
    if (vt == VT_NULL) Raise(VbError::InvalidUseOfNull);
    if (vt == VT_EMPTY) return {};
    if (vt == (VT_ARRAY | VT_UI1)) {
        auto bytes = Variant::ArrayBytes(V_ARRAY(direct.get()));
        if (!bytes) Raise(VbError::TypeMismatch);
        return *std::move(bytes);
    }
    return TextBytes(*direct.get());
}

bool IsBlankTemplate(const std::vector<BYTE>& bytes) {
    for (std::size_t k = 0; k + 1 < bytes.size(); k += 2) {
        if (bytes[k] != 0x20 || bytes[k + 1] != 0x00) return false;
    }
    return true;
}

}  // namespace quorin::ops
