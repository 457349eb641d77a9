// Small owners for the COM and system resources code holds, so that every way out releases them:
// interface pointers, BSTRs, registry keys and local memory. Variants: variant.h.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace quorin {

// An owned interface pointer.
template <class T>
class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference on p.
    explicit ComPtr(T* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComPtr& operator=(ComPtr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ComPtr() { reset(); }

    // Adopts a reference that the caller already owns.
    static ComPtr adopt(T* p) {
        ComPtr c;
        c.p_ = p;
        return c;
    }
    void reset() {
        if (p_) std::exchange(p_, nullptr)->Release();
    }
    // For out parameters: releases what is held and hands out the slot.
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    T* detach() { return std::exchange(p_, nullptr); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    template <class U>
    HRESULT query(ComPtr<U>& out) const {
        return p_ ? p_->QueryInterface(__uuidof(U), out.put_void()) : E_POINTER;
    }

  private:
    T* p_ = nullptr;
};

// An owned BSTR.
class Bstr {
  public:
    Bstr() = default;
    explicit Bstr(const wchar_t* s) : s_(s ? SysAllocString(s) : nullptr) {}
    static Bstr adopt(BSTR s) {
        Bstr b;
        b.s_ = s;
        return b;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    Bstr& operator=(Bstr&& o) noexcept {
        std::swap(s_, o.s_);
        return *this;
    }
    ~Bstr() { SysFreeString(s_); }

    BSTR get() const { return s_; }
    BSTR detach() { return std::exchange(s_, nullptr); }
    BSTR* put() {
        SysFreeString(std::exchange(s_, nullptr));
        return &s_;
    }
    // For [in, out] parameters: the callee sees the current value and may replace it.
    BSTR* inout() { return &s_; }
    UINT length() const { return SysStringLen(s_); }

  private:
    BSTR s_ = nullptr;
};

// An owned handle of a kind that one function closes (a registry key, local memory); Close is a
// function object that closes it.
template <class H, class Close>
class Handle {
  public:
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    ~Handle() {
        if (h_) Close{}(h_);
    }
    H get() const { return h_; }
    // For out parameters: closes what is held and hands out the slot.
    H* put() {
        if (h_) Close{}(std::exchange(h_, nullptr));
        return &h_;
    }
    explicit operator bool() const { return h_ != nullptr; }

  private:
    H h_ = nullptr;
};

struct CloseRegKey {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
struct FreeLocal {
    void operator()(HLOCAL memory) const { LocalFree(memory); }
};
using RegKey = Handle<HKEY, CloseRegKey>;
using LocalMemory = Handle<HLOCAL, FreeLocal>;

// Writes a by-reference string parameter, freeing what it held.
inline void AssignBstr(BSTR* target, Bstr value) {
    if (!target) return;
    SysFreeString(*target);
    *target = value.detach();
}

}  // namespace quorin
