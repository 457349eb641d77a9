#include "operations/host_objects.h"

#include "com/variant.h"

namespace quorin::ops {

void AppendToCollection(_Collection* collection, IDispatch* record) {
    if (!collection) Raise(VbError::ObjectNotSet);
    Variant item = Variant::RefDispatch(&record);
    Variant key = Variant::Missing(), before = Variant::Missing(), after = Variant::Missing();
    Check(collection->Add(item.get(), key.get(), before.get(), after.get()));
}

}  // namespace quorin::ops
