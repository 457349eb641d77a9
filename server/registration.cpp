#include "server/registration.h"

#include <objbase.h>

#include <string>

#include "driver/identity.h"

namespace quorin::server {

namespace {

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

LONG SetValue(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc;
}

std::wstring ModulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring ClassKey() { return L"Software\\Classes\\CLSID\\" + GuidText(kClsidClsMachine); }
std::wstring ProgIdKey() { return std::wstring(L"Software\\Classes\\") + kProgId; }

HRESULT FromWin32(LONG rc) { return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc); }

HRESULT RemoveClassEntries() {
    LONG a = RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKey().c_str());
    LONG b = RegDeleteTreeW(HKEY_LOCAL_MACHINE, ProgIdKey().c_str());
    if (a != ERROR_SUCCESS && a != ERROR_FILE_NOT_FOUND) return FromWin32(a);
    if (b != ERROR_SUCCESS && b != ERROR_FILE_NOT_FOUND) return FromWin32(b);
    return S_OK;
}

}  // namespace

HRESULT RegisterServer(HMODULE module) {
    const std::wstring path = ModulePath(module);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    const std::wstring clsid = GuidText(kClsidClsMachine);
    const std::wstring cls = ClassKey();
    LONG rc = SetValue(HKEY_LOCAL_MACHINE, cls, nullptr, kProgId);
    if (rc == ERROR_SUCCESS) rc = SetValue(HKEY_LOCAL_MACHINE, cls + L"\\InprocServer32", nullptr, path);
    if (rc == ERROR_SUCCESS)
        rc = SetValue(HKEY_LOCAL_MACHINE, cls + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    if (rc == ERROR_SUCCESS) rc = SetValue(HKEY_LOCAL_MACHINE, cls + L"\\ProgID", nullptr, kProgId);
    if (rc == ERROR_SUCCESS)
        rc = SetValue(HKEY_LOCAL_MACHINE, cls + L"\\TypeLib", nullptr, GuidText(kLibidQuorin));
    if (rc == ERROR_SUCCESS) rc = SetValue(HKEY_LOCAL_MACHINE, cls + L"\\VERSION", nullptr, L"1.0");
    if (rc == ERROR_SUCCESS) rc = SetValue(HKEY_LOCAL_MACHINE, ProgIdKey(), nullptr, kProgId);
    if (rc == ERROR_SUCCESS) rc = SetValue(HKEY_LOCAL_MACHINE, ProgIdKey() + L"\\CLSID", nullptr, clsid);
    if (rc != ERROR_SUCCESS) {
        // No half-written class is left behind.
        RemoveClassEntries();
        return FromWin32(rc);
    }
    return S_OK;
}

HRESULT UnregisterServer(HMODULE) { return RemoveClassEntries(); }

}  // namespace quorin::server
