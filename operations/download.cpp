// Attendance record download: every swipe the device holds becomes a card record, appended to
// the host's collection in the order the device delivers them.
#include <climits>
#include <string>

#include "driver/com.h"
#include "driver/frame.h"
#include "driver/identity.h"
#include "driver/records.h"
#include "device/clock.h"
#include "operations/operations.h"
#include "operations/swipe_time.h"

namespace quorin::ops {

namespace {

// "编号为<machine>的考勤机不能下载刷卡数据！ ": the time clock with that number could not
// download its swipe records. Written with escapes so that the bytes do not depend on how the
// source file is read.
Bstr DownloadFailedMessage(short machine) {
    std::wstring text = L"\u7f16\u53f7\u4e3a";
    text += std::to_wstring(machine);
    text += L"\u7684\u8003\u52e4\u673a\u4e0d\u80fd\u4e0b\u8f7d\u5237\u5361\u6570\u636e\uff01 ";
    return Bstr(text.c_str());
}

// The 16-bit value that AfterLogRead takes, or an overflow error when it does not fit.
short NarrowToInteger(LONG value) {
    if (value < SHRT_MIN || value > SHRT_MAX) Raise(VbError::Overflow);
    return static_cast<short>(value);
}

// The year-first text year/month/day hour:minute reads back into exactly these parts, so
// validating the parts is reading the text; a text that forms no date is a type mismatch.
DATE SwipeTime(const device::Clock::LogOutputs& out) {
    auto date = SwipeTimeFromParts({out.year, out.month, out.day, out.hour, out.minute});
    if (!date) Raise(VbError::TypeMismatch);
    return *date;
}

}  // namespace

HRESULT DownloadRecords(short iPort, short imachineno, _Collection** cdata, BSTR* strMsg,
                        VARIANT_BOOL* result) {
    device::Clock clock;
    // The current record stays held until the next one is made or the operation ends, handler
    // included; the collection keeps its own reference.
    ComPtr<_CardRecord> record;
    return RunGuarded(
        result,
        [&] {
            AssignBstr(strMsg, Bstr(L""));
            // The caller's own collection, asked for as one; it is never replaced.
            const ComPtr<_Collection> target = ArgumentAs<_Collection>(cdata ? *cdata : nullptr);
            clock.SetSerialPort(iPort);
            // Arguments 2 and 4 of every NextLogRecord call: whatever the device leaves here goes
            // to AfterLogRead.
            LONG machineVar = imachineno;
            clock.ConnectSerial(iPort, imachineno);  // whether a device answered is not asked
            // The outputs are not reset between records: one the device does not write keeps
            // the previous record's value.
            device::Clock::LogOutputs out;
            bool more = clock.StartLogRead(imachineno);
            while (more) {
                device::YieldToMessages();
                more = clock.NextLogRecord(imachineno, &machineVar, out);
                if (!more) break;
                record = CreateRecord<_CardRecord>(kClsidCardRecord);
                Check(record->put_PersonNo(MakeI4(out.person)));
                Check(record->put_SwipeTime(MakeDate(SwipeTime(out))));
                IDispatch* const item = record.get();
                AppendToCollection(target.get(), item);
            }
            clock.AfterLogRead(NarrowToInteger(machineVar));
            clock.Disconnect();
            return true;
        },
        [&](const RaisedError&) {
            // A failing Disconnect escapes from here with strMsg still empty.
            clock.Disconnect();
            AssignBstr(strMsg, DownloadFailedMessage(imachineno));
        });
}

}  // namespace quorin::ops
