#include "standins/common/server.h"

#include <string>
#include <vector>

#include "com/com.h"
#include "com/errors.h"
#include "com/module.h"
#include "com/object.h"

namespace standins {

namespace {

using quorin::GuidText;

// The values registration writes for the server's classes, the module's path in InprocServer32.
std::vector<quorin::RegistryValue> ClassValues(const std::wstring& path) {
    std::vector<quorin::RegistryValue> values;
    for (const ClassEntry* c = kServer.classes; c != kServer.classes + kServer.count; ++c) {
        const std::wstring cls = L"Software\\Classes\\CLSID\\" + GuidText(c->clsid);
        const std::wstring progId = std::wstring(L"Software\\Classes\\") + c->progId;
        values.insert(values.end(),
                      {
                          {cls, L"", c->friendlyName},
                          {cls + L"\\InprocServer32", L"", path},
                          {cls + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
                          {cls + L"\\ProgID", L"", c->progId},
                          {progId, L"", c->friendlyName},
                          {progId + L"\\CLSID", L"", GuidText(c->clsid)},
                      });
    }
    return values;
}

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    for (const ClassEntry* c = kServer.classes; c != kServer.classes + kServer.count; ++c) {
        if (c->clsid != clsid) continue;
        if (kServer.classObject) return kServer.classObject(*c, riid, ppv);
        return quorin::ClassFactory::Serve(c->create, riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace

HRESULT ReportError(HRESULT hr, REFIID iid, const wchar_t* source,
                    const std::wstring& description) {
    if (description.empty()) {
        SetErrorInfo(0, nullptr);
        return hr;
    }
    quorin::PublishErrorInfo(iid, source, description);
    return hr;
}

HRESULT ToDispatchException(HRESULT hr, EXCEPINFO* excep) {
    if (!excep) return hr;
    *excep = EXCEPINFO{};
    excep->scode = hr;
    quorin::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) == S_OK && info) {
        info->GetDescription(&excep->bstrDescription);
        info->GetSource(&excep->bstrSource);
    }
    return DISP_E_EXCEPTION;
}

bool IsMissing(const VARIANT* v) {
    return !v || (V_VT(v) == VT_ERROR && V_ERROR(v) == DISP_E_PARAMNOTFOUND);
}

}  // namespace standins

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    return standins::GetClassObject(clsid, riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return quorin::CanUnloadNow();
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    const standins::Server& server = standins::kServer;
    HRESULT hr = server.registerMore ? server.registerMore(true) : S_OK;
    if (FAILED(hr)) return hr;
    const std::wstring path = quorin::ModulePath(quorin::ThisModule());
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    return quorin::WriteRegistryValues(standins::ClassValues(path));
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    const standins::Server& server = standins::kServer;
    if (server.registerMore) server.registerMore(false);
    return quorin::RemoveRegistryValues(standins::ClassValues(std::wstring()));
}
