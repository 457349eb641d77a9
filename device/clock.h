// The link to the device maker's control. Every call is a late-bound Invoke with a fixed
// dispatch identifier on the calling apartment's one control instance; integers travel as
// 32-bit integer variants, and results are converted to Boolean on the spot.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace quorin::device {

inline constexpr long kBaudRate = 38400;
inline constexpr int kTemplateLength = 460;

// The calling apartment's control. The control itself is created by the first call that needs
// it and stays for the life of the apartment.
class Clock {
  public:
    Clock() = default;
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;

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
    struct LogOutputs {
        LONG person = 0;
        LONG unused5 = 0;
        LONG unused6 = 0;
        LONG year = 0;
        LONG month = 0;
        LONG day = 0;
        LONG hour = 0;
        LONG minute = 0;
    };
    bool NextLogRecord(short machine, LONG* machineVar, LogOutputs& out);
    void AfterLogRead(short machine);
};

// Dispatches every window message waiting for the calling thread, then returns.
void YieldToMessages();

}  // namespace quorin::device
