// The in-process server's exports.
#include <windows.h>

#include "com/errors.h"
#include "com/module.h"
#include "com/object.h"
#include "contract/identity.h"
#include "server/machine.h"
#include "server/registration.h"

// The entry point is the runtime's own; the module finds itself when registration needs its path.
// No exception leaves an export: the caller is the platform's loader or regsvr32.

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != quorin::kClsidClsMachine) return CLASS_E_CLASSNOTAVAILABLE;
    return quorin::NoThrow(
        [&] { return quorin::ClassFactory::Serve(quorin::Machine::Create, riid, ppv); });
}

// Objects, factory references, LockServer locks and apartments' device controls all hold the one
// module lock.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return quorin::CanUnloadNow();
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    return quorin::NoThrow([] { return quorin::server::RegisterServer(quorin::ThisModule()); });
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return quorin::NoThrow([] { return quorin::server::UnregisterServer(quorin::ThisModule()); });
}
