#include "server/machine.h"

#include "com/com.h"
#include "com/trace.h"
#include "contract/identity.h"
#include "operations/operations.h"
#include "server/frame.h"

namespace quorin {

namespace {

// The stubs' answer: False, and nothing else.
HRESULT NotSupported(VARIANT_BOOL* result) {
    if (!result) return E_POINTER;
    *result = VARIANT_FALSE;
    return S_OK;
}

}  // namespace

// Every operation holds a reference on its object for the duration of the call, and is traced
// under its IMachine name with every parameter as the caller passed it.

HRESULT Machine::InterfaceSupportsErrorInfo(REFIID riid) {
    return riid == __uuidof(_clsMachine) || riid == __uuidof(IMachine) ? S_OK : S_FALSE;
}

// strIPMin and strIPMax are not used by the scan.
HRESULT Machine::IMachine_funcRegister(_Collection** col, VARIANT_BOOL blnPort, short iPortMin,
                                       short iPortMax, BSTR strIPMin, BSTR strIPMax, short iMin,
                                       short iMax, BSTR* strMsg, VARIANT_BOOL* result) {
    const ComPtr<_clsMachine> call(this);
    trace::OperationTrace traced(L"funcRegister", {{L"col", trace::ObjectRef(col)},
                                                   {L"blnPort", trace::Bool(blnPort)},
                                                   {L"iPortMin", trace::I2(iPortMin)},
                                                   {L"iPortMax", trace::I2(iPortMax)},
                                                   {L"strIPMin", trace::Text(strIPMin)},
                                                   {L"strIPMax", trace::Text(strIPMax)},
                                                   {L"iMin", trace::I2(iMin)},
                                                   {L"iMax", trace::I2(iMax)},
                                                   {L"strMsg", trace::TextRef(strMsg)}});
    return traced.End(
        RunGuarded(result, ops::Discovery{col, blnPort, iPortMin, iPortMax, iMin, iMax, strMsg},
                   traced),
        result);
}

HRESULT Machine::IMachine_funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                          short imachineno, BSTR sPersonNum, _ADORecordset** rsData,
                                          BSTR* strMsg, VARIANT_BOOL* result) {
    const ComPtr<_clsMachine> call(this);
    trace::OperationTrace traced(L"funcBackFingure", {{L"blnPort", trace::Bool(blnPort)},
                                                      {L"strIp", trace::Text(strIp)},
                                                      {L"iPort", trace::I2(iPort)},
                                                      {L"imachineno", trace::I2(imachineno)},
                                                      {L"sPersonNum", trace::Text(sPersonNum)},
                                                      {L"rsData", trace::ObjectRef(rsData)},
                                                      {L"strMsg", trace::TextRef(strMsg)}});
    return traced.End(
        RunGuarded(result, ops::Backup{iPort, imachineno, sPersonNum, rsData}, traced), result);
}

HRESULT Machine::IMachine_funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                      short imachineno, BSTR sPersonNum, _ADORecordset* rsData,
                                      BSTR* strMsg, VARIANT_BOOL* result) {
    const ComPtr<_clsMachine> call(this);
    trace::OperationTrace traced(L"funcReWrite", {{L"blnPort", trace::Bool(blnPort)},
                                                  {L"strIp", trace::Text(strIp)},
                                                  {L"iPort", trace::I2(iPort)},
                                                  {L"imachineno", trace::I2(imachineno)},
                                                  {L"sPersonNum", trace::Text(sPersonNum)},
                                                  {L"rsData", trace::Object(rsData)},
                                                  {L"strMsg", trace::TextRef(strMsg)}});
    return traced.End(
        RunGuarded(result, ops::Restore{iPort, imachineno, sPersonNum, rsData, strMsg}, traced),
        result);
}

HRESULT Machine::IMachine_DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                           short imachineno, _Collection** cdata, BSTR* strMsg,
                                           VARIANT_BOOL* result) {
    const ComPtr<_clsMachine> call(this);
    trace::OperationTrace traced(L"DownloadCarddata", {{L"blnPort", trace::Bool(blnPort)},
                                                       {L"strIp", trace::Text(strIp)},
                                                       {L"iPort", trace::I2(iPort)},
                                                       {L"imachineno", trace::I2(imachineno)},
                                                       {L"cdata", trace::ObjectRef(cdata)},
                                                       {L"strMsg", trace::TextRef(strMsg)}});
    return traced.End(RunGuarded(result, ops::Download{iPort, imachineno, cdata, strMsg}, traced),
                      result);
}

// Writing cards is not supported by this driver: False, with no message and no device call.
HRESULT Machine::IMachine_funcWriteCard(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                        short imachineno, _Collection* c, BSTR* strMsg,
                                        VARIANT_BOOL* result) {
    const ComPtr<_clsMachine> call(this);
    trace::OperationTrace traced(L"funcWriteCard", {{L"blnPort", trace::Bool(blnPort)},
                                                    {L"strIp", trace::Text(strIp)},
                                                    {L"iPort", trace::I2(iPort)},
                                                    {L"imachineno", trace::I2(imachineno)},
                                                    {L"c", trace::Object(c)},
                                                    {L"strMsg", trace::TextRef(strMsg)}});
    return traced.End(NotSupported(result), result);
}

// Deleting card data is not supported by this driver: False, with no device call.
HRESULT Machine::IMachine_delCardData(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                      short imachineno, VARIANT_BOOL* result) {
    const ComPtr<_clsMachine> call(this);
    trace::OperationTrace traced(L"delCardData", {{L"blnPort", trace::Bool(blnPort)},
                                                  {L"strIp", trace::Text(strIp)},
                                                  {L"iPort", trace::I2(iPort)},
                                                  {L"imachineno", trace::I2(imachineno)}});
    return traced.End(NotSupported(result), result);
}

}  // namespace quorin

namespace quorin {

HRESULT ReportEscaped(const RaisedError& error) {
    PublishErrorInfo(GUID_NULL, kProgId, error.description());
    return FAILED(error.hr()) ? error.hr() : E_FAIL;
}

}  // namespace quorin
