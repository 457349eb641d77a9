// Enrollment operations still being built answer E_NOTIMPL until they land.
#include "operations/operations.h"

namespace quorin::ops {

HRESULT BackupEnrollment(short, short, BSTR, _ADORecordset**, BSTR*, VARIANT_BOOL* result) {
    if (result) *result = VARIANT_FALSE;
    return E_NOTIMPL;
}

HRESULT RestoreEnrollment(short, short, BSTR, _ADORecordset*, BSTR*, VARIANT_BOOL* result) {
    if (result) *result = VARIANT_FALSE;
    return E_NOTIMPL;
}

}  // namespace quorin::ops
