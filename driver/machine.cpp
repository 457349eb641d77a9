#include "driver/machine.h"

#include <new>

#include "driver/com.h"
#include "driver/frame.h"
#include "operations/operations.h"

namespace quorin {

namespace {
std::atomic<long> g_liveObjects{0};
}

long LiveObjects() {
    return g_liveObjects.load();
}

Machine::Machine() {
    ++g_liveObjects;
}
Machine::~Machine() {
    --g_liveObjects;
}

HRESULT Machine::Create(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    auto* machine = new (std::nothrow) Machine();
    if (!machine) return E_OUTOFMEMORY;
    HRESULT hr = machine->QueryInterface(riid, ppv);
    machine->Release();
    return hr;
}

HRESULT Machine::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == __uuidof(_clsMachine)) {
        *ppv = static_cast<_clsMachine*>(this);
    } else if (riid == __uuidof(IMachine)) {
        *ppv = static_cast<IMachine*>(this);
    } else if (riid == IID_ISupportErrorInfo) {
        *ppv = static_cast<ISupportErrorInfo*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG Machine::AddRef() {
    return ++refs_;
}

ULONG Machine::Release() {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
}

HRESULT Machine::InterfaceSupportsErrorInfo(REFIID riid) {
    return riid == __uuidof(_clsMachine) || riid == __uuidof(IMachine) ? S_OK : S_FALSE;
}

HRESULT Machine::IMachine_funcRegister(_Collection** col, VARIANT_BOOL blnPort, short iPortMin,
                                       short iPortMax, BSTR strIPMin, BSTR strIPMax, short iMin,
                                       short iMax, BSTR* strMsg, VARIANT_BOOL* result) {
    CallReference call(static_cast<_clsMachine*>(this));
    Bstr ipMin = Bstr::copy(strIPMin), ipMax = Bstr::copy(strIPMax);  // not used by the scan
    return ops::FindDevices(col, blnPort, iPortMin, iPortMax, iMin, iMax, strMsg, result);
}

HRESULT Machine::IMachine_funcBackFingure(VARIANT_BOOL, BSTR strIp, short iPort, short imachineno,
                                          BSTR sPersonNum, _ADORecordset** rsData, BSTR* strMsg,
                                          VARIANT_BOOL* result) {
    CallReference call(static_cast<_clsMachine*>(this));
    Bstr ip = Bstr::copy(strIp);
    Bstr person = Bstr::copy(sPersonNum);
    return ops::BackupEnrollment(iPort, imachineno, person.get(), rsData, strMsg, result);
}

HRESULT Machine::IMachine_funcReWrite(VARIANT_BOOL, BSTR strIp, short iPort, short imachineno,
                                      BSTR sPersonNum, _ADORecordset* rsData, BSTR* strMsg,
                                      VARIANT_BOOL* result) {
    CallReference call(static_cast<_clsMachine*>(this));
    Bstr ip = Bstr::copy(strIp);
    Bstr person = Bstr::copy(sPersonNum);
    ComPtr<_ADORecordset> rs(rsData);
    return ops::RestoreEnrollment(iPort, imachineno, person.get(), rs.get(), strMsg, result);
}

HRESULT Machine::IMachine_DownloadCarddata(VARIANT_BOOL, BSTR strIp, short iPort, short imachineno,
                                           _Collection** cdata, BSTR* strMsg,
                                           VARIANT_BOOL* result) {
    CallReference call(static_cast<_clsMachine*>(this));
    Bstr ip = Bstr::copy(strIp);
    return ops::DownloadRecords(iPort, imachineno, cdata, strMsg, result);
}

// Writing cards is not supported by this driver: False, with no message and no device call.
HRESULT Machine::IMachine_funcWriteCard(VARIANT_BOOL, BSTR strIp, short, short, _Collection* c,
                                        BSTR*, VARIANT_BOOL* result) {
    CallReference call(static_cast<_clsMachine*>(this));
    ComPtr<_Collection> cards(c);
    Bstr ip = Bstr::copy(strIp);
    if (!result) return E_POINTER;
    *result = VARIANT_FALSE;
    return S_OK;
}

// Deleting card data is not supported by this driver: False, with no device call.
HRESULT Machine::IMachine_delCardData(VARIANT_BOOL, BSTR strIp, short, short,
                                      VARIANT_BOOL* result) {
    CallReference call(static_cast<_clsMachine*>(this));
    Bstr ip = Bstr::copy(strIp);
    if (!result) return E_POINTER;
    *result = VARIANT_FALSE;
    return S_OK;
}

}  // namespace quorin
