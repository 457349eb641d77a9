// One person's enrollment as a row of the host's ADO recordset: the row's fields and the calls
// that read and write them.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "com/ado.h"
#include "com/variant.h"
#include "operations/template.h"

namespace quorin::ops {

// The device's numbers for the two enrollments the driver handles.
inline constexpr short kBackupTemplate = 0;
inline constexpr short kBackupPassword = 10;

// The row's fields.
inline constexpr const wchar_t* kFieldPerson = L"cpsn_num";
inline constexpr const wchar_t* kFieldBackup = L"iFingerprintNO";
inline constexpr const wchar_t* kFieldMachine = L"imachineno";
inline constexpr const wchar_t* kFieldPassword = L"npassword";
inline constexpr const wchar_t* kFieldTemplate = L"bFingerprint";

// The recordset behind rsData, or the error a host gets for an object variable that is not set.
_ADORecordset* RecordsetOrRaise(_ADORecordset* rs);

// Assigns a scalar field of the current row through Collect, keyed by the field name as text.
void WriteField(_ADORecordset* rs, const wchar_t* name, const Variant& value);

// Hands the packed template to bFingerprint's AppendChunk, in one call, as a byte array.
void AppendTemplate(_ADORecordset* rs, const PackedTemplate& packed);

// The Value of a field of the current row, reached through Fields and Item.
Variant ReadField(_ADORecordset* rs, const wchar_t* name);

}  // namespace quorin::ops
