// The console as a developer pipes it into other tools: quorin-host run as its own process with a
// scenario file, its CSV and JSON read back by a parser; and how the simulated clock finds its
// scenario when a process starts (option, environment, registry, refusal).
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support.h"

namespace {

using Record = std::map<std::string, std::string>;
using nlohmann::json;

const char kSite[] = R"({
  "devices": [
    {"port": 1, "machine": 1,
     "log": [{"person": 11, "time": "2026-01-05T08:30"}, {"person": 12, "time": "2026-01-05T17:04"}]},
    {"port": 3, "machine": 2,
     "log": [{"person": 31, "time": "2026-12-31T23:59"}]}
  ]
})";

struct Ran {
    DWORD exit = 0;
    std::string out, err;
};

std::string ReadAll(const std::wstring& path) {
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

// quorin-host from this program's folder, with its output and error output in files.
Ran Host(const std::wstring& args) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"quorin-host.exe";
    const std::wstring outPath = qt::TempFile(L"host.out", ""),
                       errPath = qt::TempFile(L"host.err", "");
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    std::wstring line = L"\"" + exe + L"\" " + args;
    Ran ran;
    const BOOL started = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &si, &pi);
    EXPECT_TRUE(started) << GetLastError();
    CloseHandle(out);
    CloseHandle(err);
    if (started) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 60000));
        GetExitCodeProcess(pi.hProcess, &ran.exit);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    ran.out = ReadAll(outPath);
    ran.err = ReadAll(errPath);
    return ran;
}

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
                Host(L"--scenario \"" + site_ + L"\" --format " + format + L" " + c.command);
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
    Ran ran = Host(L"--scenario \"" + site_ + L"\" download 3 2");
    EXPECT_EQ(0u, ran.exit);
    EXPECT_EQ("  record: person 31, 2026-12-31 23:59:00\r\nDownloadCarddata: True\r\n", ran.out);
    ran = Host(L"--format text discover 3 3 1 5");  // the bench: machine 2 on port 3
    EXPECT_EQ("funcRegister: True\r\n  found: port 3, machine 2 (id 2)\r\n", ran.out);
    for (const wchar_t* wrong : {L"--format xml download 1 1", L"--format csv backup 1 1 7 row",
                                 L"--scenario", L"--verbose discover 1 1 1 1", L"--format json"}) {
        SCOPED_TRACE(qt::Utf8(wrong));
        ran = Host(wrong);
        EXPECT_EQ(2u, ran.exit) << ran.out;
    }
}

TEST_F(Console, ARefusedScenarioIsToldAndEndsTheOperationsInTheirHandlers) {
    const std::wstring bad = qt::TempFile(L"bad.json", "{\"devices\": [\n{\"port\": 300}]}");
    const std::string said = "Scenario file " + qt::Utf8(bad) + ", line 2, devices[0].port: ";
    Ran ran = Host(L"--scenario \"" + bad + L"\" --format csv discover 1 4 1 3");
    EXPECT_EQ(1u, ran.exit);
    EXPECT_EQ("port,machine,machine_id,address\r\n", ran.out);
    EXPECT_NE(std::string::npos, ran.err.find("ClockSim: " + said)) << ran.err;
    EXPECT_NE(std::string::npos, ran.err.find("funcRegister: False\r\nmessage: " + said))
        << ran.err;
    ran = Host(L"--scenario \"" + bad + L"\" --format json download 1 1");
    EXPECT_EQ(1u, ran.exit);
    EXPECT_EQ(json::array(), json::parse(ran.out));
    EXPECT_NE(std::string::npos, ran.err.find("DownloadCarddata: False")) << ran.err;
}

// The registry value names the file when the environment does not; the environment wins.
TEST_F(Console, TheSimulatorsRegistryValueNamesTheScenarioToo) {
    const wchar_t key[] = L"Software\\Quorin\\ClockSim";
    const std::wstring other =
        qt::TempFile(L"other.json", R"({"devices": [{"port": 3, "machine": 2, "log": []}]})");
    const DWORD bytes = static_cast<DWORD>((site_.size() + 1) * sizeof(wchar_t));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(HKEY_CURRENT_USER, key, L"Scenario", REG_SZ, site_.c_str(), bytes));
    const Ran fromRegistry = Host(L"--format csv download 3 2");
    const Ran fromOption = Host(L"--scenario \"" + other + L"\" --format csv download 3 2");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"Scenario");
    const Ran bench = Host(L"--format csv download 3 2");
    EXPECT_EQ("person,swipe_time\r\n31,2026-12-31T23:59:00\r\n", fromRegistry.out);
    EXPECT_EQ("person,swipe_time\r\n", fromOption.out);
    EXPECT_EQ("person,swipe_time\r\n201,2026-01-05T07:55:00\r\n202,2026-01-05T16:02:00\r\n",
              bench.out);
}

}  // namespace
