// The host's objects as the operations meet them: the objects its arguments refer to, and the
// records handed back to it, appended to its Collection.
#pragma once

#include <windows.h>

#include "com/com.h"
#include "com/errors.h"
#include "contract.h"

namespace quorin::ops {

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

// A new object of a host record class, created in process by CLSID for the interface I.
template <class I>
ComPtr<I> CreateRecord(const GUID& clsid) {
    ComPtr<I> record;
    Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(I), record.put_void()));
    return record;
}

// Appends a record at the end of the collection, item only: the item goes by reference to the
// operation's own reference, and key, before and after are missing.
void AppendToCollection(_Collection* collection, IDispatch* const& record);

}  // namespace quorin::ops
