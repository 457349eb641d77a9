// One person's enrollment as a row of the host's ADO recordset: the row's fields, the packing of
// the device's template buffer into the row's byte field, and the rules for reading fields back.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <array>
#include <cstddef>
#include <vector>

#include "device/clock.h"
#include "driver/ado.h"
#include "driver/com.h"

namespace quorin::ops {

// The device's numbers for the two enrollments the driver handles.
inline constexpr short kBackupTemplate = 0;
inline constexpr short kBackupPassword = 10;

// Elements 0 to 458 of the buffer are stored, five bytes each; the last byte stays 0.
inline constexpr int kPackedElements = 459;
inline constexpr std::size_t kPackedLength = 2296;

using TemplateBuffer = LONG[device::kTemplateLength];
using PackedTemplate = std::array<BYTE, kPackedLength>;

// The row's fields.
inline constexpr const wchar_t* kFieldPerson = L"cpsn_num";
inline constexpr const wchar_t* kFieldBackup = L"iFingerprintNO";
inline constexpr const wchar_t* kFieldMachine = L"imachineno";
inline constexpr const wchar_t* kFieldPassword = L"npassword";
inline constexpr const wchar_t* kFieldTemplate = L"bFingerprint";

// Per element: a sign byte (1 for zero or positive, 0 for negative), then the magnitude most
// significant byte first. Raises an overflow for -2147483648, which has no magnitude.
PackedTemplate PackTemplate(const TemplateBuffer& templ);

// Fills elements 0 to 458 of templ from a packed template; bytes from 2295 on are ignored.
// Raises subscript out of range when the bytes end early, and an overflow for a magnitude that
// does not fit in 31 bits. Elements already filled stay filled when it raises.
void UnpackTemplate(const std::vector<BYTE>& bytes, TemplateBuffer& templ);

// The whole-number conversion used for every number the driver takes from the host: rounded to
// the nearest integer with halves to the even neighbour; text with blanks around it; Empty is 0.
// Raises type mismatch for empty or non-numeric text, overflow out of range, invalid use of Null
// for Null. Text is read the same way in every locale.
short ToInteger(const VARIANT& value);
short ToInteger(BSTR text);
// The same rules over the signed 32-bit range.
long ToLong(const VARIANT& value);

// The bytes of a bFingerprint value: a byte array as it is, Empty as nothing, anything else as
// the UTF-16LE bytes of its text. Raises invalid use of Null for Null.
std::vector<BYTE> TemplateBytes(const VARIANT& value);

// Whether template bytes, read as 16-bit little-endian units, hold nothing but blanks (a last odd
// byte belongs to no unit). Blank bytes leave the template buffer as it is.
bool IsBlankTemplate(const std::vector<BYTE>& bytes);

// The password of an npassword value: Null or blank text is 0, anything else converts over the
// 32-bit range (backup stores the password as a 32-bit value, so restore must take all of them).
long PasswordOf(const VARIANT& value);

// The recordset behind rsData, or the error a host gets for an object variable that is not set.
_ADORecordset* RecordsetOrRaise(_ADORecordset* rs);

// Assigns a scalar field of the current row through Collect, keyed by the field name as text.
void WriteField(_ADORecordset* rs, const wchar_t* name, const VARIANT& value);

// Hands the packed template to bFingerprint's AppendChunk, in one call, as a byte array.
void AppendTemplate(_ADORecordset* rs, const PackedTemplate& packed);

// The Value of a field of the current row, reached through Fields and Item.
void ReadField(_ADORecordset* rs, const wchar_t* name, Variant& value);

}  // namespace quorin::ops
