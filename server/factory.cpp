#include "server/factory.h"

#include <atomic>

#include "driver/machine.h"

namespace quorin::server {

namespace {

// References to the factory and LockServer locks, counted apart so that an unbalanced unlock
// cannot cancel a reference that is still held.
std::atomic<long> g_factoryRefs{0};
std::atomic<long> g_locks{0};

// One static factory: it carries no state and lives as long as the module.
class MachineFactory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Held references keep the module loaded like a lock does.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++g_factoryRefs + 1; }
    ULONG STDMETHODCALLTYPE Release() override { return --g_factoryRefs + 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return Machine::Create(riid, ppv);
    }
    // An unlock without a lock to match leaves the count at zero.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ++g_locks;
            return S_OK;
        }
        long held = g_locks.load();
        while (held > 0 && !g_locks.compare_exchange_weak(held, held - 1)) {
        }
        return S_OK;
    }
};

MachineFactory g_factory;

}  // namespace

HRESULT GetFactory(REFIID riid, void** ppv) {
    return g_factory.QueryInterface(riid, ppv);
}

bool Locked() {
    return g_locks.load() > 0 || g_factoryRefs.load() > 0;
}

}  // namespace quorin::server
