// Enrollment backup: one person's template, or failing that the password, from a device into the
// current row of the host's recordset.
#include "device/clock.h"
#include "driver/com.h"
#include "driver/frame.h"
#include "driver/records.h"
#include "operations/enrollment_row.h"
#include "operations/operations.h"

namespace quorin::ops {

namespace {

void FillRow(_ADORecordset* rs, short person, short backup, short machine,
             const TemplateBuffer& templ, LONG password) {
    ADO_LONGPTR count = 0;  // pointer-sized in the recordset interface
    Check(rs->get_RecordCount(&count));
    if (count < 1) {
        Check(rs->AddNew(MakeMissing(), MakeMissing()));
    }
    WriteField(rs, kFieldPerson, MakeI2(person));
    WriteField(rs, kFieldBackup, MakeI2(backup));
    WriteField(rs, kFieldMachine, MakeI2(machine));
    // Only the field of this enrollment is written: the other keeps what the row held.
    if (backup == kBackupPassword) {
        WriteField(rs, kFieldPassword, MakeI4(password));
    } else {
        AppendTemplate(rs, PackTemplate(templ));
    }
}

}  // namespace

// strMsg is the host's and is never written; the error path makes no device call, so a
// connection made before the error stays open.
HRESULT BackupEnrollment(short iPort, short imachineno, BSTR sPersonNum, _ADORecordset** rsData,
                         BSTR*, VARIANT_BOOL* result) {
    return RunGuarded(
        result,
        [&] {
            TemplateBuffer templ = {};
            // A wrong object ends the backup before the device is touched.
            const ComPtr<_ADORecordset> rs = ArgumentAs<_ADORecordset>(rsData ? *rsData : nullptr);
            device::Clock clock;
            clock.SetSerialPort(iPort);
            const short person = ToInteger(sPersonNum);
            SHORT flag = 1;  // the control wants it; its answer is not used
            short backup = kBackupTemplate;
            LONG password = 0;

            device::YieldToMessages();
            clock.ConnectSerial(iPort, imachineno);  // the reads are tried either way
            bool read = clock.ReadEnrollment(imachineno, person, backup, &flag, templ, &password);
            if (!read) {
                backup = kBackupPassword;
                device::YieldToMessages();
                read = clock.ReadEnrollment(imachineno, person, backup, &flag, templ, &password);
            }
            if (read) {
                FillRow(RecordsetOrRaise(rs.get()), person, backup, imachineno, templ, password);
            }
            clock.Disconnect();
            return read;
        },
        NoMessage);
}

}  // namespace quorin::ops
