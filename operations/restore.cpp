// Enrollment restore: the enrollment kept in the host's recordset, written back to a device.
#include <vector>

#include "operations/conversions.h"
#include "operations/enrollment_row.h"
#include "operations/host_objects.h"
#include "operations/operations.h"

namespace quorin::ops {

namespace {

// What the rows hold; every row replaces the row before, so the last one is written.
struct RowValues {
    std::vector<BYTE> templ;
    short backup = kBackupTemplate;
    long password = 0;
};

RowValues ReadRows(_ADORecordset* rs) {
    RowValues last;
    Check(rs->MoveFirst());
    for (;;) {
        VARIANT_BOOL eof = VARIANT_FALSE;
        Check(rs->get_EOF(&eof));
        if (eof) break;
        last.templ = TemplateBytes(*ReadField(rs, kFieldTemplate).get());
        last.backup = ToInteger(*ReadField(rs, kFieldBackup).get());
        last.password = PasswordOf(*ReadField(rs, kFieldPassword).get());
        Check(rs->MoveNext());
    }
    return last;
}

}  // namespace

bool Restore::Run() {
    TemplateBuffer templ = {};
    AssignBstr(strMsg, Bstr(L""));
    const ComPtr<_ADORecordset> rs = ArgumentAs<_ADORecordset>(rsData);
    const short person = ToInteger(sPersonNum);
    device::ConnectSerial(address.iPort, address.imachineno);

    const RowValues row = ReadRows(RecordsetOrRaise(rs.get()));
    if (!IsBlankTemplate(row.templ)) UnpackTemplate(row.templ, templ);

    device::YieldToMessages();
    device::ConnectSerial(address.iPort, address.imachineno);  // again, with no Disconnect between
    const bool written =
        device::WriteEnrollment(address.imachineno, person, row.backup, templ, row.password);
    device::Disconnect();
    return written;
}

void Restore::Report(const RaisedError&) {
    AssignBstr(strMsg, Bstr(L""));
}

}  // namespace quorin::ops
