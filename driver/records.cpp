#include "driver/records.h"

namespace quorin {

void AppendToCollection(_Collection* collection, IDispatch* const& record) {
    if (!collection) Raise(VbError::ObjectNotSet);
    VARIANT item;
    V_VT(&item) = VT_BYREF | VT_DISPATCH;
    V_DISPATCHREF(&item) = const_cast<IDispatch**>(&record);
    VARIANT key = MakeMissing(), before = MakeMissing(), after = MakeMissing();
    Check(collection->Add(&item, &key, &before, &after));
}

}  // namespace quorin
