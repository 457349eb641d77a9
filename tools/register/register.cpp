// quorin-register DLL...: registers each in-process server as regsvr32 /s does, all in this one
// process: the file loaded, its DllRegisterServer called, the file freed. Stops at the first that
// fails, with the reason on the error output and exit code 1; exit code 2 on a usage error.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cwchar>

namespace {

const wchar_t kUsage[] =
    L"usage: quorin-register DLL...\n"
    L"Registers each in-process server in this one process, as regsvr32 /s does: loads it and\n"
    L"calls its DllRegisterServer.\n";

// Registers one server; false, with the reason on the error output, when that fails.
bool Register(const wchar_t* path) {
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        std::fwprintf(stderr, L"quorin-register: %ls cannot be loaded (error %lu)\n", path,
                      GetLastError());
        return false;
    }
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto entry = reinterpret_cast<Entry>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    HRESULT hr = E_FAIL;
    if (!entry)
        std::fwprintf(stderr, L"quorin-register: %ls has no DllRegisterServer\n", path);
    else if (FAILED(hr = entry()))
        std::fwprintf(stderr, L"quorin-register: DllRegisterServer of %ls failed with 0x%08lX\n",
                      path, static_cast<unsigned long>(hr));
    FreeLibrary(module);
    return entry && SUCCEEDED(hr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"--help") == 0) {
        std::fputws(kUsage, stdout);
        return 0;
    }
    if (argc < 2 || argv[1][0] == L'-') {
        std::fputws(kUsage, stderr);
        return 2;
    }
    // As regsvr32 does: servers may use COM while they register.
    if (FAILED(OleInitialize(nullptr))) return 1;
    int rc = 0;
    for (int i = 1; i < argc && rc == 0; ++i) {
        if (!Register(argv[i])) rc = 1;
    }
    OleUninitialize();
    return rc;
}
