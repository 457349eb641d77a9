// The class factory of clsMachine and the server's lock count.
#pragma once

#include <windows.h>

namespace quorin::server {

HRESULT GetFactory(REFIID riid, void** ppv);

// True while a client holds the server locked through IClassFactory::LockServer, or holds a
// reference to the factory.
bool Locked();

}  // namespace quorin::server
