#include "server/registration.h"

#include <objbase.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "com/com.h"
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

HRESULT RegisterServer(HMODULE module) {
    const std::wstring path = ModulePath(module);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());

    // Registered under the module's path exactly as the loader reports it. The help folder is
    // given rather than left to the platform, which would write it without the closing backslash
    // that an installer's folder has: so the package can write the same value.
    // The module's own type library, "TYPELIB" 1, loaded without registering it.
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadModuleTypeLib(path, lib.put());
    std::wstring help = HelpFolder(path);
    if (SUCCEEDED(hr))
        hr = RegisterTypeLib(lib.get(), const_cast<OLECHAR*>(path.c_str()), help.data());
    if (FAILED(hr)) return hr;

    // No half-written class is left behind, nor the library without it.
    hr = WriteRegistryValues(ClassEntries(path));
    if (FAILED(hr)) UnregisterTypeLibOf(path);
    return hr;
}

HRESULT UnregisterServer(HMODULE module) {
    const std::wstring path = ModulePath(module);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    HRESULT classes = RemoveRegistryValues(ClassEntries(path));
    HRESULT library = UnregisterTypeLibOf(path);
    return FAILED(classes) ? classes : library;
}

}  // namespace quorin::server
