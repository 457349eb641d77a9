// What DllRegisterServer writes and DllUnregisterServer removes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "com/module.h"

namespace quorin::server {

HRESULT RegisterServer(HMODULE module);
HRESULT UnregisterServer(HMODULE module);

using quorin::RegistryValue;

// The class and its ProgID, as RegisterServer writes them (in this order) for the server file at
// `path`. The installer's package writes the same values: it is generated from this table.
std::vector<RegistryValue> ClassEntries(const std::wstring& path);

// The help folder registered with the type library for the server file at `path`: the file's
// folder, ending in a backslash as an installer writes a folder.
std::wstring HelpFolder(const std::wstring& path);

}  // namespace quorin::server
