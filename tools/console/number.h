// How the console reads a numeric argument (a port, a machine number, a bound of a range): decimal
// digits with an optional sign, nothing else, within the host's 16-bit integers.
#pragma once

#include <optional>
#include <string_view>

namespace console {

inline constexpr long kNumberMin = -32768;
inline constexpr long kNumberMax = 32767;

// The number the text is, or nothing when it is no such number or does not fit.
inline std::optional<short> ParseNumber(std::wstring_view text) {
    const bool negative = !text.empty() && text.front() == L'-';
    if (!text.empty() && (text.front() == L'-' || text.front() == L'+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + (c - L'0');
        if (value > kNumberMax + 1) return std::nullopt;  // too large, whatever follows
    }
    if (negative) value = -value;
    if (value < kNumberMin || value > kNumberMax) return std::nullopt;
    return static_cast<short>(value);
}

}  // namespace console
