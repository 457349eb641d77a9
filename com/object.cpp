#include "com/object.h"

namespace quorin {

namespace {
// LockServer locks of the module, whichever factory took them.
std::atomic<long> g_serverLocks{0};
}  // namespace

HRESULT ClassFactory::LockServer(BOOL lock) {
    if (lock) {
        ++g_serverLocks;
        ModuleAddRef();
        return S_OK;
    }
    // Only a lock that was taken is given back.
    long held = g_serverLocks.load();
    while (held > 0) {
        if (g_serverLocks.compare_exchange_weak(held, held - 1)) {
            ModuleRelease();
            break;
        }
    }
    return S_OK;
}

}  // namespace quorin
