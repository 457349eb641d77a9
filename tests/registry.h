// Registry snapshots for the tests of registration and installation: every key ("path\") and
// value ("path|name" -> "type:data") under a key, paths and names in lower case as the registry
// compares them, and the differences between two snapshots.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace qt {

using Snapshot = std::map<std::wstring, std::wstring>;

// Where a host of this program's kind looks: a 32-bit host reads the registry's 32-bit view, a
// 64-bit host the 64-bit one; and the view of the other kind.
constexpr REGSAM kHostView = sizeof(void*) == 4 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
constexpr REGSAM kOtherView = sizeof(void*) == 4 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

std::wstring Lower(std::wstring s);

// Everything under `key`, recorded under the prefix `path`, seen through `view`
// (KEY_WOW64_32KEY or KEY_WOW64_64KEY). In the 32-bit view the Wow6432Node subkeys are skipped:
// what they hold is already seen where a 32-bit program opens it.
void Walk(HKEY key, const std::wstring& path, REGSAM view, Snapshot& out);

// What `to` has that `from` has not, or has otherwise.
Snapshot Difference(const Snapshot& from, const Snapshot& to);
// The same entries; on a difference, only that is shown.
void ExpectSame(const Snapshot& expected, const Snapshot& actual);

// Whether `path` is `key` or lies beneath it (both in lower case).
bool Under(const std::wstring& path, const std::wstring& key);
Snapshot Within(const Snapshot& s, const std::wstring& key);

// Runs a command line and waits for it; its exit code, or ~0 when it could not start. With
// `output`, what it writes to its standard output is kept there.
DWORD RunProgram(std::wstring commandLine, std::string* output = nullptr);

}  // namespace qt
