#include "driver/records.h"

namespace quorin {

void AppendToCollection(_Collection* collection, IDispatch* const& record) {
    if (!collection) Raise(VbError::ObjectNotSet);
    VARIANT item;
    V_VT(&item) = VT_BYREF | VT_DISPATCH;
    V_DISPATCHREF(&item) = const_cast<IDispatch**>(&record);
    VARIANT missing;
    V_VT(&missing) = VT_ERROR;
    V_ERROR(&missing) = DISP_E_PARAMNOTFOUND;
    VARIANT key = missing, before = missing, after = missing;
    Check(collection->Add(&item, &key, &before, &after));
}

_Collection* CollectionOrRaise(_Collection** collection) {
    if (!collection || !*collection) Raise(VbError::ObjectNotSet);
    return *collection;
}

}  // namespace quorin
