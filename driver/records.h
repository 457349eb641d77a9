// Handing results to the host: records of the host's classes, appended to its Collection.
#pragma once

#include <windows.h>

#include "contract.h"
#include "driver/com.h"
#include "driver/errors.h"

namespace quorin {

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

}  // namespace quorin
