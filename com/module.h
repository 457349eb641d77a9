// The module this code is linked into (Quorin.dll when the host loads the driver, each stand-in's
// own DLL), the one count of what keeps it loaded, and what registering a module writes with.
#pragma once

#include <windows.h>

#include <string>

namespace quorin {

HMODULE ThisModule();

// The full path of a module, however long; empty when it cannot be had.
std::wstring ModulePath(HMODULE module);

// The module lock: every live object, class factory reference, LockServer lock and apartment
// device control of the module holds one count, so that DllCanUnloadNow is one comparison.
void ModuleAddRef();
void ModuleRelease();
// S_OK when nothing holds the module, else S_FALSE: DllCanUnloadNow's answer.
HRESULT CanUnloadNow();

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", as the registry keys classes and libraries.
std::wstring GuidText(const GUID& guid);

// Writes a REG_SZ value (nullptr: the key's default value) under root, creating the key.
LONG WriteRegistryText(HKEY root, const std::wstring& key, const wchar_t* name,
                       const std::wstring& value);

}  // namespace quorin
