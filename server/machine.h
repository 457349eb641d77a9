// clsMachine: the driver class. Its default interface _clsMachine and the host's IMachine reach
// one implementation of each operation.
#pragma once

#include <windows.h>

#include "com/ado.h"
#include "com/object.h"
#include "contract.h"

namespace quorin {

// IDispatch is the default interface _clsMachine.
class Machine final
    : public Object<Machine, Exposes<_clsMachine, IID_IDispatch, __uuidof(_clsMachine)>,
                    Exposes<IMachine, __uuidof(IMachine)>,
                    Exposes<ISupportErrorInfo, IID_ISupportErrorInfo>> {
  public:
    // The class factory's creator.
    static HRESULT Create(REFIID riid, void** ppv) { return CreateInstance<Machine>(riid, ppv); }

    // IDispatch, shared by both dual interfaces; answered for _clsMachine's identifiers.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                     UINT* argErr) override;

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    // _clsMachine
    HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IMachine_funcRegister(_Collection** col, VARIANT_BOOL blnPort,
                                                    short iPortMin, short iPortMax, BSTR strIPMin,
                                                    BSTR strIPMax, short iMin, short iMax,
                                                    BSTR* strMsg, VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE IMachine_funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp,
                                                       short iPort, short imachineno,
                                                       BSTR sPersonNum, _ADORecordset** rsData,
                                                       BSTR* strMsg, VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE IMachine_funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                                   short imachineno, BSTR sPersonNum,
                                                   _ADORecordset* rsData, BSTR* strMsg,
                                                   VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE IMachine_DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp,
                                                        short iPort, short imachineno,
                                                        _Collection** cdata, BSTR* strMsg,
                                                        VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE IMachine_funcWriteCard(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                                     short imachineno, _Collection* c, BSTR* strMsg,
                                                     VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE IMachine_delCardData(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                                   short imachineno, VARIANT_BOOL* result) override;

    // IMachine: the same operations under the host's names.
    HRESULT STDMETHODCALLTYPE funcRegister(_Collection** col, VARIANT_BOOL blnPort, short iPortMin,
                                           short iPortMax, BSTR strIPMin, BSTR strIPMax, short iMin,
                                           short iMax, BSTR* strMsg,
                                           VARIANT_BOOL* result) override {
        return IMachine_funcRegister(col, blnPort, iPortMin, iPortMax, strIPMin, strIPMax, iMin,
                                     iMax, strMsg, result);
    }
    HRESULT STDMETHODCALLTYPE funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                              short imachineno, BSTR sPersonNum,
                                              _ADORecordset** rsData, BSTR* strMsg,
                                              VARIANT_BOOL* result) override {
        return IMachine_funcBackFingure(blnPort, strIp, iPort, imachineno, sPersonNum, rsData,
                                        strMsg, result);
    }
    HRESULT STDMETHODCALLTYPE funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                          short imachineno, BSTR sPersonNum, _ADORecordset* rsData,
                                          BSTR* strMsg, VARIANT_BOOL* result) override {
        return IMachine_funcReWrite(blnPort, strIp, iPort, imachineno, sPersonNum, rsData, strMsg,
                                    result);
    }
    HRESULT STDMETHODCALLTYPE DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                               short imachineno, _Collection** cdata, BSTR* strMsg,
                                               VARIANT_BOOL* result) override {
        return IMachine_DownloadCarddata(blnPort, strIp, iPort, imachineno, cdata, strMsg, result);
    }
    HRESULT STDMETHODCALLTYPE funcWriteCard(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                            short imachineno, _Collection* c, BSTR* strMsg,
                                            VARIANT_BOOL* result) override {
        return IMachine_funcWriteCard(blnPort, strIp, iPort, imachineno, c, strMsg, result);
    }
    HRESULT STDMETHODCALLTYPE delCardData(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
                                          short imachineno, VARIANT_BOOL* result) override {
        return IMachine_delCardData(blnPort, strIp, iPort, imachineno, result);
    }
};

}  // namespace quorin
