#include "tests/console_host.h"

#include <gtest/gtest.h>

#include "tests/support.h"

namespace qt {

namespace {

std::string ReadAll(const std::wstring& path) {
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

}  // namespace

Ran RunHost(const std::wstring& args) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"quorin-host.exe";
    const std::wstring outPath = qt::TempFile(L"host.out", ""),
                       errPath = qt::TempFile(L"host.err", "");
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    std::wstring line = L"\"" + exe + L"\" " + args;
    Ran ran;
    const BOOL started = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &si, &pi);
    EXPECT_TRUE(started) << GetLastError();
    CloseHandle(out);
    CloseHandle(err);
    if (started) {
        // Generous: under an emulated 32-bit loader a process takes tens of seconds to start.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 600000));
        GetExitCodeProcess(pi.hProcess, &ran.exit);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    ran.out = ReadAll(outPath);
    ran.err = ReadAll(errPath);
    return ran;
}

}  // namespace qt
