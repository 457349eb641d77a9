// The module this code is linked into (Quorin.dll when the host loads the driver, each stand-in's
// own DLL), the one count of what keeps it loaded, and what registering a module writes with.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

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

// One REG_SZ value under HKEY_LOCAL_MACHINE, as a server registers its classes.
struct RegistryValue {
    std::wstring key;
    std::wstring name;  // empty: the key's default value
    std::wstring value;
};

// Writes the values in order, creating their keys. At the first failure it takes back what the
// table writes (RemoveRegistryValues) and returns that failure: nothing is left half written.
HRESULT WriteRegistryValues(const std::vector<RegistryValue>& values);

// Removes the values, then those of their keys that are left empty, innermost first; whatever
// else lives there stays. Returns the first failure, after trying everything.
HRESULT RemoveRegistryValues(const std::vector<RegistryValue>& values);

// The type library that the module file at `path` carries ("TYPELIB" 1), loaded without
// registering it: the one way a module here reads its own library.
HRESULT LoadModuleTypeLib(const std::wstring& path, ITypeLib** lib);

// Removes the registration of the type library that the module file at `path` carries ("TYPELIB"
// 1), for the kind it was built for (SYS_WIN32 or SYS_WIN64); S_OK when it is not registered.
HRESULT UnregisterTypeLibOf(const std::wstring& path);

}  // namespace quorin
