// The link to the device maker's control. Every call is a late-bound Invoke with a fixed
// dispatch identifier on the calling apartment's one control instance; integers travel as
// 32-bit integer variants, and results are converted to Boolean on the spot.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "com/errors.h"

namespace quorin::device {

inline constexpr long kBaudRate = 38400;
inline constexpr int kTemplateLength = 460;

// The parts of a swipe's time as the device reports them.
struct SwipeParts {
    LONG year = 0;
    LONG month = 0;
    LONG day = 0;
    LONG hour = 0;
    LONG minute = 0;
};

// What NextLogRecord writes through its arguments 3 and 5 to 11, kept by the caller from one
// record to the next: an output the device leaves alone keeps the previous record's value.
struct LogOutputs {
    LONG person = 0;
    LONG notRead[2] = {};  // arguments 5 and 6, which the driver never reads
    SwipeParts time;
};

// The calls on the calling apartment's control. The control is created by the first call that
// needs it and stays for the life of the apartment.
void SetSerialPort(short port);
bool ConnectSerial(short port, short machine);
void Disconnect();
// backup: 0 template, 10 password. `flag` is the by-reference 16-bit argument 5.
bool ReadEnrollment(short machine, short person, short backup, SHORT* flag,
                    LONG (&templ)[kTemplateLength], LONG* password);
bool WriteEnrollment(short machine, short person, short backup, LONG (&templ)[kTemplateLength],
                     long password);
bool StartLogRead(short machine);
// Arguments 2 to 11 by reference; `machineVar` is passed as both argument 2 and 4.
bool NextLogRecord(short machine, LONG* machineVar, LogOutputs& out);
void AfterLogRead(short machine);

// Dispatches every window message waiting for the calling thread, then returns.
void YieldToMessages();

// The apartment's control serves one operation at a time: an operation holds the claim for its
// whole run, handler included. Host code that runs during a yield and starts another operation on
// the same thread would take the control over in the middle of the first operation's connection,
// so a claim made while another is held is refused; the first operation goes on untouched.
class OperationClaim {
  public:
    // With take false, nothing is claimed: an operation that needs no device.
    explicit OperationClaim(bool take = true);
    OperationClaim(const OperationClaim&) = delete;
    OperationClaim& operator=(const OperationClaim&) = delete;
    ~OperationClaim();

    // Whether this operation has the apartment's control; false while another operation holds it.
    explicit operator bool() const { return held_; }

  private:
    bool held_;
};

// The error of an operation refused because another operation of the apartment is running:
// COM's "call again later" (RPC_E_SERVERCALL_RETRYLATER) with a text that says why.
RaisedError OperationRunning();

}  // namespace quorin::device
