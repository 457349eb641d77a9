// Enrollment backup: one person's template, or failing that the password, from a device into the
// current row of the host's recordset.
#include "operations/conversions.h"
#include "operations/enrollment_row.h"
#include "operations/host_objects.h"
#include "operations/operations.h"

namespace quorin::ops {

namespace {

void FillRow(_ADORecordset* rs, short person, short backup, short machine,
             const TemplateBuffer& templ, LONG password) {
    ADO_LONGPTR count = 0;  // pointer-sized in the recordset interface
    Check(rs->get_RecordCount(&count));
    if (count < 1) {
        Check(rs->AddNew(*Variant::Missing().get(), *Variant::Missing().get()));
    }
    WriteField(rs, kFieldPerson, Variant::I2(person));
    WriteField(rs, kFieldBackup, Variant::I2(backup));
    WriteField(rs, kFieldMachine, Variant::I2(machine));
    // Only the field of this enrollment is written: the other keeps what the row held.
    if (backup == kBackupPassword) {
        WriteField(rs, kFieldPassword, Variant::I4(password));
    } else {
        AppendTemplate(rs, PackTemplate(templ));
    }
}

}  // namespace

bool Backup::Run() {
    TemplateBuffer templ = {};
    // A wrong object ends the backup before the device is touched.
    const ComPtr<_ADORecordset> rs = ArgumentAs<_ADORecordset>(rsData ? *rsData : nullptr);
    device::SetSerialPort(address.iPort);
    const short person = ToInteger(sPersonNum);
    SHORT flag = 1;  // the control wants it; its answer is not used
    short backup = kBackupTemplate;
    LONG password = 0;

    device::YieldToMessages();
    device::ConnectSerial(address.iPort, address.imachineno);  // the reads are tried either way
    bool read = device::ReadEnrollment(address.imachineno, person, backup, &flag, templ, &password);
    if (!read) {
        backup = kBackupPassword;
        device::YieldToMessages();
        read = device::ReadEnrollment(address.imachineno, person, backup, &flag, templ, &password);
    }
    if (read) {
        FillRow(RecordsetOrRaise(rs.get()), person, backup, address.imachineno, templ, password);
    }
    device::Disconnect();
    return read;
}

}  // namespace quorin::ops
