// The in-process server's exports.
#include <windows.h>

#include "device/clock.h"
#include "driver/identity.h"
#include "driver/machine.h"
#include "driver/module.h"
#include "server/factory.h"
#include "server/registration.h"

// The entry point is the runtime's own; the module finds itself when registration needs its path.

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != quorin::kClsidClsMachine) return CLASS_E_CLASSNOTAVAILABLE;
    return quorin::server::GetFactory(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    bool busy = quorin::LiveObjects() > 0 || quorin::server::Locked() ||
                quorin::device::LiveApartmentSlots() > 0;
    return busy ? S_FALSE : S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    return quorin::server::RegisterServer(quorin::ThisModule());
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return quorin::server::UnregisterServer(quorin::ThisModule());
}
