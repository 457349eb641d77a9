// The bodies of the four working operations, each with its own error handler. The class's frame
// (the reference on the object, the copies of by-value arguments) is the caller's.
#pragma once

#include <windows.h>

#include "driver/ado.h"
#include "contract.h"

namespace quorin::ops {

// Finds devices on a range of serial ports; col receives a new collection of found devices.
HRESULT FindDevices(_Collection** col, VARIANT_BOOL blnPort, short iPortMin, short iPortMax,
                    short iMin, short iMax, BSTR* strMsg, VARIANT_BOOL* result);

// Copies one person's enrollment from a device into the recordset's row.
HRESULT BackupEnrollment(short iPort, short imachineno, BSTR sPersonNum, _ADORecordset** rsData,
                         BSTR* strMsg, VARIANT_BOOL* result);

// Writes an enrollment kept in the recordset back to a device.
HRESULT RestoreEnrollment(short iPort, short imachineno, BSTR sPersonNum, _ADORecordset* rsData,
                          BSTR* strMsg, VARIANT_BOOL* result);

// Appends the device's attendance records to cdata as card records.
HRESULT DownloadRecords(short iPort, short imachineno, _Collection** cdata, BSTR* strMsg,
                        VARIANT_BOOL* result);

}  // namespace quorin::ops
