// The trace for support, read back as a support engineer reads it: the lines a download, a backup
// and a restore leave (names, variant types, by-reference values before and after, masking), the
// configuration from the environment and the registry, silence when off, a file that cannot be
// opened, and several threads writing to one file.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "standins/recordset/recordset.h"
#include "com/errors.h"
#include "tests/support.h"

namespace {

using qt::Bstr;
using qt::ComPtr;
using qt::RecordsetStandin;
using qt::Variant;

// One line of the trace, split into its fields.
struct TraceLine {
    std::string time;
    unsigned long pid = 0, tid = 0, call = 0;
    std::string kind, name;
    std::vector<std::string> args;
    std::string outcome;
    double ms = -1;
};

// The arguments between the parentheses, split at the commas that stand outside quoted text.
std::vector<std::string> SplitArgs(const std::string& inner) {
    std::vector<std::string> args;
    if (inner.empty()) return args;
    std::string current;
    bool quoted = false;
    for (size_t i = 0; i < inner.size(); ++i) {
        const char c = inner[i];
        if (quoted && c == '\\' && i + 1 < inner.size()) {
            current += c;
            current += inner[++i];
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (!quoted && inner.compare(i, 2, ", ") == 0) {
            args.push_back(current);
            current.clear();
            ++i;
            continue;
        }
        current += c;
    }
    args.push_back(current);
    return args;
}

TraceLine ParseLine(const std::string& line) {
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
    TraceLine t;
    EXPECT_EQ(8u, f.size()) << line;
    if (f.size() != 8) return t;
    int n = 0;
    unsigned y, mo, d, h, mi, s, ms;
    EXPECT_EQ(7, std::sscanf(f[0].c_str(), "%4u-%2u-%2u %2u:%2u:%2u.%3u%n", &y, &mo, &d, &h, &mi,
                             &s, &ms, &n));
    EXPECT_EQ(23, n) << f[0];
    t.time = f[0];
    EXPECT_EQ(1, std::sscanf(f[1].c_str(), "pid=%lu", &t.pid)) << f[1];
    EXPECT_EQ(1, std::sscanf(f[2].c_str(), "tid=%lu", &t.tid)) << f[2];
    EXPECT_EQ(1, std::sscanf(f[3].c_str(), "call=%lu", &t.call)) << f[3];
    t.kind = f[4];
    const size_t open = f[5].find('(');
    EXPECT_TRUE(open != std::string::npos && f[5].back() == ')') << f[5];
    if (open == std::string::npos) return t;
    t.name = f[5].substr(0, open);
    t.args = SplitArgs(f[5].substr(open + 1, f[5].size() - open - 2));
    t.outcome = f[6];
    EXPECT_EQ(1, std::sscanf(f[7].c_str(), "%lf ms", &t.ms)) << f[7];
    EXPECT_GE(t.ms, 0.0);
    return t;
}

std::string ReadFile(const std::wstring& path) {
    std::ifstream in(qt::Utf8(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every line of a trace file; each must end in CR LF and parse.
std::vector<TraceLine> ReadTrace(const std::wstring& path) {
    const std::string text = ReadFile(path);
    std::vector<TraceLine> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find("\r\n", start);
        EXPECT_NE(std::string::npos, end) << "an unfinished last line";
        if (end == std::string::npos) break;
        lines.push_back(ParseLine(text.substr(start, end - start)));
        start = end + 2;
    }
    return lines;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void SetEnv(const wchar_t* value) {
    SetEnvironmentVariableW(L"QUORIN_TRACE", value);
}

// HKLM\Software\Quorin\TraceFile in this process's view, which is the driver's; removed again,
// with the key when it was made for it.
class RegistryValue {
  public:
    RegistryValue() {
        DWORD disposition = 0;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Quorin", 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, key_.put(), &disposition));
        created_ = disposition == REG_CREATED_NEW_KEY;
    }
    ~RegistryValue() {
        RegDeleteValueW(key_.get(), L"TraceFile");
        if (created_) RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Quorin");
    }
    void Set(const std::wstring& value, DWORD type = REG_SZ) {
        EXPECT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(key_.get(), L"TraceFile", 0, type,
                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
    }

  private:
    quorin::RegKey key_;
    bool created_ = false;
};

using qt::Outcome;

class Trace : public testing::Test {
  protected:
    void SetUp() override {
        clock = &qt::FreshClock();
        driver = qt::CreateDriver();
        path = qt::TempPath(L"trace.log");
        SetEnv(path.c_str());
    }
    void TearDown() override { SetEnv(nullptr); }

    Outcome Download(short port = 3, short machine = 7) {
        clock->calls.clear();
        ComPtr<_Collection> col = qt::NewCollection();
        _Collection* cdata = col.get();
        Bstr ip(L"10.0.0.9"), msg(L"earlier text");
        Outcome o;
        o.hr = driver->DownloadCarddata(VARIANT_TRUE, ip.get(), port, machine, &cdata, msg.inout(),
                                        &o.result);
        o.msg = qt::Text(msg.get());
        o.records = qt::CountOf(col.get());
        o.device = qt::CallTrace(clock->calls);
        return o;
    }

    void TwoSwipes() {
        clocksim::LogRecord a, b;
        a.person = 1001, a.year = 2008, a.month = 3, a.day = 7, a.hour = 9, a.minute = 5;
        b = a;
        b.person = 1002, b.minute = 6;
        clock->At(3, 7).log = {a, b};
    }

    clocksim::Scenario* clock = nullptr;
    ComPtr<IMachine> driver;
    std::wstring path;
};

// Expected device lines: the name, the arguments in call order and the outcome.
struct Expected {
    const char* name;
    std::vector<std::string> args;
    const char* outcome;
};

void ExpectDeviceLines(const std::vector<TraceLine>& lines, const std::vector<Expected>& want) {
    ASSERT_EQ(want.size() + 1, lines.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ("device", lines[i].kind);
        EXPECT_EQ(want[i].name, lines[i].name);
        EXPECT_EQ(want[i].args, lines[i].args);
        EXPECT_EQ(want[i].outcome, lines[i].outcome);
    }
    // One operation call on this thread of this process: the device calls carry its number.
    for (const TraceLine& line : lines) {
        EXPECT_EQ(GetCurrentProcessId(), line.pid);
        EXPECT_EQ(GetCurrentThreadId(), line.tid);
        EXPECT_EQ(lines.back().call, line.call);
        // The operation's line gives when it started, before its device calls.
        EXPECT_LE(lines.back().time, line.time);
    }
    EXPECT_EQ("operation", lines.back().kind);
}

// NextLogRecord's arguments: the person and the five parts of the time, each "before -> after".
std::vector<std::string> NextLogRecordArgs(const std::string& person,
                                           const std::vector<std::string>& time) {
    // Arguments 2 and 4 name one variable, holding the machine number; 5 and 6 are not written.
    std::vector<std::string> args = {"I4 7",          "ref I4 7 -> 7", "ref I4 " + person,
                                     "ref I4 7 -> 7", "ref I4 0 -> 0", "ref I4 0 -> 0"};
    for (const std::string& part : time) args.push_back("ref I4 " + part);
    return args;
}

TEST_F(Trace, DownloadWritesADeviceLinePerCallAndTheOperationLast) {
    TwoSwipes();
    const Outcome o = Download();
    ASSERT_EQ(VARIANT_TRUE, o.result);

    const auto lines = ReadTrace(path);
    // The record outputs are not reset between records: each call starts from the last one's.
    ExpectDeviceLines(
        lines,
        {{"SerialPort", {"I4 3"}, "result=EMPTY"},
         {"ConnectSerial", {"I4 3", "I4 7", "I4 38400"}, "result=BOOL True"},
         {"StartLogRead", {"I4 7"}, "result=BOOL True"},
         {"NextLogRecord",
          NextLogRecordArgs("0 -> 1001", {"0 -> 2008", "0 -> 3", "0 -> 7", "0 -> 9", "0 -> 5"}),
          "result=BOOL True"},
         {"NextLogRecord",
          NextLogRecordArgs("1001 -> 1002",
                            {"2008 -> 2008", "3 -> 3", "7 -> 7", "9 -> 9", "5 -> 6"}),
          "result=BOOL True"},
         {"NextLogRecord",
          NextLogRecordArgs("1002 -> 1002",
                            {"2008 -> 2008", "3 -> 3", "7 -> 7", "9 -> 9", "6 -> 6"}),
          "result=BOOL False"},
         {"AfterLogRead", {"I4 7"}, "result=EMPTY"},
         {"Disconnect", {}, "result=EMPTY"}});

    const TraceLine& op = lines.back();
    EXPECT_EQ("DownloadCarddata", op.name);
    ASSERT_EQ(6u, op.args.size());
    EXPECT_EQ("blnPort=BOOL True", op.args[0]);
    EXPECT_EQ("strIp=BSTR \"10.0.0.9\"", op.args[1]);
    EXPECT_EQ("iPort=I2 3", op.args[2]);
    EXPECT_EQ("imachineno=I2 7", op.args[3]);
    // The host's collection, by address, the same after the call.
    const std::string& cdata = op.args[4];
    const size_t arrow = cdata.find(" -> ");
    ASSERT_NE(std::string::npos, arrow) << cdata;
    EXPECT_EQ(0u, cdata.find("cdata=ref DISPATCH 0x")) << cdata;
    EXPECT_EQ(cdata.substr(arrow + 4), cdata.substr(19, arrow - 19));
    EXPECT_EQ("strMsg=ref BSTR \"earlier text\" -> \"\"", op.args[5]);
    EXPECT_EQ("hr=0x00000000 result=BOOL True", op.outcome);
}

// Whatever a control answers shows on its line by its type and value, for support to read an odd
// answer; here Disconnect's, which the driver does not use.
TEST_F(Trace, AControlsAnswerShowsWhateverItsType) {
    const auto raw = [](VARTYPE vt, auto set) {
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = vt;
        set(v);
        return quorin::Variant(v);  // a copy; v owns nothing that needs freeing
    };
    SYSTEMTIME when{2008, 3, 5, 14, 9, 30, 0, 0};
    DATE date = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&when, &date));
    static LONG seven = 7;
    static VARIANT three;
    V_VT(&three) = VT_I2;
    V_I2(&three) = 3;
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 1}};
    SAFEARRAY* grid = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(nullptr, grid);
    const BYTE bytes[3] = {1, 2, 3};
    struct Case {
        quorin::Variant value;
        std::string shown;
    };
    const Case cases[] = {
        {raw(VT_I1, [](VARIANT& v) { V_I1(&v) = -5; }), "I1 -5"},
        {raw(VT_UI1, [](VARIANT& v) { V_UI1(&v) = 200; }), "UI1 200"},
        {raw(VT_UI2, [](VARIANT& v) { V_UI2(&v) = 40000; }), "UI2 40000"},
        {raw(VT_UI4, [](VARIANT& v) { V_UI4(&v) = 4000000000u; }), "UI4 4000000000"},
        {raw(VT_INT, [](VARIANT& v) { V_INT(&v) = -7; }), "INT -7"},
        {raw(VT_UINT, [](VARIANT& v) { V_UINT(&v) = 7; }), "UINT 7"},
        {raw(VT_I8, [](VARIANT& v) { V_I8(&v) = -9000000000LL; }), "I8 -9000000000"},
        {raw(VT_UI8, [](VARIANT& v) { V_UI8(&v) = ~0ULL; }), "UI8 18446744073709551615"},
        {raw(VT_R4, [](VARIANT& v) { V_R4(&v) = 2.5f; }), "R4 2.5"},
        {quorin::Variant::R8(0.1), "R8 0.10000000000000001"},
        {raw(VT_BOOL, [](VARIANT& v) { V_BOOL(&v) = 5; }), "BOOL 5"},
        {quorin::Variant::Missing(), "ERROR 0x80020004"},
        {quorin::Variant::Date(date), "DATE 2008-03-14 09:30:00"},
        {quorin::Variant::Date(1e10), "DATE <invalid>"},
        {raw(VT_CY, [](VARIANT& v) { V_CY(&v).int64 = 25000; }), "CY"},
        {raw(VT_DECIMAL, [](VARIANT& v) { VarDecFromI4(3, &V_DECIMAL(&v)); }), "DECIMAL"},
        {quorin::Variant::Null(), "NULL"},
        {quorin::Variant::Bytes(bytes, 3), "ARRAY UI1 <3 bytes>"},
        {raw(VT_ARRAY | VT_I4, [&](VARIANT& v) { V_ARRAY(&v) = grid; }), "ARRAY I4 <6 elements>"},
        {raw(VT_ARRAY | VT_I4, [](VARIANT& v) { V_ARRAY(&v) = nullptr; }), "ARRAY I4 <none>"},
        {quorin::Variant::Unknown(nullptr), "UNKNOWN Nothing"},
        {quorin::Variant::RefI4(&seven), "ref I4 7"},
        {raw(VT_BYREF | VT_I4, [](VARIANT& v) { V_I4REF(&v) = nullptr; }), "ref I4 <none>"},
        {raw(VT_BYREF | VT_VARIANT, [](VARIANT& v) { V_VARIANTREF(&v) = &three; }),
         "ref VARIANT I2 3"},
    };
    SafeArrayDestroy(grid);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        clock->Reset();
        clock->At(3, 7);
        clock->SetResult(clocksim::kDisconnect, *c.value.get());
        DeleteFileW(path.c_str());
        EXPECT_EQ(VARIANT_TRUE, Download().result);
        const auto lines = ReadTrace(path);
        ASSERT_LE(2u, lines.size());
        EXPECT_EQ("Disconnect", lines[lines.size() - 2].name);
        EXPECT_EQ("result=" + c.shown, lines[lines.size() - 2].outcome);
    }
}

TEST_F(Trace, ErrorsShowOnTheDeviceCallAndTheOperation) {
    // The Chinese failure message travels as UTF-8.
    const std::string failure = qt::Utf8(qt::DownloadFailureMessage(L"7"));
    // The system's own text of E_FAIL, where the control gives none.
    const std::string unspecified = qt::Utf8(quorin::SystemMessage(E_FAIL));
    struct Case {
        const char* what;
        struct Fault {
            DISPID dispid;
            const wchar_t* text;
            WORD number = 0;  // an exception by error number, with no scode
        };
        std::vector<Fault> faults;  // every call of it fails
        // The last device lines, name and outcome: the failing call and the handler's Disconnect.
        std::vector<std::pair<std::string, std::string>> lastCalls;
        std::string opOutcome;
        std::string strMsgAfter;
    } cases[] = {
        {"the control raises an exception",
         {{clocksim::kStartLogRead, L"Device \"3\" busy"}},
         {{"StartLogRead", "error=0x80004005 \"Device \\\"3\\\" busy\""},
          {"Disconnect", "result=EMPTY"}},
         "hr=0x00000000 result=BOOL False error=0x80004005 \"Device \\\"3\\\" busy\"",
         failure},
        // Where the control gives no description, the error's own text stands; an error number
        // with no scode is a run-time error of that number.
        {"an exception with no description",
         {{clocksim::kStartLogRead, L""}},
         {{"StartLogRead", "error=0x80004005 \"" + unspecified + "\""},
          {"Disconnect", "result=EMPTY"}},
         "hr=0x00000000 result=BOOL False error=0x80004005 \"" + unspecified + "\"",
         failure},
        {"an exception by error number",
         {{clocksim::kStartLogRead, L"Paper out", 1001}},
         {{"StartLogRead", "error=0x800A03E9 \"Paper out\""}, {"Disconnect", "result=EMPTY"}},
         "hr=0x00000000 result=BOOL False error=0x800A03E9 \"Paper out\"",
         failure},
        {"the handler's Disconnect fails too",
         {{clocksim::kStartLogRead, L"Device busy"}, {clocksim::kDisconnect, L"Line down"}},
         {{"StartLogRead", "error=0x80004005 \"Device busy\""},
          {"Disconnect", "error=0x80004005 \"Line down\""}},
         "hr=0x80004005 result=BOOL False error=0x80004005 \"Device busy\" "
         "escaped=0x80004005 \"Line down\"",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        clock->Reset();
        clock->At(3, 7);
        for (const auto& f : c.faults) {
            if (f.number)
                clock->FailByNumber(f.dispid, f.number, f.text);
            else
                clock->Fail(f.dispid, DISP_E_EXCEPTION, f.text);
        }
        DeleteFileW(path.c_str());
        Download();

        const auto lines = ReadTrace(path);
        ASSERT_GE(lines.size(), c.lastCalls.size() + 1);
        const TraceLine& op = lines.back();
        EXPECT_EQ("DownloadCarddata", op.name);
        EXPECT_EQ(c.opOutcome, op.outcome);
        ASSERT_EQ(6u, op.args.size());
        EXPECT_EQ("strMsg=ref BSTR \"earlier text\" -> \"" + c.strMsgAfter + "\"", op.args[5]);
        std::vector<std::pair<std::string, std::string>> last;
        for (size_t i = lines.size() - 1 - c.lastCalls.size(); i + 1 < lines.size(); ++i)
            last.emplace_back(lines[i].name, lines[i].outcome);
        EXPECT_EQ(c.lastCalls, last);
    }
}

TEST_F(Trace, EnrollmentsShowTheirLengthAndNeverTheTemplateNorThePassword) {
    // Values that would stand out in the file: template elements and passwords.
    clocksim::Enrollment templ, password;
    for (int i = 0; i < 460; ++i) templ.templ[i] = 7654321 + i;
    password.password = 24680;
    clock->At(1, 1).enrollments[{7, 0}] = templ;
    clock->At(1, 1).enrollments[{8, 10}] = password;
    const std::string all = "ref I4 <template of 460 values>";

    struct Case {
        const wchar_t* person;
        bool restore;
        const char* call;
        std::vector<std::string> args;
        const char* opName;
    } cases[] = {
        {L"7",
         false,
         "ReadEnrollment",
         {"I4 1", "I4 7", "I4 1", "I4 0", "ref I2 1 -> 1", all, "ref I4 <masked>"},
         "funcBackFingure"},
        {L"8",
         false,
         "ReadEnrollment",
         {"I4 1", "I4 8", "I4 1", "I4 10", "ref I2 1 -> 1", all, "ref I4 <masked>"},
         "funcBackFingure"},
        {L"8",
         true,
         "WriteEnrollment",
         {"I4 1", "I4 8", "I4 1", "I4 10", "I4 1", all, "I4 <masked>"},
         "funcReWrite"},
    };
    // The backups fill one recordset; the restore writes its row back.
    ComPtr<RecordsetStandin> rs = RecordsetStandin::Create();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.opName + std::string(" ") + qt::Utf8(c.person));
        DeleteFileW(path.c_str());
        Bstr ip(L""), person(c.person), msg(L"host's text");
        VARIANT_BOOL ok = 0;
        _ADORecordset* row = rs.get();
        if (c.restore) {
            rs->rows.resize(1);
            rs->rows[0][L"bFingerprint"] = Variant();
            ASSERT_EQ(S_OK, driver->funcReWrite(VARIANT_FALSE, ip.get(), 1, 1, person.get(), row,
                                                msg.inout(), &ok));
        } else {
            rs->rows.clear();
            ASSERT_EQ(S_OK, driver->funcBackFingure(VARIANT_FALSE, ip.get(), 1, 1, person.get(),
                                                    &row, msg.inout(), &ok));
        }
        EXPECT_EQ(VARIANT_TRUE, ok);

        // As a value they would follow a blank; addresses and times never have one before them.
        const std::string text = ReadFile(path);
        EXPECT_EQ(std::string::npos, text.find(" 765432")) << text;
        EXPECT_EQ(std::string::npos, text.find(" 24680")) << text;
        const auto lines = ReadTrace(path);
        std::vector<std::string> args;
        for (const TraceLine& line : lines)
            if (line.name == c.call) args = line.args;
        EXPECT_EQ(c.args, args);
        ASSERT_FALSE(lines.empty());
        const TraceLine& op = lines.back();
        EXPECT_EQ(c.opName, op.name);
        ASSERT_EQ(7u, op.args.size());
        EXPECT_EQ("sPersonNum=BSTR \"" + qt::Utf8(c.person) + "\"", op.args[4]);
        EXPECT_EQ(0u, op.args[5].find(c.restore ? "rsData=DISPATCH 0x" : "rsData=ref DISPATCH 0x"))
            << op.args[5];
        EXPECT_EQ(c.restore ? "strMsg=ref BSTR \"host's text\" -> \"\""
                            : "strMsg=ref BSTR \"host's text\" -> \"host's text\"",
                  op.args[6]);
        EXPECT_EQ("hr=0x00000000 result=BOOL True", op.outcome);
    }
}

TEST_F(Trace, EveryOperationIsTracedOnceVtableOrLateBound) {
    clock->At(1, 1);
    ComPtr<_Collection> col = qt::NewCollection();
    // Discovery replaces the caller's collection and releases it.
    _Collection* replaced = qt::NewCollection().detach();
    Bstr empty(L""), msg(L"m");
    VARIANT_BOOL ok = 0;
    ASSERT_EQ(S_OK, driver->funcRegister(&replaced, VARIANT_TRUE, 1, 2, empty.get(), empty.get(), 1,
                                         1, msg.inout(), &ok));
    ComPtr<_Collection> found = ComPtr<_Collection>::adopt(replaced);
    ASSERT_EQ(S_OK,
              driver->funcWriteCard(VARIANT_TRUE, empty.get(), 1, 1, nullptr, msg.inout(), &ok));
    ASSERT_EQ(S_OK, driver->delCardData(VARIANT_TRUE, empty.get(), 1, 1, &ok));
    // Late-bound, under the default interface's name: one line all the same.
    const ComPtr<_clsMachine> def = qt::DefaultInterface(driver.get());
    _Collection* cdata = col.get();
    BSTR text = msg.detach();
    EXPECT_EQ(S_OK, qt::CallByName(
                        def.get(), L"IMachine_DownloadCarddata",
                        {qt::view::Bool(VARIANT_TRUE), qt::view::Text(empty.get()), qt::view::I2(1),
                         qt::view::I2(1), qt::view::Ref(VT_BYREF | VT_DISPATCH, &cdata),
                         qt::view::Ref(VT_BYREF | VT_BSTR, &text)},
                        &ok));
    msg = Bstr::adopt(text);

    std::vector<TraceLine> ops;
    std::set<unsigned long> calls;
    for (const TraceLine& line : ReadTrace(path)) {
        if (line.kind == "operation") ops.push_back(line);
        calls.insert(line.call);
    }
    ASSERT_EQ(4u, ops.size());
    EXPECT_EQ(4u, calls.size()) << "each call its own number";
    const char* names[] = {"funcRegister", "funcWriteCard", "delCardData", "DownloadCarddata"};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(names[i], ops[i].name);
    // Discovery hands back a collection of its own: the address changes.
    ASSERT_EQ(9u, ops[0].args.size());
    char before[32], after[32];
    ASSERT_EQ(2,
              std::sscanf(ops[0].args[0].c_str(), "col=ref DISPATCH %31s -> %31s", before, after));
    EXPECT_NE(std::string(before), std::string(after));
    EXPECT_EQ("c=DISPATCH Nothing", ops[1].args[4]);
    EXPECT_EQ("hr=0x00000000 result=BOOL False", ops[1].outcome);
    EXPECT_EQ(4u, ops[2].args.size());
    EXPECT_EQ("hr=0x00000000 result=BOOL True", ops[3].outcome);
}

TEST_F(Trace, TextStaysOnItsLineAndLongTextIsCut) {
    const std::wstring longText(1500, L'x');
    struct Case {
        const wchar_t* text;  // strIp as the host passes it; null for a null BSTR
        std::string shown;
        UINT length = 0;  // when set, the text's length: it holds a NUL
    } cases[] = {
        {L"a\"b\\c", "\"a\\\"b\\\\c\""},
        {L"a\0b", "\"a\\x00b\"", 3},
        {L"tab\there\r\nnext", "\"tab\\there\\r\\nnext\""},
        {L"\x01\x7F", "\"\\x01\\x7F\""},
        {L"\u7F16\u53F7", "\"\xE7\xBC\x96\xE5\x8F\xB7\""},
        {nullptr, "\"\""},
        {longText.c_str(), "\"" + std::string(1024, 'x') + "\"...(1500 characters)"},
    };
    for (const Case& c : cases) {
        Bstr ip = c.length ? Bstr::adopt(SysAllocStringLen(c.text, c.length)) : Bstr(c.text);
        VARIANT_BOOL ok = VARIANT_TRUE;
        ASSERT_EQ(S_OK, driver->delCardData(VARIANT_TRUE, ip.get(), 1, 1, &ok));
    }
    const auto lines = ReadTrace(path);
    ASSERT_EQ(std::size(cases), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_EQ(4u, lines[i].args.size()) << i;
        EXPECT_EQ("strIp=BSTR " + cases[i].shown, lines[i].args[1]) << i;
    }
}

TEST_F(Trace, OffWritesNothing) {
    SetEnv(nullptr);
    TwoSwipes();
    EXPECT_EQ(VARIANT_TRUE, Download().result);
    EXPECT_FALSE(Exists(path));
}

TEST_F(Trace, AFileThatCannotBeOpenedChangesNothing) {
    TwoSwipes();
    SetEnv(nullptr);
    const Outcome plain = Download();
    clock->Fail(clocksim::kNextLogRecord, E_FAIL, L"", 1);
    const Outcome plainFailing = Download();

    // Another program holding the file without sharing it.
    const std::wstring locked = qt::TempPath(L"locked.log");
    HANDLE holder = CreateFileW(locked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    const std::wstring unopenable[] = {
        qt::TempPath(L"no such folder\\trace.log"),
        qt::TempFolder(),  // a folder
        locked,
    };
    for (const std::wstring& target : unopenable) {
        SCOPED_TRACE(qt::Utf8(target));
        SetEnv(target.c_str());
        clock->failures.clear();
        EXPECT_EQ(plain, Download());
        clock->Fail(clocksim::kNextLogRecord, E_FAIL, L"", 1);
        EXPECT_EQ(plainFailing, Download());
    }
    CloseHandle(holder);
    EXPECT_EQ(0u, ReadFile(locked).size());
    EXPECT_FALSE(Exists(unopenable[0]));
    EXPECT_EQ(VARIANT_FALSE, plainFailing.result);
    EXPECT_EQ(2, plain.records);
}

TEST_F(Trace, TheEnvironmentComesBeforeTheRegistryAndBothAreReadAtEachCall) {
    TwoSwipes();
    RegistryValue reg;
    const std::wstring fromRegistry = qt::TempPath(L"registry.log");
    const std::wstring expanded = qt::TempPath(L"expanded.log");
    SetEnvironmentVariableW(L"QUORIN_TRACE_TEST_DIR",
                            expanded.substr(0, expanded.rfind(L'\\')).c_str());
    // The same files by names longer than MAX_PATH: each folder named again as ".".
    const auto lengthened = [](const std::wstring& file) {
        std::wstring longer = file;
        for (int i = 0; i < 150; ++i) longer.insert(longer.rfind(L'\\'), L"\\.");
        return longer;
    };
    const std::wstring longPath = lengthened(path), longRegistry = lengthened(fromRegistry);
    struct Case {
        const char* what;
        const wchar_t* env;  // the environment variable, or none
        std::wstring registry;
        DWORD type;
        const std::wstring* traced;  // the file that receives the lines, or none
    } cases[] = {
        {"nothing set", nullptr, L"", REG_SZ, nullptr},
        {"the registry alone", nullptr, fromRegistry, REG_SZ, &fromRegistry},
        {"both", path.c_str(), fromRegistry, REG_SZ, &path},
        {"the environment alone", path.c_str(), L"", REG_SZ, &path},
        {"the registry with a variable", nullptr, L"%QUORIN_TRACE_TEST_DIR%\\expanded.log",
         REG_EXPAND_SZ, &expanded},
        {"a long name in the environment", longPath.c_str(), L"", REG_SZ, &path},
        {"a long name in the registry", nullptr, longRegistry, REG_SZ, &fromRegistry},
    };
    const std::wstring* const files[] = {&path, &fromRegistry, &expanded};
    // One driver object throughout: the configuration is read at every call.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::wstring* file : files) DeleteFileW(file->c_str());
        SetEnv(c.env);
        reg.Set(c.registry, c.type);
        EXPECT_EQ(VARIANT_TRUE, Download().result);
        for (const std::wstring* file : files) {
            if (file != c.traced) {
                EXPECT_FALSE(Exists(*file)) << qt::Utf8(*file);
                continue;
            }
            const auto lines = ReadTrace(*file);
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ("DownloadCarddata", lines.back().name);
        }
    }
    SetEnvironmentVariableW(L"QUORIN_TRACE_TEST_DIR", nullptr);
}

TEST_F(Trace, ThreadsWriteWholeLinesToOneFile) {
    constexpr int kThreads = 4, kDownloads = 3, kRecords = 20;
    clock->At(1, 1).log.resize(kRecords);
    for (int i = 0; i < kRecords; ++i) {
        auto& r = clock->At(1, 1).log[i];
        r.person = 100 + i, r.year = 2026, r.month = 1, r.day = 5, r.hour = 8, r.minute = i;
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            CoInitialize(nullptr);
            {
                ComPtr<IMachine> machine = qt::CreateDriver();
                for (int d = 0; d < kDownloads; ++d) {
                    ComPtr<_Collection> col = qt::NewCollection();
                    _Collection* cdata = col.get();
                    BSTR msg = nullptr;
                    VARIANT_BOOL ok = 0;
                    EXPECT_EQ(S_OK, machine->DownloadCarddata(VARIANT_TRUE, nullptr, 1, 1, &cdata,
                                                              &msg, &ok));
                    SysFreeString(msg);
                    EXPECT_EQ(VARIANT_TRUE, ok);
                }
            }
            CoUninitialize();
        });
    }
    for (auto& t : threads) t.join();

    // Each download: 5 device calls around its NextLogRecord calls, one more of them than
    // records, then the operation's line.
    const size_t perCall = 5 + kRecords + 1 + 1;
    std::map<unsigned long, std::vector<TraceLine>> byCall;
    for (TraceLine& line : ReadTrace(path)) byCall[line.call].push_back(std::move(line));
    EXPECT_EQ(size_t(kThreads * kDownloads), byCall.size());
    std::set<unsigned long> tids;
    for (const auto& [call, lines] : byCall) {
        ASSERT_EQ(perCall, lines.size()) << "call " << call;
        for (const TraceLine& line : lines) EXPECT_EQ(lines.front().tid, line.tid);
        EXPECT_EQ("DownloadCarddata", lines.back().name);
        EXPECT_EQ("hr=0x00000000 result=BOOL True", lines.back().outcome);
        tids.insert(lines.front().tid);
    }
    EXPECT_EQ(size_t(kThreads), tids.size());
}

}  // namespace
