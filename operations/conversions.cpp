#include "operations/conversions.h"

#include <climits>
#include <cmath>
#include <cstdint>

#include "com/com.h"
#include "com/errors.h"

namespace quorin::ops {

Variant Direct(const VARIANT& value) {
    Variant direct;
    if (FAILED(Variant::Dereference(value, direct))) Raise(VbError::TypeMismatch);
    return direct;
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
    switch (V_VT(&value)) {
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

}  // namespace

short ToInteger(const VARIANT& value) {
    return static_cast<short>(InRange(RoundedValue(*Direct(value).get()), -32768, 32767));
}

short ToInteger(BSTR text) {
    return static_cast<short>(InRange(RoundText(text, SysStringLen(text)), -32768, 32767));
}

short NarrowToInteger(LONG value) {
    if (value < SHRT_MIN || value > SHRT_MAX) Raise(VbError::Overflow);
    return static_cast<short>(value);
}

namespace {

long PasswordOfValue(const VARIANT& value) {
    const VARTYPE vt = V_VT(&value);
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
    return PasswordOfValue(*text.get());
}

}  // namespace

long PasswordOf(const VARIANT& value) {
    return PasswordOfValue(*Direct(value).get());
}

}  // namespace quorin::ops
