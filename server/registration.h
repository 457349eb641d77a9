// What DllRegisterServer writes and DllUnregisterServer removes.
#pragma once

#include <windows.h>

namespace quorin::server {

HRESULT RegisterServer(HMODULE module);
HRESULT UnregisterServer(HMODULE module);

}  // namespace quorin::server
