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

// The objects of one host record class that an operation hands back, created in process for
// the interface I. The class object is obtained with the first record and kept until the
// operation ends, so that each further record is one CreateInstance: creation by CLSID looks the
// class up again for every object, and that look-up costs more than all the rest of a record. A
// class object that cannot be obtained fails as a creation that fails, where the first record
// would have been made; an operation that makes no record obtains none.
template <class I>
class RecordClass {
  public:
    explicit RecordClass(const GUID& clsid) : clsid_(clsid) {}
    RecordClass(const RecordClass&) = delete;
    RecordClass& operator=(const RecordClass&) = delete;

    ComPtr<I> New() {
        if (!factory_)
            Check(CoGetClassObject(clsid_, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                   factory_.put_void()));
        ComPtr<I> record;
        Check(factory_->CreateInstance(nullptr, __uuidof(I), record.put_void()));
        return record;
    }

  private:
    const GUID clsid_;
    ComPtr<IClassFactory> factory_;
};

// Appends a record at the end of the collection, item only: the item goes by reference (to this
// call's copy of the pointer), and key, before and after are missing.
void AppendToCollection(_Collection* collection, IDispatch* record);

}  // namespace quorin::ops
