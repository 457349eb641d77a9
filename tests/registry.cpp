#include "tests/registry.h"

#include "tests/support.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <vector>

namespace qt {

std::wstring Lower(std::wstring s) {
    CharLowerBuffW(s.data(), DWORD(s.size()));
    return s;
}

void Walk(HKEY key, const std::wstring& path, REGSAM view, Snapshot& out) {
    out[Lower(path + L"\\")] = L"";
    DWORD subkeys = 0, maxSubkey = 0, values = 0, maxName = 0, maxData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values,
                         &maxName, &maxData, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::vector<wchar_t> name(maxName + 2);
    std::vector<BYTE> data(maxData + 2);
    for (DWORD i = 0; i < values; ++i) {
        DWORD n = DWORD(name.size()), size = DWORD(data.size()), type = 0;
        if (RegEnumValueW(key, i, name.data(), &n, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS)
            continue;
        std::wstring text;
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            text.assign(reinterpret_cast<wchar_t*>(data.data()), size / 2);
            text.resize(wcsnlen(text.c_str(), text.size()));
        } else {
            for (DWORD b = 0; b < size; ++b) {
                text += L"0123456789abcdef"[data[b] >> 4];
                text += L"0123456789abcdef"[data[b] & 15];
            }
        }
        out[Lower(path + L"|" + std::wstring(name.data(), n))] =
            std::to_wstring(type) + L":" + text;
    }
    std::vector<wchar_t> sub(maxSubkey + 2);
    for (DWORD i = 0; i < subkeys; ++i) {
        DWORD n = DWORD(sub.size());
        if (RegEnumKeyExW(key, i, sub.data(), &n, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            continue;
        const std::wstring child(sub.data(), n);
        if (view == KEY_WOW64_32KEY && Lower(child) == L"wow6432node") continue;
        HKEY h = nullptr;
        if (RegOpenKeyExW(key, child.c_str(), 0, KEY_READ | view, &h) != ERROR_SUCCESS) continue;
        Walk(h, path + L"\\" + child, view, out);
        RegCloseKey(h);
    }
}

Snapshot Difference(const Snapshot& from, const Snapshot& to) {
    Snapshot d;
    for (const auto& [k, v] : to) {
        auto it = from.find(k);
        if (it == from.end() || it->second != v) d[k] = v;
    }
    return d;
}

void ExpectSame(const Snapshot& expected, const Snapshot& actual) {
    EXPECT_EQ(Snapshot{}, Difference(expected, actual)) << "entries added or changed";
    EXPECT_EQ(Snapshot{}, Difference(actual, expected)) << "entries removed or changed";
}

bool Under(const std::wstring& path, const std::wstring& key) {
    return path.compare(0, key.size(), key) == 0 &&
           (path.size() == key.size() || path[key.size()] == L'\\' || path[key.size()] == L'|');
}

Snapshot Within(const Snapshot& s, const std::wstring& key) {
    Snapshot out;
    for (const auto& [k, v] : s)
        if (Under(k, key)) out[k] = v;
    return out;
}

DWORD RunProgram(std::wstring commandLine, std::string* output) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    HANDLE out = INVALID_HANDLE_VALUE;
    wchar_t file[MAX_PATH] = {};
    if (output) {
        GetTempFileNameW(TempFolder().c_str(), L"out", 0, file);
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        out = CreateFileW(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          &inherit, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (out == INVALID_HANDLE_VALUE) return ~0u;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out;
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    PROCESS_INFORMATION pi{};
    DWORD code = ~0u;
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, output != nullptr, 0, nullptr,
                       nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    if (output) {
        output->clear();
        SetFilePointer(out, 0, nullptr, FILE_BEGIN);
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(out, buffer, sizeof buffer, &n, nullptr) && n > 0)
            output->append(buffer, n);
        CloseHandle(out);
    }
    return code;
}

}  // namespace qt
