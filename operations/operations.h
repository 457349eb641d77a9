// The four working operations of clsMachine. Each is made from the call's arguments (which does
// nothing yet); Run does the work and answers the operation's result, raising on any error; Report
// leaves in strMsg what the operation says of a failure. The error handler is the frame's
// (server/frame.h), the same for all: a Disconnect first where kDisconnectsOnError, then Report; a
// call refused before it runs gets Report alone. What an operation holds for its whole run,
// handler included (the class object of its records among it), is released when the operation is
// destroyed.
#pragma once

#include <windows.h>

#include "com/ado.h"
#include "com/com.h"
#include "com/errors.h"
#include "contract.h"
#include "contract/identity.h"
#include "device/clock.h"
#include "operations/host_objects.h"

namespace quorin::ops {

// What an operation is unless it says otherwise: it claims the apartment's device control for its
// run, its handler makes no device call, and a failure leaves nothing for the host.
struct Handler {
    static constexpr bool kClaimsDevice = true;
    static constexpr bool kDisconnectsOnError = false;
    void Report(const RaisedError&) {}
};

// Each operation holds the call's parameters in the order the host's interface declares them
// (blnPort, strIp, strIPMin and strIPMax are accepted and have no effect), so that the frame makes
// it from the call's arguments as they come; the build checks the order and the names against
// the interface (server/parameters.h).

// The parameters that backup, restore and download begin with: the device's address.
struct DeviceAddress {
    VARIANT_BOOL blnPort;
    BSTR strIp;
    short iPort, imachineno;
};

// Finds devices on a range of serial ports; col receives a new collection of found devices. An
// error's description goes to strMsg.
struct Discovery : Handler {
    _Collection** col;
    VARIANT_BOOL blnPort;
    short iPortMin, iPortMax;
    BSTR strIPMin, strIPMax;
    short iMin, iMax;
    BSTR* strMsg;

    bool Run();
    void Report(const RaisedError& error);

    RecordClass<_FoundMachine> foundMachines{kClsidFoundMachine};
    // The record last found, until the next one is made.
    ComPtr<_FoundMachine> found{};
};

// Copies one person's enrollment from a device into the recordset's row. strMsg is the host's
// and is never written; the error path makes no device call, so a connection made before the
// error stays open.
struct Backup : Handler {
    DeviceAddress address;
    BSTR sPersonNum;
    _ADORecordset** rsData;
    BSTR* strMsg;

    bool Run();
};

// Writes an enrollment kept in the recordset back to a device. The error path makes no device
// call: a connection made before the error stays open, and strMsg holds the empty text.
struct Restore : Handler {
    DeviceAddress address;
    BSTR sPersonNum;
    _ADORecordset* rsData;
    BSTR* strMsg;

    bool Run();
    void Report(const RaisedError&);
};

// Appends the device's attendance records to cdata as card records. A failure disconnects and
// leaves the download failure message in strMsg.
struct Download : Handler {
    static constexpr bool kDisconnectsOnError = true;
    DeviceAddress address;
    _Collection** cdata;
    BSTR* strMsg;

    bool Run();
    void Report(const RaisedError& error);

    RecordClass<_CardRecord> cardRecords{kClsidCardRecord};
    // The current record, until the next one is made or the operation ends; the collection keeps
    // its own reference.
    ComPtr<_CardRecord> record{};
};

// Writing a card and deleting card data are not supported by this driver: whatever the
// arguments, the answer is False, with no message, no device call and no claim on the
// apartment's control, so that they answer so even during another operation's yield.
struct NotSupported : Handler {
    static constexpr bool kClaimsDevice = false;
    template <class... Params>
    explicit NotSupported(Params...) {}

    bool Run() const { return false; }
};

}  // namespace quorin::ops
