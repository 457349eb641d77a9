// Enrollment backup as the host sees it: IMachine::funcBackFingure against the simulated clock,
// with our own recordset standing in for the host's.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "operations/template.h"
#include "tests/recordset_fixture.h"

namespace {

using clocksim::kConnectSerial;
using clocksim::kDisconnect;
using clocksim::kReadEnrollment;
using clocksim::kSerialPort;
using qt::Bstr;
using qt::ComPtr;
using qt::RecordsetStandin;
using quorin::Variant;

constexpr const wchar_t* kHostText = L"host's own text";

std::array<int32_t, 460> SampleTemplate() {
    std::array<int32_t, 460> t{};
    for (int i = 0; i < 460; ++i) t[i] = (i % 2 ? -1 : 1) * (i * 4099 + 17);
    t[3] = INT32_MAX;
    t[4] = INT32_MIN + 1;
    return t;
}

// The elements 0 to 458 that a packed template holds, read back by the row's own rules.
std::vector<int32_t> Unpacked(const std::vector<BYTE>& bytes) {
    quorin::ops::TemplateBuffer t = {};
    quorin::ops::UnpackTemplate(bytes, t);
    return std::vector<int32_t>(t, t + 459);
}

class Backup : public qt::RecordsetOperation {
  protected:
    Backup() : RecordsetOperation({{1, 1}, {3, 2}}) {}

    // Calls the operation and checks what holds on every path: S_OK, the recordset reference
    // not replaced, strMsg handed back as it was passed.
    VARIANT_BOOL Run(const wchar_t* person, short port = 1, short machine = 1,
                     bool withRecordset = true) {
        Bstr ip(L"10.0.0.9"), personText(person);
        BSTR msg = SysAllocString(kHostText);
        const BSTR msgBefore = msg;
        _ADORecordset* arg = withRecordset ? rs.get() : nullptr;
        VARIANT_BOOL ok = 7;
        EXPECT_EQ(S_OK, driver->funcBackFingure(VARIANT_TRUE, ip.get(), port, machine,
                                                personText.get(), &arg, &msg, &ok));
        Bstr owned = Bstr::adopt(msg);
        EXPECT_EQ(msgBefore, msg);
        EXPECT_EQ(kHostText, qt::Text(msg));
        EXPECT_EQ(withRecordset ? static_cast<_ADORecordset*>(rs.get()) : nullptr, arg);
        return ok;
    }
};

TEST_F(Backup, TemplateGoesIntoANewRowAfterOneRead) {
    clocksim::Enrollment e;
    e.templ = SampleTemplate();
    clock->At(1, 1).enrollments[{7, 0}] = e;

    EXPECT_EQ(VARIANT_TRUE, Run(L"7"));

    EXPECT_EQ(
        "SerialPort(1) ConnectSerial(1,1,38400) ReadEnrollment(1,7,1,0,&1,&0,&0) Disconnect()",
        Device());
    // The port is a property put; every value travels as a 32-bit integer, the by-reference
    // ones as 16-bit flag, template element 0 and password.
    auto port = clock->CallsOf(kSerialPort);
    ASSERT_EQ(1u, port.size());
    ASSERT_EQ(1u, port[0].args.size());
    EXPECT_EQ(DISPATCH_PROPERTYPUT, port[0].flags);
    EXPECT_EQ(VT_I4, port[0].args[0].vt);
    const auto connect = clock->CallsOf(kConnectSerial);
    ASSERT_EQ(1u, connect.size());
    for (const auto& a : connect[0].args) EXPECT_EQ(VT_I4, a.vt);
    const auto read = clock->CallsOf(kReadEnrollment);
    ASSERT_EQ(1u, read.size());
    ASSERT_EQ(7u, read[0].args.size());
    const VARTYPE readTypes[] = {
        VT_I4, VT_I4, VT_I4, VT_I4, VT_BYREF | VT_I2, VT_BYREF | VT_I4, VT_BYREF | VT_I4};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(readTypes[i], read[0].args[i].vt) << i;
    // The yield comes before connecting, not between connecting and reading.
    EXPECT_TRUE(connect[0].yieldedBefore);
    EXPECT_FALSE(read[0].yieldedBefore);

    EXPECT_EQ(
        "RecordCount AddNew Collect(cpsn_num) Collect(iFingerprintNO) Collect(imachineno) "
        "Fields Item(bFingerprint) AppendChunk(bFingerprint)",
        rs->Trace());
    const auto addNew = rs->CallsOf("AddNew");
    ASSERT_EQ(1u, addNew.size());
    for (const Variant& missing : addNew[0].args) {
        EXPECT_EQ(VT_ERROR, missing.vt());
        EXPECT_EQ(DISP_E_PARAMNOTFOUND, V_ERROR(missing.get()));
    }
    const auto collect = rs->CallsOf("Collect");
    const short written[] = {7, 0, 1};
    ASSERT_EQ(3u, collect.size());
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(2u, collect[i].args.size());
        EXPECT_EQ(VT_BSTR, collect[i].args[0].vt());
        EXPECT_EQ(VT_I2, collect[i].args[1].vt());
        EXPECT_EQ(written[i], V_I2(collect[i].args[1].get()));
    }
    EXPECT_EQ(VT_BSTR, rs->CallsOf("Item").at(0).args.at(0).vt());
    const Variant chunk = rs->CallsOf("AppendChunk").at(0).args.at(0);
    EXPECT_EQ(VT_ARRAY | VT_UI1, chunk.vt());
    LONG lower = -1;
    SafeArrayGetLBound(V_ARRAY(chunk.get()), 1, &lower);
    EXPECT_EQ(0, lower);
    ASSERT_EQ(2296u, chunk.bytes().size());
    EXPECT_EQ(0, chunk.bytes()[2295]);
    const std::array<int32_t, 460> sample = SampleTemplate();
    EXPECT_EQ(std::vector<int32_t>(sample.begin(), sample.begin() + 459), Unpacked(chunk.bytes()));

    ASSERT_EQ(1u, rs->rows.size());
    EXPECT_EQ(VT_NULL, rs->rows[0][L"npassword"].vt());  // not written
}

TEST_F(Backup, PasswordAfterTheTemplateReadFails) {
    clocksim::Enrollment e;
    e.password = 4711;
    clock->At(3, 2).enrollments[{8, 10}] = e;
    // A row that already holds a template keeps it.
    qt::Row row;
    row[L"bFingerprint"] = Variant::Bytes({1, 2, 3});
    rs->rows.push_back(row);
    rs->position = 0;

    EXPECT_EQ(VARIANT_TRUE, Run(L"8", 3, 2));

    EXPECT_EQ(
        "SerialPort(3) ConnectSerial(3,2,38400) ReadEnrollment(2,8,1,0,&1,&0,&0) "
        "ReadEnrollment(2,8,1,10,&1,&0,&0) Disconnect()",
        Device());
    const auto reads = clock->CallsOf(kReadEnrollment);
    ASSERT_EQ(2u, reads.size());
    EXPECT_FALSE(reads[0].yieldedBefore);
    EXPECT_TRUE(reads[1].yieldedBefore);  // one yield between the reads
    EXPECT_FALSE(clock->CallsOf(kDisconnect).at(0).yieldedBefore);
    // Both reads hand over the same variables.
    ASSERT_EQ(7u, reads[0].args.size());
    ASSERT_EQ(7u, reads[1].args.size());
    for (int i = 4; i < 7; ++i) EXPECT_EQ(reads[0].args[i].address, reads[1].args[i].address);

    EXPECT_EQ(
        "RecordCount Collect(cpsn_num) Collect(iFingerprintNO) Collect(imachineno) "
        "Collect(npassword)",
        rs->Trace());
    const auto collect = rs->CallsOf("Collect");
    ASSERT_EQ(4u, collect.size());
    EXPECT_EQ(10, V_I2(collect[1].args[1].get()));
    EXPECT_EQ(2, V_I2(collect[2].args[1].get()));
    EXPECT_EQ(VT_I4, collect[3].args[1].vt());
    EXPECT_EQ(4711, V_I4(collect[3].args[1].get()));
    ASSERT_EQ(1u, rs->rows.size());
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3}), rs->rows[0][L"bFingerprint"].bytes());
}

TEST_F(Backup, NothingReadTouchesNoRecordsetButStillDisconnects) {
    EXPECT_EQ(VARIANT_FALSE, Run(L"9"));
    EXPECT_EQ(
        "SerialPort(1) ConnectSerial(1,1,38400) ReadEnrollment(1,9,1,0,&1,&0,&0) "
        "ReadEnrollment(1,9,1,10,&1,&0,&0) Disconnect()",
        Device());
    EXPECT_EQ("", rs->Trace());
    EXPECT_TRUE(rs->rows.empty());

    // With no recordset at all the outcome is the same: it is never reached.
    clock->calls.clear();
    EXPECT_EQ(VARIANT_FALSE, Run(L"9", 1, 1, false));
    EXPECT_EQ(
        "SerialPort(1) ConnectSerial(1,1,38400) ReadEnrollment(1,9,1,0,&1,&0,&0) "
        "ReadEnrollment(1,9,1,10,&1,&0,&0) Disconnect()",
        Device());
}

TEST_F(Backup, ANewRowOnlyWhenTheCountIsBelowOne) {
    clocksim::Enrollment e;
    e.password = 12;
    clock->At(1, 1).enrollments[{5, 10}] = e;
    struct Case {
        size_t rows;
        std::optional<ADO_LONGPTR> count;
        size_t position;
        bool adds;
    } cases[] = {
        {0, {}, 0, true}, {0, -1, 0, true}, {3, -1, 1, true}, {2, {}, 1, false}, {3, 1, 2, false}};
    for (const Case& c : cases) {
        rs = RecordsetStandin::Create();
        rs->rows.resize(c.rows);
        rs->recordCount = c.count;
        rs->position = c.position;
        EXPECT_EQ(VARIANT_TRUE, Run(L"5"));
        EXPECT_EQ(c.adds, rs->CallsOf("AddNew").size() == 1) << c.rows;
        EXPECT_EQ(c.rows + (c.adds ? 1 : 0), rs->rows.size());
        // The values go into the new row, or into whichever row is current.
        const size_t target = c.adds ? c.rows : c.position;
        ASSERT_LT(target, rs->rows.size());
        EXPECT_EQ(12, V_I4(rs->rows[target][L"npassword"].get())) << c.rows;
        EXPECT_EQ(5, V_I2(rs->rows[target][L"cpsn_num"].get()));
    }
}

TEST_F(Backup, PersonNumberIsConvertedBeforeAnyConnection) {
    for (const wchar_t* bad : {L"", L"abc", L"32768", L"-32769", L"1e2"}) {
        clock->calls.clear();
        EXPECT_EQ(VARIANT_FALSE, Run(bad)) << static_cast<const void*>(bad);
        EXPECT_EQ("SerialPort(1)", Device());  // the port is set, nothing more
    }
    EXPECT_EQ("", rs->Trace());

    clocksim::Enrollment e;
    e.password = 1;
    clock->At(1, 1).enrollments[{7, 10}] = e;
    clock->At(1, 1).enrollments[{6, 10}] = e;
    clock->At(1, 1).enrollments[{-2, 10}] = e;
    for (auto [text, person] :
         {std::pair{L"007", 7}, std::pair{L" 6.5 ", 6}, std::pair{L"-2", -2}}) {
        clock->calls.clear();
        rs = RecordsetStandin::Create();
        Run(text);
        EXPECT_EQ(person, clock->CallsOf(kReadEnrollment).at(0).args.at(1).value);
        EXPECT_EQ(person, V_I2(rs->CallsOf("Collect").at(0).args.at(1).get()));
    }
}

TEST_F(Backup, AConnectionThatFailsDoesNotStopTheReads) {
    qt::ConnectAnswersFalse(*clock);
    clocksim::Enrollment e;
    e.password = 99;
    clock->At(1, 1).enrollments[{4, 10}] = e;
    EXPECT_EQ(VARIANT_TRUE, Run(L"4"));
    EXPECT_EQ(
        "SerialPort(1) ConnectSerial(1,1,38400) ReadEnrollment(1,4,1,0,&1,&0,&0) "
        "ReadEnrollment(1,4,1,10,&1,&0,&0) Disconnect()",
        Device());
}

// The error path: result False, no Disconnect, strMsg untouched (checked by Run), and what was
// written before the error stays in the row.
TEST_F(Backup, AnElementWithoutMagnitudeStopsBeforeTheTemplateField) {
    clocksim::Enrollment e;
    e.templ[458] = INT32_MIN;
    clock->At(1, 1).enrollments[{7, 0}] = e;
    EXPECT_EQ(VARIANT_FALSE, Run(L"7"));
    EXPECT_EQ("SerialPort(1) ConnectSerial(1,1,38400) ReadEnrollment(1,7,1,0,&1,&0,&0)", Device());
    EXPECT_EQ("RecordCount AddNew Collect(cpsn_num) Collect(iFingerprintNO) Collect(imachineno)",
              rs->Trace());
    ASSERT_EQ(1u, rs->rows.size());
    EXPECT_EQ(7, V_I2(rs->rows[0][L"cpsn_num"].get()));
    EXPECT_EQ(VT_NULL, rs->rows[0][L"bFingerprint"].vt());
}

TEST_F(Backup, AFailingRecordsetCallEndsWithoutDisconnecting) {
    clocksim::Enrollment e;
    clock->At(1, 1).enrollments[{7, 0}] = e;
    struct Case {
        const char* method;
        const wchar_t* field;
        const char* trace;
        HRESULT hr = E_FAIL;  // S_FALSE: the call answers success and no object
    } cases[] = {
        {"RecordCount", L"", "RecordCount"},
        {"AddNew", L"", "RecordCount AddNew"},
        {"Collect", L"iFingerprintNO",
         "RecordCount AddNew Collect(cpsn_num) Collect(iFingerprintNO)"},
        {"Fields", L"",
         "RecordCount AddNew Collect(cpsn_num) Collect(iFingerprintNO) "
         "Collect(imachineno) Fields"},
        {"Item", L"",
         "RecordCount AddNew Collect(cpsn_num) Collect(iFingerprintNO) "
         "Collect(imachineno) Fields Item(bFingerprint)"},
        {"Fields", L"",
         "RecordCount AddNew Collect(cpsn_num) Collect(iFingerprintNO) "
         "Collect(imachineno) Fields",
         S_FALSE},
        {"Item", L"",
         "RecordCount AddNew Collect(cpsn_num) Collect(iFingerprintNO) "
         "Collect(imachineno) Fields Item(bFingerprint)",
         S_FALSE},
        {"AppendChunk", L"",
         "RecordCount AddNew Collect(cpsn_num) Collect(iFingerprintNO) "
         "Collect(imachineno) Fields Item(bFingerprint) "
         "AppendChunk(bFingerprint)"},
    };
    for (const Case& c : cases) {
        clock->calls.clear();
        rs = RecordsetStandin::Create();
        rs->Fail(c.method, c.hr, c.field);
        EXPECT_EQ(VARIANT_FALSE, Run(L"7")) << c.method;
        EXPECT_EQ(c.trace, rs->Trace());
        EXPECT_TRUE(clock->CallsOf(kDisconnect).empty()) << c.method;
    }
    // And so does a recordset that is not there.
    clock->calls.clear();
    EXPECT_EQ(VARIANT_FALSE, Run(L"7", 1, 1, false));
    EXPECT_EQ("SerialPort(1) ConnectSerial(1,1,38400) ReadEnrollment(1,7,1,0,&1,&0,&0)", Device());
}

TEST_F(Backup, AFailingDeviceCallEndsWithoutDisconnecting) {
    clock->Fail(kReadEnrollment, E_FAIL, L"", 1);
    EXPECT_EQ(VARIANT_FALSE, Run(L"3"));
    EXPECT_EQ(
        "SerialPort(1) ConnectSerial(1,1,38400) ReadEnrollment(1,3,1,0,&1,&0,&0) "
        "ReadEnrollment(1,3,1,10,&1,&0,&0)",
        Device());
    EXPECT_EQ("", rs->Trace());
}

TEST_F(Backup, TheDefaultInterfaceRunsTheSameOperation) {
    clocksim::Enrollment e;
    e.password = 31;
    clock->At(1, 1).enrollments[{2, 10}] = e;
    ComPtr<_clsMachine> def = qt::DefaultInterface(driver.get());
    Bstr ip(L""), person(L"2"), msg(L"kept");
    _ADORecordset* arg = rs.get();
    VARIANT_BOOL ok = VARIANT_FALSE;
    BSTR raw = msg.detach();
    ASSERT_EQ(S_OK, def->IMachine_funcBackFingure(VARIANT_FALSE, ip.get(), 1, 1, person.get(), &arg,
                                                  &raw, &ok));
    Bstr back = Bstr::adopt(raw);
    def.reset();
    EXPECT_EQ(VARIANT_TRUE, ok);
    EXPECT_EQ(L"kept", qt::Text(back.get()));
    EXPECT_EQ(
        "SerialPort(1) ConnectSerial(1,1,38400) ReadEnrollment(1,2,1,0,&1,&0,&0) "
        "ReadEnrollment(1,2,1,10,&1,&0,&0) Disconnect()",
        Device());
    EXPECT_EQ(31, V_I4(rs->rows.at(0)[L"npassword"].get()));
}

}  // namespace
