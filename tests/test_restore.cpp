// Enrollment restore as the host sees it: IMachine::funcReWrite against the simulated clock, and
// the round trip of an enrollment through backup and restore.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "operations/template.h"
#include "tests/recordset_fixture.h"

namespace {

using clocksim::kConnectSerial;
using clocksim::kDisconnect;
using clocksim::kSerialPort;
using clocksim::kWriteEnrollment;
using qt::Bstr;
using qt::ComPtr;
using qt::RecordsetStandin;
using qt::Row;
using quorin::Variant;

std::array<int32_t, 460> SampleTemplate(int32_t seed) {
    std::array<int32_t, 460> t{};
    for (int i = 0; i < 460; ++i) t[i] = (i % 3 ? 1 : -1) * (i * 7001 + seed);
    return t;
}

Variant Packed(const std::array<int32_t, 460>& t) {
    quorin::ops::TemplateBuffer buffer;
    for (int i = 0; i < 460; ++i) buffer[i] = t[i];
    auto p = quorin::ops::PackTemplate(buffer);
    return Variant::Bytes(std::vector<BYTE>(p.begin(), p.end()));
}

// A row as backup leaves it, before the host commits it.
Row EnrollmentRow(short person, short backup, Variant templ, Variant password) {
    return Row{{L"cpsn_num", Variant::I2(person)},
               {L"iFingerprintNO", Variant::I2(backup)},
               {L"imachineno", Variant::I2(1)},
               {L"npassword", password},
               {L"bFingerprint", templ}};
}

// What restore writes for elements 0 to 458, and 0 for element 459.
std::array<int32_t, 460> AsRestored(std::array<int32_t, 460> t) {
    t[459] = 0;
    return t;
}

const std::array<int32_t, 460> kZeros{};

class Restore : public qt::RecordsetOperation {
  protected:
    Restore() : RecordsetOperation({{1, 1}}) {}

    void Rows(std::vector<Row> rows) {
        rs->rows = std::move(rows);
        rs->position = rs->rows.size();  // MoveFirst is the operation's to call
    }

    // Calls the operation; on every path it returns S_OK and strMsg comes back empty.
    VARIANT_BOOL Run(const wchar_t* person, short port = 1, short machine = 1,
                     bool withRecordset = true) {
        Bstr ip(L"10.0.0.9"), personText(person);
        BSTR msg = SysAllocString(L"left over from before");
        VARIANT_BOOL ok = 7;
        EXPECT_EQ(S_OK, driver->funcReWrite(VARIANT_TRUE, ip.get(), port, machine, personText.get(),
                                            withRecordset ? rs.get() : nullptr, &msg, &ok));
        Bstr owned = Bstr::adopt(msg);
        EXPECT_NE(nullptr, msg);
        EXPECT_EQ(L"", qt::Text(msg));
        return ok;
    }
};

const char* const kOneRowWalk =
    "MoveFirst EOF Fields Item(bFingerprint) Value(bFingerprint) Fields Item(iFingerprintNO) "
    "Value(iFingerprintNO) Fields Item(npassword) Value(npassword) MoveNext EOF";

TEST_F(Restore, ATemplateRowIsWrittenBackAfterTwoConnections) {
    Rows({EnrollmentRow(7, 0, Packed(SampleTemplate(5)), Variant::Null())});

    EXPECT_EQ(VARIANT_TRUE, Run(L"7"));

    // No SerialPort: the port reaches the device only through ConnectSerial.
    EXPECT_EQ(
        "ConnectSerial(1,1,38400) ConnectSerial(1,1,38400) WriteEnrollment(1,7,1,0,1,&-5,0) "
        "Disconnect()",
        Device());
    EXPECT_TRUE(clock->CallsOf(kSerialPort).empty());
    const auto connects = clock->CallsOf(kConnectSerial);
    ASSERT_EQ(2u, connects.size());
    EXPECT_FALSE(connects[0].yieldedBefore);
    EXPECT_TRUE(connects[1].yieldedBefore);  // the yield comes before the second connection
    const auto write = clock->CallsOf(kWriteEnrollment);
    ASSERT_EQ(1u, write.size());
    ASSERT_EQ(7u, write[0].args.size());
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(i == 5 ? VT_BYREF | VT_I4 : VT_I4, write[0].args[i].vt) << i;
    EXPECT_FALSE(write[0].yieldedBefore);

    ASSERT_EQ(1u, clock->written.size());
    EXPECT_EQ(AsRestored(SampleTemplate(5)), clock->written[0].templ);
    EXPECT_EQ(0, clock->written[0].password);  // Null reads as 0

    EXPECT_EQ(kOneRowWalk, rs->Trace());
    for (const auto& item : rs->CallsOf("Item")) EXPECT_EQ(VT_BSTR, item.args.at(0).vt());
    EXPECT_EQ(1u, rs->position);  // left at its end
}

TEST_F(Restore, APasswordRowWritesAnEmptyTemplate) {
    Rows({EnrollmentRow(8, 10, Variant::Bytes({}), Variant::Text(L" 4321 "))});
    EXPECT_EQ(VARIANT_TRUE, Run(L"8"));
    EXPECT_EQ(
        "ConnectSerial(1,1,38400) ConnectSerial(1,1,38400) WriteEnrollment(1,8,1,10,1,&0,4321) "
        "Disconnect()",
        Device());
    EXPECT_EQ(kZeros, clock->written.at(0).templ);
}

TEST_F(Restore, APasswordRowStillHoldingATemplateWritesBoth) {
    Rows({EnrollmentRow(8, 10, Packed(SampleTemplate(9)), Variant::I4(-77))});
    EXPECT_EQ(VARIANT_TRUE, Run(L"8"));
    ASSERT_EQ(1u, clock->written.size());
    EXPECT_EQ(10, clock->written[0].backup);
    EXPECT_EQ(-77, clock->written[0].password);
    EXPECT_EQ(AsRestored(SampleTemplate(9)), clock->written[0].templ);
}

TEST_F(Restore, PasswordsReadBackWithTheirBlanksAndTheirFullRange) {
    struct Case {
        Variant password;
        int32_t expected;
    } cases[] = {{Variant::Null(), 0},          {Variant::Text(L""), 0},
                 {Variant::Text(L"    "), 0},   {Variant::Text(L" -32768 "), -32768},
                 {Variant::I4(100000), 100000}, {Variant::Text(L"2147483647"), 2147483647}};
    for (const Case& c : cases) {
        clock->written.clear();
        rs = RecordsetStandin::Create();
        Rows({EnrollmentRow(3, 10, Variant(), c.password)});
        EXPECT_EQ(VARIANT_TRUE, Run(L"3"));
        ASSERT_EQ(1u, clock->written.size());
        EXPECT_EQ(c.expected, clock->written[0].password);
    }
}

TEST_F(Restore, EveryRowIsReadAndTheLastOneIsWritten) {
    Rows({EnrollmentRow(1, 0, Packed(SampleTemplate(1)), Variant::Null()),
          EnrollmentRow(2, 0, Variant::Bytes({1, 2, 3}), Variant::Text(L"55")),
          EnrollmentRow(3, 10, Variant::Text(L"  "), Variant::Text(L"66"))});
    EXPECT_EQ(VARIANT_TRUE, Run(L"9"));
    // Only the last row's bytes are unpacked: the short ones before it never are.
    EXPECT_EQ(
        "ConnectSerial(1,1,38400) ConnectSerial(1,1,38400) WriteEnrollment(1,9,1,10,1,&0,66) "
        "Disconnect()",
        Device());
    EXPECT_EQ(kZeros, clock->written.at(0).templ);
    EXPECT_EQ(9u, rs->CallsOf("Value").size());
    EXPECT_EQ(3u, rs->CallsOf("MoveNext").size());
    EXPECT_EQ(3u, rs->position);
}

TEST_F(Restore, AConversionErrorInAnEarlierRowEndsTheOperation) {
    for (Row bad : {EnrollmentRow(1, 0, Variant(), Variant::Text(L"abc")),
                    EnrollmentRow(1, 0, Variant(), Variant::Text(L"4294967296")),
                    Row{{L"iFingerprintNO", Variant::Text(L"40000")}, {L"bFingerprint", Variant()}},
                    Row{{L"iFingerprintNO", Variant::Null()}, {L"bFingerprint", Variant()}},
                    EnrollmentRow(1, 0, Variant::Null(), Variant::Null())}) {
        clock->calls.clear();
        rs = RecordsetStandin::Create();
        Rows({bad, EnrollmentRow(2, 10, Variant(), Variant::Text(L"5"))});
        EXPECT_EQ(VARIANT_FALSE, Run(L"2"));
        EXPECT_EQ("ConnectSerial(1,1,38400)",
                  Device());  // connected once, not written, not disconnected
        EXPECT_EQ(0u, rs->CallsOf("MoveNext").size());
    }
}

TEST_F(Restore, ATemplateThatDoesNotUnpackIsNotWritten) {
    for (Variant templ : {Variant::Null(), Variant::Bytes(std::vector<BYTE>(2294, 1)),
                          Variant::Bytes({1, 2, 3}), Variant::Text(L"x")}) {
        clock->calls.clear();
        rs = RecordsetStandin::Create();
        Rows({EnrollmentRow(4, 0, templ, Variant::Null())});
        EXPECT_EQ(VARIANT_FALSE, Run(L"4"));
        EXPECT_EQ("ConnectSerial(1,1,38400)", Device());
    }
    // A magnitude byte of 0x80 or more, with a sign flag of 1.
    std::vector<BYTE> wide(2296, 0);
    wide[0] = 1;
    wide[1] = 0x80;
    clock->calls.clear();
    rs = RecordsetStandin::Create();
    Rows({EnrollmentRow(4, 0, Variant::Bytes(wide), Variant::Null())});
    EXPECT_EQ(VARIANT_FALSE, Run(L"4"));
    EXPECT_EQ("ConnectSerial(1,1,38400)", Device());
}

TEST_F(Restore, NoRowsWriteAnEmptyEnrollment) {
    EXPECT_EQ(VARIANT_TRUE, Run(L"6"));
    EXPECT_EQ(
        "ConnectSerial(1,1,38400) ConnectSerial(1,1,38400) WriteEnrollment(1,6,1,0,1,&0,0) "
        "Disconnect()",
        Device());
    EXPECT_EQ(kZeros, clock->written.at(0).templ);
    EXPECT_EQ("MoveFirst EOF", rs->Trace());
}

TEST_F(Restore, ThePersonNumberComesFromTheCallNotTheRow) {
    Rows({EnrollmentRow(1234, 10, Variant(), Variant::Text(L"8"))});
    EXPECT_EQ(VARIANT_TRUE, Run(L" 0042 ", 1, 1));
    EXPECT_EQ(42, clock->written.at(0).person);

    // A person number that does not convert ends before any device call.
    clock->calls.clear();
    rs = RecordsetStandin::Create();
    EXPECT_EQ(VARIANT_FALSE, Run(L"42x"));
    EXPECT_EQ("", Device());
    EXPECT_EQ("", rs->Trace());
}

TEST_F(Restore, AFalseWriteStillDisconnects) {
    clock->writeResult = false;
    EXPECT_EQ(VARIANT_FALSE, Run(L"6"));
    EXPECT_EQ(
        "ConnectSerial(1,1,38400) ConnectSerial(1,1,38400) WriteEnrollment(1,6,1,0,1,&0,0) "
        "Disconnect()",
        Device());
}

TEST_F(Restore, FailuresEndWithoutDisconnecting) {
    Rows({EnrollmentRow(1, 10, Variant(), Variant::Text(L"5"))});
    for (const char* method : {"MoveFirst", "EOF", "Fields", "Item", "Value", "MoveNext"}) {
        clock->calls.clear();
        rs->Fail(method, E_FAIL);
        EXPECT_EQ(VARIANT_FALSE, Run(L"1")) << method;
        EXPECT_EQ("ConnectSerial(1,1,38400)", Device()) << method;
        rs = RecordsetStandin::Create();
        Rows({EnrollmentRow(1, 10, Variant(), Variant::Text(L"5"))});
    }
    // A row without the field.
    clock->calls.clear();
    rs = RecordsetStandin::Create({L"bFingerprint", L"iFingerprintNO"});
    Rows({Row{{L"bFingerprint", Variant()}, {L"iFingerprintNO", Variant::I2(0)}}});
    EXPECT_EQ(VARIANT_FALSE, Run(L"1"));
    EXPECT_EQ("ConnectSerial(1,1,38400)", Device());

    // No recordset: connected once, then the handler.
    clock->calls.clear();
    EXPECT_EQ(VARIANT_FALSE, Run(L"1", 1, 1, false));
    EXPECT_EQ("ConnectSerial(1,1,38400)", Device());

    // The device refusing the write call.
    clock->calls.clear();
    clock->Fail(kWriteEnrollment, E_FAIL);
    rs = RecordsetStandin::Create();
    EXPECT_EQ(VARIANT_FALSE, Run(L"1"));
    EXPECT_EQ("ConnectSerial(1,1,38400) ConnectSerial(1,1,38400) WriteEnrollment(1,1,1,0,1,&0,0)",
              Device());
    EXPECT_TRUE(clock->CallsOf(kDisconnect).empty());
}

// Backup then restore through the simulated clock gives the device back what it held.
class RoundTrip : public Restore {};

TEST_F(RoundTrip, TemplateComesBackElementForElement) {
    clocksim::Enrollment e;
    e.templ = SampleTemplate(-40000);
    e.templ[0] = INT32_MAX;
    e.templ[458] = INT32_MIN + 1;
    clock->At(1, 1).enrollments[{12, 0}] = e;

    Bstr ip(L""), person(L"12"), msg(L"");
    _ADORecordset* arg = rs.get();
    VARIANT_BOOL ok = VARIANT_FALSE;
    BSTR raw = msg.detach();
    ASSERT_EQ(S_OK,
              driver->funcBackFingure(VARIANT_TRUE, ip.get(), 1, 1, person.get(), &arg, &raw, &ok));
    msg = Bstr::adopt(raw);
    ASSERT_EQ(VARIANT_TRUE, ok);

    clock->At(1, 1).enrollments.clear();
    EXPECT_EQ(VARIANT_TRUE, Run(L"12"));
    ASSERT_EQ(1u, clock->written.size());
    EXPECT_EQ(0, clock->written[0].backup);
    EXPECT_EQ(AsRestored(e.templ), clock->written[0].templ);
    EXPECT_EQ(0, clock->written[0].password);
}

TEST_F(RoundTrip, PasswordsBeyondSixteenBitsComeBack) {
    for (int32_t password : {100000, -2147483647, 32767}) {
        clock->At(1, 1).enrollments.clear();
        clock->written.clear();
        clocksim::Enrollment e;
        e.password = password;
        clock->At(1, 1).enrollments[{13, 10}] = e;
        // The host's table gives a new row an empty template, not Null, which would not read.
        rs = RecordsetStandin::Create();
        rs->defaults[L"bFingerprint"] = Variant::Bytes({});

        Bstr ip(L""), person(L"13");
        BSTR raw = SysAllocString(L"");
        _ADORecordset* arg = rs.get();
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(S_OK, driver->funcBackFingure(VARIANT_TRUE, ip.get(), 1, 1, person.get(), &arg,
                                                &raw, &ok));
        SysFreeString(raw);
        ASSERT_EQ(VARIANT_TRUE, ok);

        EXPECT_EQ(VARIANT_TRUE, Run(L"13"));
        ASSERT_EQ(1u, clock->written.size());
        EXPECT_EQ(10, clock->written[0].backup);
        EXPECT_EQ(password, clock->written[0].password);
        EXPECT_EQ(kZeros, clock->written[0].templ);
    }
}

}  // namespace
