#include "server/registration.h"

#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "com/com.h"
#include "com/errors.h"
#include "com/module.h"
#include "contract/identity.h"

namespace quorin::server {

namespace {

const std::wstring& ClassKey() {
    static const std::wstring key = L"Software\\Classes\\CLSID\\" + GuidText(kClsidClsMachine);
    return key;
}
const std::wstring& ProgIdKey() {
    static const std::wstring key = std::wstring(L"Software\\Classes\\") + kProgId;
    return key;
}

}  // namespace

std::vector<RegistryValue> ClassEntries(const std::wstring& path) {
    const std::wstring& cls = ClassKey();
    return {
        {cls, L"", kProgId},
        {cls + L"\\InprocServer32", L"", path},
        {cls + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {cls + L"\\ProgID", L"", kProgId},
        {cls + L"\\TypeLib", L"", GuidText(kLibidQuorin)},
        {cls + L"\\VERSION", L"", L"1.0"},
        {ProgIdKey(), L"", kProgId},
        {ProgIdKey() + L"\\CLSID", L"", GuidText(kClsidClsMachine)},
    };
}

std::wstring HelpFolder(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

namespace {

// The keys those entries live in, innermost first (a child's path is longer than its parent's).
std::vector<std::wstring> ClassKeys() {
    std::vector<std::wstring> keys;
    for (const RegistryValue& e : ClassEntries(std::wstring()))
        if (std::find(keys.begin(), keys.end(), e.key) == keys.end()) keys.push_back(e.key);
    std::stable_sort(keys.begin(), keys.end(), [](const std::wstring& a, const std::wstring& b) {
        return a.size() > b.size();
    });
    return keys;
}

const wchar_t* ValueName(const RegistryValue& e) {
    return e.name.empty() ? nullptr : e.name.c_str();
}

LONG DeleteIfEmpty(const std::wstring& path) {
    DWORD subkeys = 0, values = 0;
    {
        RegKey key;
        LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.put());
        if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        rc = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                              &values, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) return rc;
    }
    if (subkeys > 0 || values > 0) return ERROR_SUCCESS;  // someone else's entries remain
    const LONG rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

// Removes the values that registration writes, then those of its keys that are left empty;
// whatever else lives there stays. Returns the first failure, after trying everything.
HRESULT RemoveClassEntries() {
    LONG first = ERROR_SUCCESS;
    auto note = [&first](LONG rc) {
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && first == ERROR_SUCCESS) first = rc;
    };
    for (const RegistryValue& e : ClassEntries(std::wstring()))
        note(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, e.key.c_str(), ValueName(e)));
    for (const std::wstring& key : ClassKeys()) note(DeleteIfEmpty(key));
    return FromWin32(first);
}

// The module's own type library, "TYPELIB" 1, loaded without registering it.
HRESULT LoadOwnTypeLib(const std::wstring& path, ComPtr<ITypeLib>& lib) {
    return LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.put());
}

bool TypeLibRegistered(const TLIBATTR& attr) {
    wchar_t version[40] = {};
    swprintf(version, 40, L"\\%x.%x\\%lx\\", attr.wMajorVerNum, attr.wMinorVerNum,
             static_cast<unsigned long>(attr.lcid));
    std::wstring key = L"TypeLib\\" + GuidText(attr.guid) + version +
                       (attr.syskind == SYS_WIN64 ? L"win64" : L"win32");
    RegKey opened;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, opened.put()) ==
           ERROR_SUCCESS;
}

// Removes the library's registration, for the kind it was built for (SYS_WIN32 or SYS_WIN64).
HRESULT UnregisterOwnTypeLib(const std::wstring& path) {
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadOwnTypeLib(path, lib);
    if (FAILED(hr)) return hr;
    TLIBATTR* attr = nullptr;
    hr = lib->GetLibAttr(&attr);
    if (FAILED(hr)) return hr;
    const TLIBATTR identity = *attr;
    lib->ReleaseTLibAttr(attr);
    if (!TypeLibRegistered(identity)) return S_OK;
    return UnRegisterTypeLib(identity.guid, identity.wMajorVerNum, identity.wMinorVerNum,
                             identity.lcid, identity.syskind);
}

}  // namespace

HRESULT RegisterServer(HMODULE module) {
    const std::wstring path = ModulePath(module);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());

    // Registered under the module's path exactly as the loader reports it. The help folder is
    // given rather than left to the platform, which would write it without the closing backslash
    // that an installer's folder has: so the package can write the same value.
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadOwnTypeLib(path, lib);
    std::wstring help = HelpFolder(path);
    if (SUCCEEDED(hr))
        hr = RegisterTypeLib(lib.get(), const_cast<OLECHAR*>(path.c_str()), help.data());
    if (FAILED(hr)) return hr;

    for (const RegistryValue& e : ClassEntries(path)) {
        LONG rc = WriteRegistryText(HKEY_LOCAL_MACHINE, e.key, ValueName(e), e.value);
        if (rc != ERROR_SUCCESS) {
            // No half-written class is left behind.
            RemoveClassEntries();
            UnregisterOwnTypeLib(path);
            return FromWin32(rc);
        }
    }
    return S_OK;
}

HRESULT UnregisterServer(HMODULE module) {
    const std::wstring path = ModulePath(module);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    HRESULT classes = RemoveClassEntries();
    HRESULT library = UnregisterOwnTypeLib(path);
    return FAILED(classes) ? classes : library;
}

}  // namespace quorin::server
