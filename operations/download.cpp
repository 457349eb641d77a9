// Attendance record download: every swipe the device holds becomes a card record, appended to
// the host's collection in the order the device delivers them.
#include <string>

#include "com/variant.h"
#include "operations/conversions.h"
#include "operations/host_objects.h"
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

// The year-first text year/month/day hour:minute reads back into exactly these parts, so
// validating the parts is reading the text; a text that forms no date is a type mismatch.
DATE SwipeTime(const device::LogOutputs& out) {
    auto date = SwipeTimeFromParts(out.time);
    if (!date) Raise(VbError::TypeMismatch);
    return *date;
}

}  // namespace

bool Download::Run() {
    AssignBstr(strMsg, Bstr(L""));
    // The caller's own collection, asked for as one; it is never replaced.
    const ComPtr<_Collection> target = ArgumentAs<_Collection>(cdata ? *cdata : nullptr);
    device::SetSerialPort(address.iPort);
    // Arguments 2 and 4 of every NextLogRecord call: whatever the device leaves here goes to
    // AfterLogRead.
    LONG machineVar = address.imachineno;
    // Whether a device answered is not asked.
    device::ConnectSerial(address.iPort, address.imachineno);
    // The outputs are not reset between records: one the device does not write keeps the
    // previous record's value.
    device::LogOutputs out;
    bool more = device::StartLogRead(address.imachineno);
    while (more) {
        device::YieldToMessages();
        more = device::NextLogRecord(address.imachineno, &machineVar, out);
        if (!more) break;
        record = cardRecords.New();
        Check(record->put_PersonNo(*Variant::I4(out.person).get()));
        Check(record->put_SwipeTime(*Variant::Date(SwipeTime(out)).get()));
        AppendToCollection(target.get(), record.get());
    }
    device::AfterLogRead(NarrowToInteger(machineVar));
    device::Disconnect();
    return true;
}

void Download::Report(const RaisedError&) {
    AssignBstr(strMsg, DownloadFailedMessage(address.imachineno));
}

}  // namespace quorin::ops
