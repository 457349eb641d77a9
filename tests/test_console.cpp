// The console as a developer pipes it into other tools: quorin-host run as its own process with a
// scenario file, its CSV and JSON read back by a parser; and how the simulated clock finds its
// scenario when a process starts (option, environment, registry, refusal).
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/console_host.h"
#include "tests/support.h"
#include "tools/console/number.h"

namespace {

using Record = std::map<std::string, std::string>;
using nlohmann::json;
using qt::Ran;
using qt::RunHost;

const char kSite[] = R"({
  "devices": [
    {"port": 1, "machine": 1,
     "log": [{"person": 11, "time": "2026-01-05T08:30"}, {"person": 12, "time": "2026-01-05T17:04"}]},
    {"port": 3, "machine": 2,
     "log": [{"person": 31, "time": "2026-12-31T23:59"}]}
  ]
})";

std::vector<std::string> Split(const std::string& text, char at) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == at) {
            parts.emplace_back();
        } else if (c != '\r') {
            parts.back() += c;
        }
    }
    return parts;
}

// The records of CSV output: a header row, then one row a record (no field here needs quotes).
std::vector<Record> FromCsv(const std::string& text, std::vector<std::string>* header) {
    std::vector<std::string> lines = Split(text, '\n');
    EXPECT_EQ("", lines.back()) << "each row ends with a line break";
    lines.pop_back();
    *header = Split(lines.at(0), ',');
    std::vector<Record> records;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> cells = Split(lines[i], ',');
        EXPECT_EQ(header->size(), cells.size()) << lines[i];
        Record r;
        for (size_t k = 0; k < cells.size() && k < header->size(); ++k) r[(*header)[k]] = cells[k];
        records.push_back(r);
    }
    return records;
}

// The records of JSON output: an array of objects whose numbers are numbers.
std::vector<Record> FromJson(const std::string& text, std::vector<std::string>* names) {
    std::vector<Record> records;
    const nlohmann::ordered_json array = nlohmann::ordered_json::parse(text);
    EXPECT_TRUE(array.is_array());
    for (const auto& object : array) {
        Record r;
        names->clear();
        for (const auto& [name, value] : object.items()) {
            names->push_back(name);
            EXPECT_TRUE(name == "address" || name == "swipe_time" ? value.is_string()
                                                                  : value.is_number_integer())
                << name;
            r[name] = value.is_string() ? value.get<std::string>() : value.dump();
        }
        records.push_back(r);
    }
    return records;
}

class Console : public testing::Test {
  protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"QUORIN_CLOCKSIM_SCENARIO", nullptr);
        site_ = qt::TempFile(L"site.json", kSite);
    }
    std::wstring site_;
};

TEST_F(Console, CsvAndJsonOfDiscoveryAndDownloadReadBack) {
    const std::vector<Record> found = {
        {{"port", "1"}, {"machine", "1"}, {"machine_id", "1"}, {"address", ""}},
        {{"port", "3"}, {"machine", "2"}, {"machine_id", "2"}, {"address", ""}}};
    const std::vector<std::string> foundColumns = {"port", "machine", "machine_id", "address"};
    const std::vector<Record> swipes = {{{"person", "11"}, {"swipe_time", "2026-01-05T08:30:00"}},
                                        {{"person", "12"}, {"swipe_time", "2026-01-05T17:04:00"}}};
    const std::vector<Record> lastOfYear = {
        {{"person", "31"}, {"swipe_time", "2026-12-31T23:59:00"}}};
    const std::vector<Record> none;
    const std::vector<std::string> swipeColumns = {"person", "swipe_time"};
    const struct {
        const wchar_t* command;
        const std::vector<Record>& records;
        const std::vector<std::string>& columns;
    } cases[] = {
        {L"discover 1 4 1 3", found, foundColumns},
        {L"download 1 1", swipes, swipeColumns},
        {L"download 3 2", lastOfYear, swipeColumns},
        {L"download 2 1", none, swipeColumns},
    };
    for (const auto& c : cases) {
        for (const wchar_t* format : {L"csv", L"json"}) {
            SCOPED_TRACE(qt::Utf8(std::wstring(format) + L" " + c.command));
            const Ran ran =
                RunHost(L"--scenario \"" + site_ + L"\" --format " + format + L" " + c.command);
            EXPECT_EQ(0u, ran.exit) << ran.out << ran.err;
            EXPECT_EQ("", ran.err) << "a True result leaves the error output empty";
            std::vector<std::string> columns;
            const bool csv = format == std::wstring(L"csv");
            EXPECT_EQ(c.records, csv ? FromCsv(ran.out, &columns) : FromJson(ran.out, &columns))
                << ran.out;
            if (csv || !c.records.empty()) {
                EXPECT_EQ(c.columns, columns) << "the names in their order";
            }
        }
    }
}

TEST_F(Console, TextStaysAndOptionsAreChecked) {
    Ran ran = RunHost(L"--scenario \"" + site_ + L"\" download 3 2");
    EXPECT_EQ(0u, ran.exit);
    EXPECT_EQ("  record: person 31, 2026-12-31 23:59:00\r\nDownloadCarddata: True\r\n", ran.out);
    ran = RunHost(L"--format text discover 3 3 1 5");  // the bench: machine 2 on port 3
    EXPECT_EQ("funcRegister: True\r\n  found: port 3, machine 2 (id 2)\r\n", ran.out);
    for (const wchar_t* wrong : {L"--format xml download 1 1", L"--format csv backup 1 1 7 row",
                                 L"--scenario", L"--verbose discover 1 1 1 1", L"--format json"}) {
        SCOPED_TRACE(qt::Utf8(wrong));
        ran = RunHost(wrong);
        EXPECT_EQ(2u, ran.exit) << ran.out;
    }
}

TEST_F(Console, ARefusedScenarioIsToldAndEndsTheOperationsInTheirHandlers) {
    const std::wstring bad = qt::TempFile(L"bad.json", "{\"devices\": [\n{\"port\": 300}]}");
    const std::string said = "Scenario file " + qt::Utf8(bad) + ", line 2, devices[0].port: ";
    Ran ran = RunHost(L"--scenario \"" + bad + L"\" --format csv discover 1 4 1 3");
    EXPECT_EQ(1u, ran.exit);
    EXPECT_EQ("port,machine,machine_id,address\r\n", ran.out);
    EXPECT_NE(std::string::npos, ran.err.find("ClockSim: " + said)) << ran.err;
    EXPECT_NE(std::string::npos, ran.err.find("funcRegister: False\r\nmessage: " + said))
        << ran.err;
    ran = RunHost(L"--scenario \"" + bad + L"\" --format json download 1 1");
    EXPECT_EQ(1u, ran.exit);
    EXPECT_EQ(json::array(), json::parse(ran.out));
    EXPECT_NE(std::string::npos, ran.err.find("DownloadCarddata: False")) << ran.err;
}

// A number is digits with an optional sign, within the host's 16-bit integers; nothing else.
TEST(ConsoleNumbers, AreDigitsWithAnOptionalSignWithinSixteenBits) {
    const struct {
        const wchar_t* text;
        short value;
    } good[] = {{L"0", 0},         {L"7", 7},           {L"+7", 7},
                {L"-7", -7},       {L"007", 7},         {L"-0", 0},
                {L"32767", 32767}, {L"-32768", -32768}, {L"+00032767", 32767}};
    for (const auto& g : good) {
        SCOPED_TRACE(qt::Utf8(g.text));
        EXPECT_EQ(std::optional<short>(g.value), console::ParseNumber(g.text));
    }
    for (const wchar_t* bad : {L"",
                               L"+",
                               L"-",
                               L"x",
                               L"1x",
                               L"x1",
                               L"0x10",
                               L" 1",
                               L"1 ",
                               L"1.5",
                               L"1e3",
                               L"1,000",
                               L"--1",
                               L"+-1",
                               L"32768",
                               L"-32769",
                               L"99999",
                               L"4294967297",
                               L"99999999999999999999",
                               L"\u0661"}) {
        SCOPED_TRACE(qt::Utf8(bad));
        EXPECT_EQ(std::nullopt, console::ParseNumber(bad));
    }
}

// Each kind of bad number stops the command before the driver is created, naming the argument
// and its value; the output stays empty.
TEST_F(Console, BadNumbersAreUsageErrorsThatNameTheArgument) {
    const struct {
        const wchar_t* command;
        const char* said;
    } cases[] = {
        {L"download x 1", "port is \"x\", not a whole number from -32768 to 32767"},
        {L"discover 1 40000 1 5", "portMax is \"40000\""},
        {L"backup 1 -32769 7 row", "machine is \"-32769\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qt::Utf8(c.command));
        const Ran ran = RunHost(c.command);
        EXPECT_EQ(2u, ran.exit);
        EXPECT_EQ("", ran.out);
        EXPECT_NE(std::string::npos, ran.err.find(c.said)) << ran.err;
        EXPECT_NE(std::string::npos, ran.err.find("usage: quorin-host")) << ran.err;
    }
}

TEST_F(Console, HelpNamesEveryCommandAndOption) {
    const Ran help = RunHost(L"--help");
    EXPECT_EQ(0u, help.exit);
    EXPECT_EQ("", help.err);
    for (const char* named :
         {"discover <portMin> <portMax> <machineMin> <machineMax>", "download <port> <machine>",
          "backup <port> <machine> <person> <rowfile>",
          "restore <port> <machine> <person> <rowfile>",
          "check [<portMin> <portMax> <machineMin> <machineMax>]", "--scenario FILE",
          "--format text|csv|json", "-h, --help"})
        EXPECT_NE(std::string::npos, help.out.find(named)) << named << "\n" << help.out;
    const Ran h = RunHost(L"-h");
    EXPECT_EQ(0u, h.exit);
    EXPECT_EQ(help.out, h.out);
}

// The registry value names the file when the environment does not; the environment wins.
TEST_F(Console, TheSimulatorsRegistryValueNamesTheScenarioToo) {
    const wchar_t key[] = L"Software\\Quorin\\ClockSim";
    const std::wstring other =
        qt::TempFile(L"other.json", R"({"devices": [{"port": 3, "machine": 2, "log": []}]})");
    const DWORD bytes = static_cast<DWORD>((site_.size() + 1) * sizeof(wchar_t));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(HKEY_CURRENT_USER, key, L"Scenario", REG_SZ, site_.c_str(), bytes));
    const Ran fromRegistry = RunHost(L"--format csv download 3 2");
    const Ran fromOption = RunHost(L"--scenario \"" + other + L"\" --format csv download 3 2");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"Scenario");
    const Ran bench = RunHost(L"--format csv download 3 2");
    EXPECT_EQ("person,swipe_time\r\n31,2026-12-31T23:59:00\r\n", fromRegistry.out);
    EXPECT_EQ("person,swipe_time\r\n", fromOption.out);
    EXPECT_EQ("person,swipe_time\r\n201,2026-01-05T07:55:00\r\n202,2026-01-05T16:02:00\r\n",
              bench.out);
}

}  // namespace
