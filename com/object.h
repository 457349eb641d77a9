// IUnknown written once: a class lists the interfaces it exposes, and QueryInterface, AddRef and
// Release come from Object. Every object holds the module lock while it lives, so that
// DllCanUnloadNow counts nothing by hand. ClassFactory serves any class through the same helper.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <new>
#include <utility>

#include "com/errors.h"
#include "com/module.h"

namespace quorin {

// One interface of an object: the base class that implements it, and the identifiers that
// QueryInterface answers with that base. IUnknown is never listed: the first entry answers it.
template <class Base, const IID&... Iids>
struct Exposes {
    using Implementation = Base;
    static bool Answers(REFIID riid) { return ((riid == Iids) || ...); }
};

// Reference counting and QueryInterface for Derived, which implements the entries' interfaces.
// Objects are made with new and start with one reference; the last Release deletes them.
template <class Derived, class First, class... Rest>
class Object : public First::Implementation, public Rest::Implementation... {
  public:
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        const bool found = Offer<First>(riid == IID_IUnknown || First::Answers(riid), ppv) ||
                           (Offer<Rest>(Rest::Answers(riid), ppv) || ...);
        if (!found) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG n = --refs_;
        if (n == 0) delete static_cast<Derived*>(this);
        return n;
    }

  protected:
    Object() { ModuleAddRef(); }
    ~Object() { ModuleRelease(); }

  private:
    // Hands out the entry's interface pointer when it answers.
    template <class Entry>
    bool Offer(bool answers, void** ppv) {
        if (answers)
            *ppv = static_cast<IUnknown*>(static_cast<typename Entry::Implementation*>(this));
        return answers;
    }

    std::atomic<ULONG> refs_{1};
};

// IDispatch for an object that has no type information to give: the object still names and
// invokes its members itself.
template <class Interface>
class NoTypeInfo : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) *info = nullptr;
        return DISP_E_BADINDEX;
    }
};

// Makes a T and hands out its interface riid; the object is gone again if the caller got none.
template <class T, class... Args>
HRESULT CreateInstance(REFIID riid, void** ppv, Args&&... args) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    auto* object = new (std::nothrow) T(std::forward<Args>(args)...);
    if (!object) return E_OUTOFMEMORY;
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

// The class factory of one class, made for each DllGetClassObject. Its references hold the module
// lock as any object's do; LockServer locks are counted for the whole module apart from them, so
// that an unlock without a lock to match changes nothing.
class ClassFactory final : public Object<ClassFactory, Exposes<IClassFactory, IID_IClassFactory>> {
  public:
    using Creator = HRESULT (*)(REFIID riid, void** ppv);

    // DllGetClassObject's answer for a class that `create` makes.
    static HRESULT Serve(Creator create, REFIID riid, void** ppv) {
        return quorin::CreateInstance<ClassFactory>(riid, ppv, create);
    }

    explicit ClassFactory(Creator create) : create_(create) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return NoThrow([&] { return create_(riid, ppv); });
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  private:
    Creator create_;
};

}  // namespace quorin
