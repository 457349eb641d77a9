#include "server/machine.h"

namespace quorin {

HRESULT MachineBase::InterfaceSupportsErrorInfo(REFIID riid) {
    return riid == __uuidof(_clsMachine) || riid == __uuidof(IMachine) ? S_OK : S_FALSE;
}

}  // namespace quorin
