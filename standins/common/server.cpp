#include "standins/common/server.h"

#include "com/com.h"
#include "com/errors.h"
#include "com/module.h"
#include "com/object.h"

namespace standins {

namespace {

using quorin::GuidText;

LONG SetValue(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
    return quorin::WriteRegistryText(HKEY_LOCAL_MACHINE, path, name, value);
}

std::wstring ClassKey(const ClassEntry& c) {
    return L"Software\\Classes\\CLSID\\" + GuidText(c.clsid);
}
std::wstring ProgIdKey(const ClassEntry& c) {
    return std::wstring(L"Software\\Classes\\") + c.progId;
}

// The table of a server's classes, walked with a range-for.
struct Classes {
    const ClassEntry* first;
    size_t count;
    const ClassEntry* begin() const { return first; }
    const ClassEntry* end() const { return first + count; }
};

LONG WriteClassKeys(const ClassEntry& c, const std::wstring& path) {
    const std::wstring cls = ClassKey(c);
    const std::wstring server = cls + L"\\InprocServer32";
    LONG rc = SetValue(cls, nullptr, c.friendlyName);
    if (rc == ERROR_SUCCESS) rc = SetValue(server, nullptr, path);
    if (rc == ERROR_SUCCESS) rc = SetValue(server, L"ThreadingModel", L"Apartment");
    if (rc == ERROR_SUCCESS) rc = SetValue(cls + L"\\ProgID", nullptr, c.progId);
    if (rc == ERROR_SUCCESS) rc = SetValue(ProgIdKey(c), nullptr, c.friendlyName);
    if (rc == ERROR_SUCCESS) rc = SetValue(ProgIdKey(c) + L"\\CLSID", nullptr, GuidText(c.clsid));
    return rc;
}

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    for (const ClassEntry& c : Classes{kServer.classes, kServer.count}) {
        if (c.clsid != clsid) continue;
        if (kServer.classObject) return kServer.classObject(c, riid, ppv);
        return quorin::ClassFactory::Serve(c.create, riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT UnregisterClasses() {
    HRESULT result = S_OK;
    for (const ClassEntry& c : Classes{kServer.classes, kServer.count}) {
        for (const std::wstring& key : {ClassKey(c), ProgIdKey(c)}) {
            LONG rc = RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && result == S_OK)
                result = quorin::FromWin32(rc);
        }
    }
    return result;
}

HRESULT RegisterClasses() {
    const std::wstring path = quorin::ModulePath(quorin::ThisModule());
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    for (const ClassEntry& c : Classes{kServer.classes, kServer.count}) {
        LONG rc = WriteClassKeys(c, path);
        if (rc != ERROR_SUCCESS) {
            UnregisterClasses();
            return quorin::FromWin32(rc);
        }
    }
    return S_OK;
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
    return FAILED(hr) ? hr : standins::RegisterClasses();
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    const standins::Server& server = standins::kServer;
    if (server.registerMore) server.registerMore(false);
    return standins::UnregisterClasses();
}
