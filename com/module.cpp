#include "com/module.h"

#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cwchar>

#include "com/com.h"
#include "com/errors.h"

namespace quorin {

namespace {
std::atomic<long> g_moduleLocks{0};
}

HMODULE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
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

void ModuleAddRef() {
    ++g_moduleLocks;
}

void ModuleRelease() {
    --g_moduleLocks;
}

HRESULT CanUnloadNow() {
    return g_moduleLocks.load() == 0 ? S_OK : S_FALSE;
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

namespace {

const wchar_t* ValueName(const RegistryValue& v) {
    return v.name.empty() ? nullptr : v.name.c_str();
}

LONG WriteRegistryText(const RegistryValue& v) {
    RegKey opened;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, v.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, opened.put(), nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    return RegSetValueExW(opened.get(), ValueName(v), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(v.value.c_str()),
                          static_cast<DWORD>((v.value.size() + 1) * sizeof(wchar_t)));
}

// The keys the values live in, innermost first (a child's path is longer than its parent's).
std::vector<std::wstring> KeysOf(const std::vector<RegistryValue>& values) {
    std::vector<std::wstring> keys;
    for (const RegistryValue& v : values)
        if (std::find(keys.begin(), keys.end(), v.key) == keys.end()) keys.push_back(v.key);
    std::stable_sort(keys.begin(), keys.end(), [](const std::wstring& a, const std::wstring& b) {
        return a.size() > b.size();
    });
    return keys;
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

}  // namespace

HRESULT WriteRegistryValues(const std::vector<RegistryValue>& values) {
    for (const RegistryValue& v : values) {
        const LONG rc = WriteRegistryText(v);
        if (rc != ERROR_SUCCESS) {
            RemoveRegistryValues(values);
            return FromWin32(rc);
        }
    }
    return S_OK;
}

HRESULT RemoveRegistryValues(const std::vector<RegistryValue>& values) {
    LONG first = ERROR_SUCCESS;
    auto note = [&first](LONG rc) {
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && first == ERROR_SUCCESS) first = rc;
    };
    for (const RegistryValue& v : values)
        note(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, v.key.c_str(), ValueName(v)));
    for (const std::wstring& key : KeysOf(values)) note(DeleteIfEmpty(key));
    return FromWin32(first);
}

HRESULT LoadModuleTypeLib(const std::wstring& path, ITypeLib** lib) {
    return LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib);
}

HRESULT UnregisterTypeLibOf(const std::wstring& path) {
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadModuleTypeLib(path, lib.put());
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

}  // namespace quorin
