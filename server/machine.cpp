#include "server/machine.h"

#include "com/com.h"
#include "contract/identity.h"
#include "operations/operations.h"
#include "server/frame.h"

namespace quorin {

// Every operation holds a reference on its object for the duration of the call.

HRESULT Machine::InterfaceSupportsErrorInfo(REFIID riid) {
    return riid == __uuidof(_clsMachine) || riid == __uuidof(IMachine) ? S_OK : S_FALSE;
}

// strIPMin and strIPMax are not used by the scan.
HRESULT Machine::IMachine_funcRegister(_Collection** col, VARIANT_BOOL blnPort, short iPortMin,
                                       short iPortMax, BSTR, BSTR, short iMin, short iMax,
                                       BSTR* strMsg, VARIANT_BOOL* result) {
    const ComPtr<_clsMachine> call(this);
    return RunGuarded(result, ops::Discovery{col, blnPort, iPortMin, iPortMax, iMin, iMax, strMsg});
}

HRESULT Machine::IMachine_funcBackFingure(VARIANT_BOOL, BSTR, short iPort, short imachineno,
                                          BSTR sPersonNum, _ADORecordset** rsData, BSTR*,
                                          VARIANT_BOOL* result) {
    const ComPtr<_clsMachine> call(this);
    return RunGuarded(result, ops::Backup{iPort, imachineno, sPersonNum, rsData});
}

HRESULT Machine::IMachine_funcReWrite(VARIANT_BOOL, BSTR, short iPort, short imachineno,
                                      BSTR sPersonNum, _ADORecordset* rsData, BSTR* strMsg,
                                      VARIANT_BOOL* result) {
    const ComPtr<_clsMachine> call(this);
    return RunGuarded(result, ops::Restore{iPort, imachineno, sPersonNum, rsData, strMsg});
}

HRESULT Machine::IMachine_DownloadCarddata(VARIANT_BOOL, BSTR, short iPort, short imachineno,
                                           _Collection** cdata, BSTR* strMsg,
                                           VARIANT_BOOL* result) {
    const ComPtr<_clsMachine> call(this);
    return RunGuarded(result, ops::Download{iPort, imachineno, cdata, strMsg});
}

// Writing cards is not supported by this driver: False, with no message and no device call.
HRESULT Machine::IMachine_funcWriteCard(VARIANT_BOOL, BSTR, short, short, _Collection*, BSTR*,
                                        VARIANT_BOOL* result) {
    const ComPtr<_clsMachine> call(this);
    if (!result) return E_POINTER;
    *result = VARIANT_FALSE;
    return S_OK;
}

// Deleting card data is not supported by this driver: False, with no device call.
HRESULT Machine::IMachine_delCardData(VARIANT_BOOL, BSTR, short, short, VARIANT_BOOL* result) {
    const ComPtr<_clsMachine> call(this);
    if (!result) return E_POINTER;
    *result = VARIANT_FALSE;
    return S_OK;
}

}  // namespace quorin

namespace quorin {

HRESULT ReportEscaped(const RaisedError& error) {
    PublishErrorInfo(GUID_NULL, kProgId, error.description());
    return FAILED(error.hr()) ? error.hr() : E_FAIL;
}

}  // namespace quorin
