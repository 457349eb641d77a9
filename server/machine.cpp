#include "server/machine.h"

#include "com/errors.h"
#include "contract/identity.h"

namespace quorin {

HRESULT MachineBase::InterfaceSupportsErrorInfo(REFIID riid) {
    return riid == __uuidof(_clsMachine) || riid == __uuidof(IMachine) ? S_OK : S_FALSE;
}

HRESULT ReportEscaped(const RaisedError& error) {
    PublishErrorInfo(GUID_NULL, kProgId, error.description());
    return FAILED(error.hr()) ? error.hr() : E_FAIL;
}

}  // namespace quorin
