// The simulated clock as a site described in a scenario file, seen through the driver as a host
// sees it: each device's own log and enrollments, the link a control keeps, generated data,
// faults, line timing and the scenarios it refuses.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "standins/clock/scenario.h"
#include "standins/recordset/recordset.h"
#include "tests/support.h"

namespace {

using clocksim::Address;
using qt::Bstr;
using qt::ComPtr;
using qt::Row;
using qt::Variant;

// Two devices with logs of their own on ports 1 and 3; a third on port 4 that is switched off.
const char kSite[] = R"({
  "devices": [
    {"port": 1, "machine": 1,
     "log": [{"person": 11, "time": "2026-01-05T08:30"}, {"person": 12, "time": "2026-01-05T08:31:00"}],
     "enrollments": [{"person": 7, "template": {"seed": 70}}, {"person": 8, "password": 4321}]},
    {"port": 3, "machine": 2,
     "log": [{"person": 31, "time": "2026-02-01T23:59"}]},
    {"port": 4, "machine": 1, "answers": false,
     "log": [{"person": 41, "time": "2026-02-01T12:00"}]}
  ]
})";

struct Found {
    VARIANT_BOOL result = 7;
    std::wstring message;
    std::vector<Address> devices;
};

struct Downloaded {
    HRESULT hr = E_UNEXPECTED;
    VARIANT_BOOL result = 7;
    std::wstring message;
    std::vector<long> persons;
};

struct BackedUp {
    VARIANT_BOOL result = 7;
    Row row;
};

class Scenario : public testing::Test {
  protected:
    void SetUp() override {
        driver_ = qt::CreateDriver();
        ASSERT_TRUE(driver_);
    }
    void TearDown() override { qt::FreshClock(); }

    // Loads the text as a scenario file, as the control does when it starts.
    HRESULT Load(const std::string& text) {
        path_ = qt::TempFile(L"scenario.json", text);
        return ClockLoadScenario(path_.c_str());
    }
    clocksim::Scenario& Clock() { return *ClockScenario(); }

    Found Discover(short portMax, short machineMax) {
        Found f;
        _Collection* col = nullptr;
        Bstr msg(L""), none(L"");
        EXPECT_EQ(S_OK, driver_->funcRegister(&col, VARIANT_TRUE, 1, portMax, none.get(),
                                              none.get(), 1, machineMax, msg.inout(), &f.result));
        ComPtr<_Collection> owned = ComPtr<_Collection>::adopt(col);
        f.message = qt::Text(msg.get());
        for (long i = 1; owned && i <= qt::CountOf(owned.get()); ++i) {
            ComPtr<_FoundMachine> record;
            EXPECT_EQ(S_OK, qt::ItemOf(owned.get(), i).query(record));
            Variant port, machine;
            record->get_Port(port.get());
            record->get_MachineNo(machine.get());
            f.devices.emplace_back(V_I2(port.get()), V_I2(machine.get()));
        }
        return f;
    }

    Downloaded Download(short port, short machine) {
        Downloaded d;
        ComPtr<_Collection> cdata = qt::NewCollection();
        _Collection* col = cdata.get();
        Bstr msg(L""), ip(L"");
        d.hr = driver_->DownloadCarddata(VARIANT_TRUE, ip.get(), port, machine, &col, msg.inout(),
                                         &d.result);
        d.message = qt::Text(msg.get());
        for (long i = 1; i <= qt::CountOf(cdata.get()); ++i) {
            ComPtr<_CardRecord> card;
            EXPECT_EQ(S_OK, qt::ItemOf(cdata.get(), i).query(card));
            Variant person;
            card->get_PersonNo(person.get());
            d.persons.push_back(V_I4(person.get()));
        }
        return d;
    }

    BackedUp Backup(short port, short machine, const wchar_t* person) {
        BackedUp b;
        ComPtr<qt::RecordsetStandin> rs = qt::RecordsetStandin::Create();
        // As in the host's table, a new row holds an empty template, not Null.
        rs->defaults[L"bFingerprint"] = quorin::Variant::Bytes({});
        _ADORecordset* arg = rs.get();
        Bstr ip(L""), who(person), msg(L"");
        EXPECT_EQ(S_OK, driver_->funcBackFingure(VARIANT_TRUE, ip.get(), port, machine, who.get(),
                                                 &arg, msg.inout(), &b.result));
        if (!rs->rows.empty()) b.row = rs->rows.at(0);
        return b;
    }

    VARIANT_BOOL Restore(short port, short machine, const wchar_t* person, const Row& row) {
        ComPtr<qt::RecordsetStandin> rs = qt::RecordsetStandin::Create();
        rs->rows = {row};
        Bstr ip(L""), who(person), msg(L"");
        VARIANT_BOOL ok = 7;
        EXPECT_EQ(S_OK, driver_->funcReWrite(VARIANT_TRUE, ip.get(), port, machine, who.get(),
                                             rs.get(), msg.inout(), &ok));
        return ok;
    }

    std::wstring path_;
    ComPtr<IMachine> driver_;
};

// "编号为" + machine + "的考勤机不能下载刷卡数据！ ".
std::wstring DownloadFailure(const std::wstring& machine) {
    return L"\x7F16\x53F7\x4E3A" + machine +
           L"\x7684\x8003\x52E4\x673A\x4E0D\x80FD\x4E0B\x8F7D\x5237\x5361\x6570\x636E\xFF01 ";
}

TEST_F(Scenario, EachDeviceDeliversItsOwnLogAndAnAddressWithoutOneNothing) {
    ASSERT_EQ(S_OK, Load(kSite)) << qt::Utf8(Clock().refusal);
    const Found found = Discover(4, 3);
    EXPECT_EQ(VARIANT_TRUE, found.result);
    EXPECT_EQ((std::vector<Address>{{1, 1}, {3, 2}}), found.devices);

    const struct {
        short port, machine;
        std::vector<long> persons;
    } cases[] = {{1, 1, {11, 12}}, {3, 2, {31}}, {2, 1, {}}, {1, 2, {}}, {4, 1, {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "port " << c.port << ", machine " << c.machine);
        Clock().calls.clear();
        const Downloaded d = Download(c.port, c.machine);
        EXPECT_EQ(S_OK, d.hr);
        EXPECT_EQ(VARIANT_TRUE, d.result);
        EXPECT_EQ(c.persons, d.persons);
        // Without a device StartLogRead answers False: no record is asked for.
        EXPECT_EQ(c.persons.empty() ? 0u : c.persons.size() + 1,
                  Clock().CallsOf(clocksim::kNextLogRecord).size());
    }
}

TEST_F(Scenario, CallsWithoutALinkAnswerFalseAsAClockWould) {
    ASSERT_EQ(S_OK, Load(kSite));
    // Discovery leaves its last attempt's link: on port 4 nothing answered, so nothing is
    // linked, and a read made without connecting again is answered False.
    EXPECT_EQ(1u, Discover(4, 1).devices.size());
    Clock().calls.clear();
    ComPtr<IDispatch> control;
    ASSERT_EQ(S_OK, CoCreateInstance(clocksim::kClsidClockCtl, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IDispatch, control.put_void()));
    auto call = [&](DISPID id, std::vector<LONG> args) {
        std::vector<VARIANT> reversed;
        for (auto a = args.rbegin(); a != args.rend(); ++a)
            reversed.push_back(quorin::Variant::I4(*a).detach());
        DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        Variant answer;
        EXPECT_EQ(S_OK, control->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, answer.get(),
                                        nullptr, nullptr));
        return V_VT(answer.get()) == VT_BOOL ? V_BOOL(answer.get()) : VARIANT_BOOL(7);
    };
    EXPECT_EQ(VARIANT_FALSE, call(clocksim::kStartLogRead, {1}));
    EXPECT_EQ(VARIANT_TRUE, call(clocksim::kConnectSerial, {1, 1, 38400}));
    EXPECT_EQ(VARIANT_FALSE, call(clocksim::kStartLogRead, {2})) << "another machine number";
    EXPECT_EQ(VARIANT_TRUE, call(clocksim::kStartLogRead, {1}));
    // Connecting to an absent device ends the link before.
    EXPECT_EQ(VARIANT_FALSE, call(clocksim::kConnectSerial, {2, 1, 38400}));
    EXPECT_EQ(VARIANT_FALSE, call(clocksim::kStartLogRead, {1}));
    EXPECT_EQ(VARIANT_TRUE, call(clocksim::kConnectSerial, {1, 1, 38400}));
    call(clocksim::kDisconnect, {});
    EXPECT_EQ(VARIANT_FALSE, call(clocksim::kStartLogRead, {1})) << "after Disconnect";
    // A reset site drops every link, as a bench that was rebuilt.
    EXPECT_EQ(VARIANT_TRUE, call(clocksim::kConnectSerial, {1, 1, 38400}));
    ASSERT_EQ(S_OK, Load(kSite));
    EXPECT_EQ(VARIANT_FALSE, call(clocksim::kStartLogRead, {1}));
}

TEST_F(Scenario, ARestoredEnrollmentStaysOnItsDeviceAndReadsBack) {
    ASSERT_EQ(S_OK, Load(kSite));
    const BackedUp seven = Backup(1, 1, L"7");
    ASSERT_EQ(VARIANT_TRUE, seven.result);
    const std::vector<BYTE> packed = seven.row.at(L"bFingerprint").bytes();
    ASSERT_EQ(2296u, packed.size());

    EXPECT_EQ(VARIANT_FALSE, Backup(3, 2, L"9").result) << "nothing there yet";
    EXPECT_EQ(VARIANT_TRUE, Restore(3, 2, L"9", seven.row));
    const BackedUp nine = Backup(3, 2, L"9");
    ASSERT_EQ(VARIANT_TRUE, nine.result);
    EXPECT_EQ(packed, nine.row.at(L"bFingerprint").bytes());
    EXPECT_EQ(VARIANT_FALSE, Backup(1, 1, L"9").result) << "written to the other device only";
    EXPECT_EQ(VARIANT_FALSE, Backup(2, 1, L"7").result) << "no device there";

    // A password row too; a restore to where nothing answers keeps nothing.
    const BackedUp eight = Backup(1, 1, L"8");
    ASSERT_EQ(VARIANT_TRUE, eight.result);
    EXPECT_EQ(VARIANT_TRUE, Restore(3, 2, L"5", eight.row));
    EXPECT_EQ(4321, V_I4(Backup(3, 2, L"5").row.at(L"npassword").get()));
    EXPECT_EQ(VARIANT_FALSE, Restore(2, 1, L"5", eight.row));
    EXPECT_EQ(VARIANT_FALSE, Backup(2, 1, L"5").result);
}

TEST_F(Scenario, GeneratedDataIsTheSameFromTheSameSeed) {
    const char generated[] = R"({"devices": [
      {"port": 1, "machine": 1, "log": {"count": 500, "seed": 9, "persons": [100, 120],
                                        "from": "2026-02-27T22:00", "to": "2026-03-02T06:00"},
       "enrollments": [{"person": 1, "template": {"seed": 3}}]},
      {"port": 2, "machine": 1, "log": {"count": 500, "seed": 9, "persons": [100, 120],
                                        "from": "2026-02-27T22:00", "to": "2026-03-02T06:00"},
       "enrollments": [{"person": 1, "template": {"seed": 3}}]},
      {"port": 3, "machine": 1, "log": {"count": 500, "seed": 10, "persons": [100, 120],
                                        "from": "2026-02-27T22:00", "to": "2026-03-02T06:00"},
       "enrollments": [{"person": 1, "template": {"seed": 4}}]}]})";
    ASSERT_EQ(S_OK, Load(generated)) << qt::Utf8(Clock().refusal);
    auto log = [&](int port) { return Clock().devices.at({port, 1}).log; };
    auto templ = [&](int port) {
        return Clock().devices.at({port, 1}).enrollments.at({1, 0}).templ;
    };
    const std::vector<clocksim::LogRecord> first = log(1);
    ASSERT_EQ(500u, first.size());
    auto minutes = [](const clocksim::LogRecord& r) {
        return (((r.month * 31 + r.day) * 24 + r.hour) * 60) + r.minute;
    };
    for (size_t i = 0; i < first.size(); ++i) {
        const clocksim::LogRecord& r = first[i];
        EXPECT_TRUE(r.person >= 100 && r.person <= 120) << i;
        EXPECT_TRUE(minutes(r) >= minutes({0, 2026, 2, 27, 22, 0, {}, {}, {}, {}}) &&
                    minutes(r) <= minutes({0, 2026, 3, 2, 6, 0, {}, {}, {}, {}}))
            << i;
        if (i) {
            EXPECT_LE(minutes(first[i - 1]), minutes(r)) << "in time order at " << i;
        }
    }
    auto same = [](const std::vector<clocksim::LogRecord>& a,
                   const std::vector<clocksim::LogRecord>& b) {
        for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
            if (a[i].person != b[i].person || a[i].day != b[i].day || a[i].hour != b[i].hour ||
                a[i].minute != b[i].minute)
                return false;
        }
        return a.size() == b.size();
    };
    EXPECT_TRUE(same(first, log(2)));
    EXPECT_FALSE(same(first, log(3)));
    EXPECT_EQ(templ(1), templ(2));
    EXPECT_NE(templ(1), templ(3));
    // The same numbers on every build and kind: what a file gave yesterday it gives today.
    EXPECT_EQ(487265508, templ(1)[0]);
    EXPECT_EQ(115, first[0].person);
    EXPECT_EQ((std::vector<int>{2026, 2, 27, 22, 4}),
              (std::vector<int>{first[0].year, first[0].month, first[0].day, first[0].hour,
                                first[0].minute}));
    ASSERT_EQ(S_OK, Load(generated));
    EXPECT_TRUE(same(first, log(1))) << "loaded again";
}

TEST_F(Scenario, FaultsFromAFileReachTheOperationsHandler) {
    const struct {
        const char* fault;
        VARIANT_BOOL result;
        std::wstring message;
        size_t connects;  // ConnectSerial calls of a scan of ports 1 to 3, machine 1
    } cases[] = {
        {R"({"call": "ConnectSerial", "on": 2, "exception": "Line 2 is noisy"})", VARIANT_FALSE,
         L"Line 2 is noisy", 2},
        {R"({"call": "ConnectSerial", "exception": "No line"})", VARIANT_FALSE, L"No line", 1},
        {R"({"call": "ConnectSerial", "on": 3, "hresult": "0x80070005"})", VARIANT_FALSE, L"*", 3},
        {R"({"call": "ConnectSerial", "on": 1, "hresult": -2147467259})", VARIANT_FALSE, L"*", 1},
        {R"({"call": "ConnectSerial", "on": 2, "result": "busy"})", VARIANT_FALSE, L"*", 2},
        {R"({"call": "ConnectSerial", "result": null})", VARIANT_FALSE, L"*", 1},
        {R"({"call": "ConnectSerial", "on": 4, "exception": "never reached"})", VARIANT_TRUE, L"",
         3},
        {R"({"call": "StartLogRead", "exception": "not this call"})", VARIANT_TRUE, L"", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_EQ(S_OK, Load(std::string(R"({"devices": [{"port": 1, "machine": 1}],
                                            "faults": [)") +
                             c.fault + "]}"))
            << qt::Utf8(Clock().refusal);
        const Found found = Discover(3, 1);
        EXPECT_EQ(c.result, found.result);
        if (c.message == L"*") {
            EXPECT_NE(L"", found.message) << "the error's own description";
        } else {
            EXPECT_EQ(c.message, found.message);
        }
        EXPECT_EQ(c.connects, Clock().CallsOf(clocksim::kConnectSerial).size());
    }
    // A download's handler gives its own message.
    ASSERT_EQ(S_OK, Load(R"({"devices": [{"port": 1, "machine": 1, "log": [
                              {"person": 5, "time": "2026-01-01T00:00"},
                              {"person": 6, "time": "2026-01-01T00:01"}]}],
                            "faults": [{"call": "NextLogRecord", "on": 2, "result": "later"}]})"));
    const Downloaded d = Download(1, 1);
    EXPECT_EQ(VARIANT_FALSE, d.result);
    EXPECT_EQ(DownloadFailure(L"1"), d.message);
    EXPECT_EQ(std::vector<long>{5}, d.persons);
}

TEST_F(Scenario, LineTimingSlowsTheCallsByTheSpeedFactor) {
    // At 38400 baud and ten bits a byte, 1200 records of 16 bytes take 5 s, a template 0.479 s,
    // and a connection attempt where nothing answers takes its timeout, 4 s; a factor of 4
    // shortens each to a quarter. The clock counts the line time it held the calls for, exactly;
    // the wall clock shows that the time is really spent (it only ever adds on a busy machine, so
    // only its lower bound is asserted).
    const std::string site = R"({"devices": [{"port": 1, "machine": 1,
        "log": {"count": 1200, "seed": 1, "persons": [1, 9], "from": "2026-01-01T00:00",
                "to": "2026-01-31T00:00"},
        "enrollments": [{"person": 7, "template": {"seed": 1}}]}],
      "timing": {"enabled": true, "speed": 4, "connect_timeout_ms": 4000}})";
    auto seconds = [](auto&& operation) {
        const auto start = std::chrono::steady_clock::now();
        operation();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const struct {
        const char* what;
        unsigned long long lineMs;
        std::function<void()> run;
    } cases[] = {
        {"download", 1250, [&] { EXPECT_EQ(1200u, Download(1, 1).persons.size()); }},
        // Backup reads the template (120 ms) and the password slot, which holds nothing.
        {"backup", 120, [&] { EXPECT_EQ(VARIANT_TRUE, Backup(1, 1, L"7").result); }},
        {"discovery of an absent device", 1000, [&] { Discover(2, 1); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(S_OK, Load(site)) << qt::Utf8(Clock().refusal);
        const double took = seconds([&] { c.run(); });
        EXPECT_EQ(c.lineMs, Clock().lineMs);
        EXPECT_GE(took, c.lineMs / 1000.0 * 0.9);
    }
    // The same calls with the timing off hold nothing.
    std::string untimed = site;
    untimed.replace(untimed.find("\"enabled\": true"), 15, "\"enabled\": false");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(S_OK, Load(untimed)) << qt::Utf8(Clock().refusal);
        c.run();
        EXPECT_EQ(0u, Clock().lineMs);
    }
    // Off unless a file turns it on.
    ASSERT_EQ(S_OK, Load(kSite));
    EXPECT_FALSE(Clock().timing.enabled);
}

TEST_F(Scenario, AMistakeIsRefusedWithFileLineAndKeyAndEveryCallFailsWithIt) {
    const struct {
        const char* text;
        int line;
        const char* key;
        const char* what;
    } cases[] = {
        {"{\n\"devices\": [\n  {\"port\": 1 \"machine\": 1}\n]}", 3, "devices[0].port",
         "not valid JSON: "},
        {"{\"devices\": [\n  {\"port\": 1,\n   \"machine\": 1,\n   \"anwsers\": true}]}", 4,
         "devices[0].anwsers", "unknown key; known here: port, machine, answers, log"},
        {"{\"devices\": [{\"port\": 1, \"machine\": 1,\n \"enrollments\": [\n {\"person\": 3,\n"
         " \"template\": [1, 2, 3]}]}]}",
         4, "devices[0].enrollments[0].template", "a template holds 460 integers, this one 3"},
        {"{\"devices\": [\n{\"machine\": 1,\n \"port\": 256}]}", 3, "devices[0].port",
         "256 is out of range (1 to 255)"},
        {"{\"devices\": [{\"port\": 1, \"machine\": 1},\n {\"port\": 0, \"machine\": 1}]}", 2,
         "devices[1].port", "0 is out of range (1 to 255)"},
        {"{\"devices\": [],\n\n \"devices\": []}", 3, "devices", "given twice"},
        {"{\"devices\": [\n {\"port\": 1,\n  \"machine\": 1, \"answers\": \"yes\"}]}", 3,
         "devices[0].answers", "true or false belongs here"},
        {"{\"devices\": [{\"port\": 2, \"machine\": 1, \"log\": [\n"
         "  {\"person\": 1, \"time\": \"2026-01-01T08:00\"},\n"
         "  {\"person\": 2, \"time\": \"2026-02-30T08:00\"}]}]}",
         3, "devices[0].log[1].time", "\"2026-02-30T08:00\" is no valid date and time"},
        {"{\"devices\": [\n {\"port\": 1}]}", 2, "devices[0].machine", "required"},
        {"{\"devices\": [{\"port\": 1, \"machine\": 1},\n{\"port\": 1, \"machine\": 1}]}", 2,
         "devices[1].port", "a second device at port 1, machine 1"},
        {"{\"faults\": [\n{\"call\": \"Connect\", \"exception\": \"x\"}]}", 2, "faults[0].call",
         "no device call \"Connect\"; the calls are SerialPort, ConnectSerial"},
        {"{\"faults\": [{\"call\": \"Disconnect\",\n \"hresult\": \"0x00000001\"}]}", 2,
         "faults[0].hresult", "an HRESULT that fails"},
        {"{\"faults\": [\n{\"call\": \"Disconnect\", \"exception\": \"x\", \"result\": null}]}", 2,
         "faults[0]", "a fault is one of"},
        {"{\"timing\": {\"speed\": 2}}", 1, "timing.enabled", "required"},
        {"[]", 1, "top level", "an object {...} belongs here"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(S_OK, Load(kSite));
        EXPECT_EQ(E_FAIL, Load(c.text));
        const std::string refusal = qt::Utf8(Clock().refusal);
        const std::string head = "Scenario file " + qt::Utf8(path_) + ", line " +
                                 std::to_string(c.line) + ", " + c.key + ": ";
        EXPECT_EQ(head, refusal.substr(0, head.size()));
        EXPECT_NE(std::string::npos, refusal.find(c.what, head.size())) << refusal;
        // Nothing of the file, nor of the site before it, is kept.
        EXPECT_TRUE(Clock().devices.empty() && Clock().answering.empty());
        const Found found = Discover(4, 3);
        EXPECT_EQ(VARIANT_FALSE, found.result);
        EXPECT_EQ(Clock().refusal, found.message);
        const Downloaded d = Download(1, 1);
        EXPECT_EQ(S_OK, d.hr) << "the download's handler disconnects without an error";
        EXPECT_EQ(VARIANT_FALSE, d.result);
        EXPECT_EQ(DownloadFailure(L"1"), d.message);
    }
    EXPECT_EQ(E_FAIL, ClockLoadScenario(L"Z:\\no\\such\\scenario.json"));
    EXPECT_EQ(L"Scenario file Z:\\no\\such\\scenario.json cannot be read (error 3)",
              Clock().refusal);
    // A reset from code clears the refusal.
    qt::FreshClock();
    EXPECT_EQ(VARIANT_TRUE, Discover(1, 1).result);
}

}  // namespace
