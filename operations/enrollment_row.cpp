#include "operations/enrollment_row.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "driver/errors.h"

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

// Far outside every range the driver converts into; larger magnitudes are held at this value so
// that they end in an overflow without wrapping.
constexpr std::int64_t kHuge = std::int64_t{1} << 40;

bool IsBlankChar(wchar_t c) {
    return c == L' ' || c == L'\t';
}
bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Decimal text: blanks, an optional sign, digits with an optional fraction, blanks. Rounded half
// to even on the exact digits, so "2.5" and "2.50000000000000000001" round apart.
std::int64_t RoundText(const wchar_t* s, std::size_t n) {
    std::size_t b = 0, e = n;
    while (b < e && IsBlankChar(s[b])) ++b;
    while (e > b && IsBlankChar(s[e - 1])) --e;
    bool negative = false;
    if (b < e && (s[b] == L'+' || s[b] == L'-')) negative = s[b++] == L'-';

    bool anyDigit = false;
    std::int64_t whole = 0;
    for (; b < e && IsDigit(s[b]); ++b) {
        anyDigit = true;
        if (whole < kHuge) whole = whole * 10 + (s[b] - L'0');
    }
    int firstFraction = 0;
    bool restNonZero = false;
    if (b < e && s[b] == L'.') {
        bool first = true;
        for (++b; b < e && IsDigit(s[b]); ++b) {
            anyDigit = true;
            if (first) {
                firstFraction = s[b] - L'0';
                first = false;
            } else if (s[b] != L'0') {
                restNonZero = true;
            }
        }
    }
    if (!anyDigit || b != e) Raise(VbError::TypeMismatch);

    if (whole >= kHuge) {
        whole = kHuge;
    } else if (firstFraction > 5 || (firstFraction == 5 && (restNonZero || whole % 2 != 0))) {
        ++whole;
    }
    return negative ? -whole : whole;
}

std::int64_t RoundDouble(double x) {
    if (std::isnan(x)) Raise(VbError::Overflow);
    if (x >= static_cast<double>(kHuge)) return kHuge;
    if (x <= -static_cast<double>(kHuge)) return -kHuge;
    const double floor = std::floor(x);
    const double fraction = x - floor;  // exact for doubles of this size
    auto whole = static_cast<std::int64_t>(floor);
    if (fraction > 0.5 || (fraction == 0.5 && whole % 2 != 0)) ++whole;
    return whole;
}

// Currency holds ten-thousandths.
std::int64_t RoundCurrency(LONGLONG units) {
    std::int64_t whole = units / 10000, rest = units % 10000;
    if (rest > 5000 || (rest == 5000 && whole % 2 != 0)) ++whole;
    if (rest < -5000 || (rest == -5000 && whole % 2 != 0)) --whole;
    return whole;
}

std::int64_t Hold(std::int64_t v) {
    return v > kHuge ? kHuge : v < -kHuge ? -kHuge : v;
}

std::int64_t RoundedValue(const VARIANT& value) {
    const VARTYPE vt = V_VT(&value);
    if (vt & VT_BYREF) {
        Variant direct;
        if (FAILED(VariantCopyInd(direct.get(), const_cast<VARIANT*>(&value))))
            Raise(VbError::TypeMismatch);
        return RoundedValue(*direct.get());
    }
    switch (vt) {
        case VT_EMPTY:
            return 0;
        case VT_NULL:
            Raise(VbError::InvalidUseOfNull);
        case VT_BOOL:
            return V_BOOL(&value) ? -1 : 0;
        case VT_I1:
            return V_I1(&value);
        case VT_UI1:
            return V_UI1(&value);
        case VT_I2:
            return V_I2(&value);
        case VT_UI2:
            return V_UI2(&value);
        case VT_I4:
            return V_I4(&value);
        case VT_UI4:
            return V_UI4(&value);
        case VT_INT:
            return V_INT(&value);
        case VT_UINT:
            return V_UINT(&value);
        case VT_I8:
            return Hold(V_I8(&value));
        case VT_UI8:
            return V_UI8(&value) > static_cast<ULONGLONG>(kHuge)
                       ? kHuge
                       : static_cast<std::int64_t>(V_UI8(&value));
        case VT_R4:
            return RoundDouble(V_R4(&value));
        case VT_R8:
            return RoundDouble(V_R8(&value));
        case VT_DATE:
            return RoundDouble(V_DATE(&value));
        case VT_CY:
            return Hold(RoundCurrency(V_CY(&value).int64));
        case VT_DECIMAL: {
            // Its invariant text is exact, and the text rule rounds exactly.
            Bstr text;
            DECIMAL dec = V_DECIMAL(&value);
            if (FAILED(VarBstrFromDec(&dec, LOCALE_INVARIANT, 0, text.put())))
                Raise(VbError::TypeMismatch);
            return RoundText(text.get(), text.length());
        }
        case VT_BSTR:
            return RoundText(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
        default:
            Raise(VbError::TypeMismatch);
    }
}

std::int64_t InRange(std::int64_t v, std::int64_t min, std::int64_t max) {
    if (v < min || v > max) Raise(VbError::Overflow);
    return v;
}

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

class ArrayData {
  public:
    explicit ArrayData(SAFEARRAY* a) : a_(a) {
        if (FAILED(SafeArrayAccessData(a_, &data_))) Raise(VbError::TypeMismatch);
    }
    ArrayData(const ArrayData&) = delete;
    ArrayData& operator=(const ArrayData&) = delete;
    ~ArrayData() { SafeArrayUnaccessData(a_); }
    BYTE* bytes() const { return static_cast<BYTE*>(data_); }

  private:
    SAFEARRAY* a_;
    void* data_ = nullptr;
};

std::vector<BYTE> ArrayBytes(SAFEARRAY* a) {
    if (!a) return {};
    if (SafeArrayGetDim(a) != 1) Raise(VbError::TypeMismatch);
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(a, 1, &lower)) || FAILED(SafeArrayGetUBound(a, 1, &upper)))
        Raise(VbError::TypeMismatch);
    if (upper < lower) return {};
    ArrayData data(a);
    const auto n = static_cast<std::size_t>(std::int64_t{upper} - lower + 1);
    return std::vector<BYTE>(data.bytes(), data.bytes() + n);
}

}  // namespace

short ToInteger(const VARIANT& value) {
    return static_cast<short>(InRange(RoundedValue(value), -32768, 32767));
}

short ToInteger(BSTR text) {
    return static_cast<short>(InRange(RoundText(text, SysStringLen(text)), -32768, 32767));
}

long ToLong(const VARIANT& value) {
    return static_cast<long>(InRange(RoundedValue(value), INT32_MIN, INT32_MAX));
}

std::vector<BYTE> TemplateBytes(const VARIANT& value) {
    const VARTYPE vt = V_VT(&value);
    if (vt & VT_BYREF) {
        Variant direct;
        if (FAILED(VariantCopyInd(direct.get(), const_cast<VARIANT*>(&value))))
            Raise(VbError::TypeMismatch);
        return TemplateBytes(*direct.get());
    }
    if (vt == VT_NULL) Raise(VbError::InvalidUseOfNull);
    if (vt == VT_EMPTY) return {};
    if (vt == (VT_ARRAY | VT_UI1)) return ArrayBytes(V_ARRAY(&value));
    return TextBytes(value);
}

bool IsBlankTemplate(const std::vector<BYTE>& bytes) {
    for (std::size_t k = 0; k + 1 < bytes.size(); k += 2) {
        if (bytes[k] != 0x20 || bytes[k + 1] != 0x00) return false;
    }
    return true;
}

long PasswordOf(const VARIANT& value) {
    const VARTYPE vt = V_VT(&value);
    if (vt & VT_BYREF) {
        Variant direct;
        if (FAILED(VariantCopyInd(direct.get(), const_cast<VARIANT*>(&value))))
            Raise(VbError::TypeMismatch);
        return PasswordOf(*direct.get());
    }
    if (vt == VT_NULL || vt == VT_EMPTY) return 0;
    if (vt == VT_BSTR) {
        const BSTR s = V_BSTR(&value);
        std::size_t b = 0, e = SysStringLen(s);
        while (b < e && s[b] == L' ') ++b;
        while (e > b && s[e - 1] == L' ') --e;
        if (b == e) return 0;
        return static_cast<long>(InRange(RoundText(s + b, e - b), INT32_MIN, INT32_MAX));
    }
    // Any other value is read through its text, as the host's field would show it.
    Variant text;
    if (FAILED(VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT,
                                   VARIANT_ALPHABOOL, VT_BSTR)))
        Raise(VbError::TypeMismatch);
    return PasswordOf(*text.get());
}

_ADORecordset* RecordsetOrRaise(_ADORecordset* rs) {
    if (!rs) Raise(VbError::ObjectNotSet);
    return rs;
}

namespace {

// A field name as the text variant the recordset is keyed by; the name stays owned here.
class FieldKey {
  public:
    explicit FieldKey(const wchar_t* name) : name_(name) {
        V_VT(&key_) = VT_BSTR;
        V_BSTR(&key_) = name_.get();
        if (!name_.get()) Raise(VbError::OutOfMemory);
    }
    const VARIANT& get() const { return key_; }

  private:
    Bstr name_;
    VARIANT key_;
};

ComPtr<ADOField> FieldOf(_ADORecordset* rs, const wchar_t* name) {
    ComPtr<ADOFields> fields;
    Check(rs->get_Fields(fields.put()));
    if (!fields) Raise(VbError::ObjectNotSet);
    FieldKey key(name);
    ComPtr<ADOField> field;
    Check(fields->get_Item(key.get(), field.put()));
    if (!field) Raise(VbError::ObjectNotSet);
    return field;
}

}  // namespace

void WriteField(_ADORecordset* rs, const wchar_t* name, const VARIANT& value) {
    FieldKey key(name);
    Check(rs->put_Collect(key.get(), value));
}

void AppendTemplate(_ADORecordset* rs, const PackedTemplate& packed) {
    ComPtr<ADOField> field = FieldOf(rs, kFieldTemplate);
    SafeArray bytes =
        SafeArray::adopt(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(packed.size())));
    if (!bytes.get()) Raise(VbError::OutOfMemory);
    {
        ArrayData data(bytes.get());
        std::memcpy(data.bytes(), packed.data(), packed.size());
    }
    VARIANT chunk;
    V_VT(&chunk) = VT_ARRAY | VT_UI1;
    V_ARRAY(&chunk) = bytes.get();
    Check(field->AppendChunk(chunk));
}

void ReadField(_ADORecordset* rs, const wchar_t* name, Variant& value) {
    ComPtr<ADOField> field = FieldOf(rs, name);
    Check(field->get_Value(value.put()));
}

}  // namespace quorin::ops
