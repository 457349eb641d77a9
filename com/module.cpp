#include "com/module.h"

#include <objbase.h>

#include <atomic>

#include "com/com.h"

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

LONG WriteRegistryText(HKEY root, const std::wstring& key, const wchar_t* name,
                       const std::wstring& value) {
    RegKey opened;
    LONG rc = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              opened.put(), nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    return RegSetValueExW(opened.get(), name, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace quorin
