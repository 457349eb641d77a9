// Download is still being built and answers E_NOTIMPL until it lands.
#include "operations/operations.h"

namespace quorin::ops {

HRESULT DownloadRecords(short, short, _Collection**, BSTR*, VARIANT_BOOL* result) {
    if (result) *result = VARIANT_FALSE;
    return E_NOTIMPL;
}

}  // namespace quorin::ops
