// The device's template buffer and its packed form, the row's bFingerprint value.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <array>
#include <cstddef>
#include <vector>

#include "device/clock.h"

namespace quorin::ops {

// Elements 0 to 458 of the buffer are stored, five bytes each; the last byte stays 0.
inline constexpr int kPackedElements = 459;
inline constexpr std::size_t kPackedLength = 2296;

using TemplateBuffer = LONG[device::kTemplateLength];
using PackedTemplate = std::array<BYTE, kPackedLength>;

// Per element: a sign byte (1 for zero or positive, 0 for negative), then the magnitude most
// significant byte first. Raises an overflow for -2147483648, which has no magnitude.
PackedTemplate PackTemplate(const TemplateBuffer& templ);

// Fills elements 0 to 458 of templ from a packed template; bytes from 2295 on are ignored.
// Raises subscript out of range when the bytes end early, and an overflow for a magnitude that
// does not fit in 31 bits. Elements already filled stay filled when it raises.
void UnpackTemplate(const std::vector<BYTE>& bytes, TemplateBuffer& templ);

// The bytes of a bFingerprint value: a byte array as it is, Empty as nothing, anything else as
// the UTF-16LE bytes of its text. Raises invalid use of Null for Null.
std::vector<BYTE> TemplateBytes(const VARIANT& value);

// Whether template bytes, read as 16-bit little-endian units, hold nothing but blanks (a last odd
// byte belongs to no unit). Blank bytes leave the template buffer as it is.
bool IsBlankTemplate(const std::vector<BYTE>& bytes);

}  // namespace quorin::ops
