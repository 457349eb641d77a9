// The frame every operation of clsMachine runs in: a reference on the object for the call, an
// error handler armed with the result False, and the result written on every way out.
#pragma once

#include <windows.h>

#include <new>

#include "driver/com.h"
#include "driver/errors.h"

namespace quorin {

// Holds a reference on the called object for the duration of the call.
class CallReference {
  public:
    explicit CallReference(IUnknown* self) : self_(self) { self_->AddRef(); }
    CallReference(const CallReference&) = delete;
    CallReference& operator=(const CallReference&) = delete;
    ~CallReference() { self_->Release(); }

  private:
    IUnknown* self_;
};

// Runs the body of a working operation. Any error raised in it ends the operation in the
// handler, which may put a message in place; the result is then False and the call succeeds.
// An error raised inside the handler is not caught again: it reaches the host as a failing
// HRESULT with the result False.
template <class Body, class Handler>
HRESULT RunGuarded(VARIANT_BOOL* result, Body&& body, Handler&& handler) {
    if (!result) return E_POINTER;
    *result = VARIANT_FALSE;
    bool outcome = false;
    try {
        try {
            outcome = body();
        } catch (const std::bad_alloc&) {
            throw RaisedError(VbErrorHresult(VbError::OutOfMemory),
                              VbErrorText(VbError::OutOfMemory));
        } catch (const RaisedError&) {
            throw;
        } catch (...) {
            // Nothing may unwind through a COM method.
            throw RaisedError(E_UNEXPECTED, SystemMessage(E_UNEXPECTED));
        }
    } catch (const RaisedError& error) {
        try {
            handler(error);
        } catch (const RaisedError& escaped) {
            return escaped.report();
        } catch (...) {
            return E_UNEXPECTED;
        }
        outcome = false;
    }
    *result = outcome ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

// The object an interface argument refers to, asked for the interface I that the contract
// declares, before anything else is called on it. A late-bound caller's pointer arrives as it was
// passed, whatever its object, so its type says nothing. No object stays no object; an object of
// another kind is a type mismatch.
template <class I>
ComPtr<I> ArgumentAs(IUnknown* object) {
    ComPtr<I> typed;
    if (object && FAILED(object->QueryInterface(__uuidof(I), typed.put_void())))
        Raise(VbError::TypeMismatch);
    return typed;
}

// The handler of an operation whose failure leaves nothing but the False result.
inline void NoMessage(const RaisedError&) {}

}  // namespace quorin
