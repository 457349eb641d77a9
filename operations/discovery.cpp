// Device discovery: on every port of a range, the first machine number that answers.
#include "com/variant.h"
#include "contract/identity.h"
#include "operations/host_objects.h"
#include "operations/operations.h"

namespace quorin::ops {

namespace {

// `found` keeps the operation's reference to the record until the next one is made.
void RecordFoundDevice(RecordClass<_FoundMachine>& records, ComPtr<_FoundMachine>& found,
                       _Collection* col, short port, short machine) {
    found = records.New();
    Check(found->put_MachineNo(*Variant::I2(machine).get()));
    Check(found->put_Port(*Variant::I2(port).get()));
    Check(found->put_Address(*Variant::Text(L"").get()));
    Check(found->put_MachineId(*Variant::I2(machine).get()));
    AppendToCollection(col, found.get());
}

}  // namespace

bool Discovery::Run() {
    if (!col) Raise(VbError::ObjectNotSet);
    // The caller's collection is replaced by a new, empty one of our own. The old object is only
    // released, an IUnknown call that any object answers: nothing is asked of it, so whatever kind
    // of object the caller left there does not matter.
    ComPtr<_Collection> fresh;
    Check(CoCreateInstance(kClsidCollection, nullptr, CLSCTX_INPROC_SERVER, __uuidof(_Collection),
                           fresh.put_void()));
    if (*col) (*col)->Release();
    *col = fresh.detach();

    if (blnPort == 0 || iPortMax < 1 || iPortMin > iPortMax) return true;
    // Counted in int: a range that ends at 32767 completes like any other.
    for (int port = iPortMin; port <= iPortMax; ++port) {
        for (int machine = iMin; machine <= iMax; ++machine) {
            auto p = static_cast<short>(port), m = static_cast<short>(machine);
            if (device::ConnectSerial(p, m)) {
                RecordFoundDevice(foundMachines, found, *col, p, m);
                break;  // one device per port
            }
        }
    }
    return true;
}

void Discovery::Report(const RaisedError& error) {
    AssignBstr(strMsg, Bstr(error.description().c_str()));
}

}  // namespace quorin::ops
