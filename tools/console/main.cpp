// quorin-host: a small host session. It creates the driver by its ProgID, obtains IMachine and
// runs one operation against whatever clock control is registered, printing what it got; or it
// checks a site for support (check.h). `quorin-host --help` prints the usage (kUsage below).
//
// --scenario names the simulated clock's scenario file (it sets QUORIN_CLOCKSIM_SCENARIO for
// this process, before the control starts). --format csv or json prints the records of discover
// and download as a table for other tools, alone on standard output. Usage errors, failures and
// notes go to standard error (console.h).
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "contract.h"
#include "com/com.h"
#include "com/variant.h"
#include "com/text.h"
#include "tools/console/check.h"
#include "tools/console/classes.h"
#include "tools/console/console.h"
#include "tools/console/enrollment.h"

using quorin::Bstr;
using quorin::ComPtr;
using quorin::Variant;

namespace {

using nlohmann::json;

using namespace console;
using quorin::Utf8;

void Write(FILE* to, const std::string& bytes) {
    fwrite(bytes.data(), 1, bytes.size(), to);
    fflush(to);
}

enum class Format { kText, kCsv, kJson };
Format g_format = Format::kText;

// The records of discover and download for other tools: CSV with a header row, or a JSON array
// of objects with the same names. Text output does not go through here.
class Table {
  public:
    explicit Table(std::vector<std::string> columns) : columns_(std::move(columns)) {
        if (g_format != Format::kCsv) return;
        std::string header;
        for (const std::string& c : columns_) header += (header.empty() ? "" : ",") + c;
        Write(stdout, header + "\n");
    }
    // One cell per column: a number, a text or null.
    void Add(const std::vector<json>& cells) {
        if (g_format == Format::kJson) {
            nlohmann::ordered_json row;
            for (size_t i = 0; i < columns_.size(); ++i) row[columns_[i]] = cells[i];
            rows_.push_back(std::move(row));
            return;
        }
        std::string line;
        for (size_t i = 0; i < cells.size(); ++i) line += (i ? "," : "") + Cell(cells[i]);
        Write(stdout, line + "\n");
    }
    void End() {
        if (g_format == Format::kJson) Write(stdout, rows_.dump(2) + "\n");
    }

  private:
    // RFC 4180: a text with a comma, a quote or a line break is quoted, quotes doubled.
    static std::string Cell(const json& cell) {
        if (cell.is_null()) return "";
        if (!cell.is_string()) return cell.dump();
        const std::string text = cell.get<std::string>();
        if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
        std::string quoted = "\"";
        for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        return quoted + "\"";
    }

    std::vector<std::string> columns_;
    nlohmann::ordered_json rows_ = nlohmann::ordered_json::array();  // columns in their order
};

// A property's value as a table cell: integers as numbers, anything else as its text.
json Cell(const VARIANT* v) {
    Variant number;
    switch (V_VT(v)) {
        case VT_EMPTY:
        case VT_NULL:
            return nullptr;
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
            if (SUCCEEDED(VariantChangeType(number.get(), const_cast<VARIANT*>(v), 0, VT_I8)))
                return V_I8(number.get());
            break;
        default:
            break;
    }
    return Utf8(Text(v));
}

// What an operation answered. Text output shows it with the records; a table keeps the output
// for its records and tells a False result on the error output.
void Report(const wchar_t* operation, VARIANT_BOOL ok, const Bstr& msg) {
    std::wstring text = std::wstring(operation) + L": " + (ok ? L"True" : L"False") + L"\n";
    if (msg.length()) text += L"message: " + std::wstring(msg.get(), msg.length()) + L"\n";
    if (g_format == Format::kText) {
        Print(text);
    } else if (!ok || msg.length()) {
        PrintError(text);
    }
}

int Discover(const short range[4]) {
    ComPtr<IMachine> machine = CreateDriver();
    if (!machine) return 1;
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr msg;
    std::vector<Found> found;
    const HRESULT hr = Scan(machine.get(), range, &ok, &msg, &found);
    if (FAILED(hr))
        return CallFailed(L"funcRegister", hr, {&kCollection, &kFoundMachine, &kDeviceControl});
    Report(L"funcRegister", ok, msg);
    Table table({"port", "machine", "machine_id", "address"});
    for (const Found& f : found) {
        if (g_format == Format::kText) {
            Print(L"  found: port " + Text(f.port.get()) + L", machine " + Text(f.machine.get()) +
                  L" (id " + Text(f.id.get()) + L")\n");
        } else {
            table.Add({Cell(f.port.get()), Cell(f.machine.get()), Cell(f.id.get()),
                       Cell(f.address.get())});
        }
    }
    table.End();
    if (!ok) TellMissing({&kCollection, &kFoundMachine, &kDeviceControl});
    return ok ? 0 : 1;
}

// An automation date as yyyy-mm-dd hh:mm:ss, or with a T between date and time (ISO 8601).
std::wstring DateText(const VARIANT* v, wchar_t between = L' ') {
    Variant date;
    SYSTEMTIME t{};
    if (FAILED(VariantChangeTypeEx(date.get(), const_cast<VARIANT*>(v), LOCALE_INVARIANT, 0,
                                   VT_DATE)) ||
        !VariantTimeToSystemTime(V_DATE(date.get()), &t))
        return L"?";
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02u%lc%02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, between,
             t.wHour, t.wMinute, t.wSecond);
    return text;
}

int Download(short port, short number) {
    ComPtr<IMachine> machine = CreateDriver();
    if (!machine) return 1;
    ComPtr<_Collection> col;
    HRESULT hr = Create(kCollection, __uuidof(_Collection), col.put_void());
    if (FAILED(hr)) {
        PrintError(CannotCreate(kCollection, hr));
        return 1;
    }
    Bstr msg(L"");
    Bstr none(L"");
    VARIANT_BOOL ok = VARIANT_FALSE;
    // The collection goes by reference; the driver appends to it and never replaces it.
    _Collection* cdata = col.detach();
    hr =
        machine->DownloadCarddata(VARIANT_TRUE, none.get(), port, number, &cdata, msg.inout(), &ok);
    col = ComPtr<_Collection>::adopt(cdata);
    if (FAILED(hr)) return CallFailed(L"DownloadCarddata", hr, {&kCardRecord, &kDeviceControl});
    Table table({"person", "swipe_time"});
    ForEachItem<_CardRecord>(col.get(), [&table](_CardRecord* card) {
        Variant person, time;
        card->get_PersonNo(person.get());
        card->get_SwipeTime(time.get());
        if (g_format == Format::kText) {
            Print(L"  record: person " + Text(person.get()) + L", " + DateText(time.get()) + L"\n");
        } else {
            table.Add({Cell(person.get()), Utf8(DateText(time.get(), L'T'))});
        }
    });
    table.End();
    Report(L"DownloadCarddata", ok, msg);
    if (!ok) TellMissing({&kCardRecord, &kDeviceControl});
    return ok ? 0 : 1;
}

// The commands, as the usage shows them.
#define QUORIN_DISCOVER L"discover <portMin> <portMax> <machineMin> <machineMax>"
#define QUORIN_DOWNLOAD L"download <port> <machine>"
#define QUORIN_BACKUP L"backup <port> <machine> <person> <rowfile>"
#define QUORIN_RESTORE L"restore <port> <machine> <person> <rowfile>"
#define QUORIN_CHECK L"check [<portMin> <portMax> <machineMin> <machineMax>]"
#define QUORIN_COMMAND_LINE L"quorin-host [--scenario FILE] [--format text|csv|json] <command> ..."

const wchar_t kUsage[] =
    L"usage: " QUORIN_COMMAND_LINE L"\n"
    L"       quorin-host -h | --help\n"
    L"\n"
    L"Commands:\n"
    L"  " QUORIN_DISCOVER L"\n"
    L"      scans each port for the first machine number that answers\n"
    L"  " QUORIN_DOWNLOAD L"\n"
    L"      every swipe the clock holds: person number, yyyy-mm-dd hh:mm:ss\n"
    L"  " QUORIN_BACKUP L"\n"
    L"      reads the person's enrollment into a row, kept in rowfile\n"
    L"  " QUORIN_RESTORE L"\n"
    L"      writes rowfile's row back to the clock\n"
    L"  " QUORIN_CHECK L"\n"
    L"      the site check: the driver's registration, file, version, ThreadingModel and type\n"
    L"      library, the classes it needs and the trace setting, one line each, ok or FAIL\n"
    L"      with what to do; with a range it also scans and lists what answers. Exit code 0\n"
    L"      when every item is ok, 1 otherwise\n"
    L"\n"
    L"Options:\n"
    L"  --scenario FILE         the simulated clock reads its site from FILE\n"
    L"  --format text|csv|json  how discover and download print their records (default text);\n"
    L"                          with csv or json standard output holds the records alone\n"
    L"  -h, --help              this text\n"
    L"\n"
    L"Ports, machine numbers and the bounds of a range are whole numbers from -32768 to 32767\n"
    L"(digits, with a sign or none); the person number goes to the driver as the text given.\n"
    L"Failures and notes go to standard error. Exit codes: 0 done, 1 a False result or a\n"
    L"failure, 2 a usage error.\n";

struct Command {
    const wchar_t* name;
    const wchar_t* usage;
    std::vector<const wchar_t*> numbers;  // the arguments that are numbers, first
    size_t texts;                         // then this many texts
    bool numbersOptional;                 // check: its range may be left out
};

const Command kCommands[] = {
    {L"discover",
     L"quorin-host " QUORIN_DISCOVER,
     {L"portMin", L"portMax", L"machineMin", L"machineMax"},
     0,
     false},
    {L"download", L"quorin-host " QUORIN_DOWNLOAD, {L"port", L"machine"}, 0, false},
    {L"backup", L"quorin-host " QUORIN_BACKUP, {L"port", L"machine"}, 2, false},
    {L"restore", L"quorin-host " QUORIN_RESTORE, {L"port", L"machine"}, 2, false},
    {L"check",
     L"quorin-host " QUORIN_CHECK,
     {L"portMin", L"portMax", L"machineMin", L"machineMax"},
     0,
     true},
};

// Reads the options before the command. Returns the index of the command; 0 after a usage
// error, -1 after printing the help.
int Options(int argc, wchar_t** argv) {
    int i = 1;
    for (; i < argc && argv[i][0] == L'-'; i += 2) {
        const std::wstring option = argv[i];
        if (option == L"-h" || option == L"--help") {
            Print(kUsage);
            return -1;
        }
        if (option != L"--scenario" && option != L"--format") {
            UsageError(L"unknown option: " + option, QUORIN_COMMAND_LINE);
            return 0;
        }
        if (i + 1 >= argc) {
            UsageError(option + L" wants a value", QUORIN_COMMAND_LINE);
            return 0;
        }
        const std::wstring value = argv[i + 1];
        if (option == L"--scenario") {
            // The simulated clock reads it when its first control starts, after this.
            wchar_t full[MAX_PATH * 2];
            const DWORD n = GetFullPathNameW(value.c_str(), MAX_PATH * 2, full, nullptr);
            SetEnvironmentVariableW(L"QUORIN_CLOCKSIM_SCENARIO",
                                    n && n < MAX_PATH * 2 ? full : value.c_str());
        } else if (value == L"text" || value == L"csv" || value == L"json") {
            g_format = value == L"text"  ? Format::kText
                       : value == L"csv" ? Format::kCsv
                                         : Format::kJson;
        } else {
            UsageError(L"--format takes text, csv or json, not " + value, QUORIN_COMMAND_LINE);
            return 0;
        }
    }
    if (i >= argc) {
        UsageError(L"no command given", QUORIN_COMMAND_LINE);
        return 0;
    }
    return i;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int at = Options(argc, argv);
    if (at < 0) return 0;
    if (!at) return 2;
    // From here argv[0] is the command, its arguments after it.
    argc -= at;
    argv += at;
    const std::wstring name = argv[0];
    const Command* command = nullptr;
    for (const Command& c : kCommands)
        if (name == c.name) command = &c;
    if (!command) return UsageError(L"unknown command: " + name, QUORIN_COMMAND_LINE);
    const size_t given = static_cast<size_t>(argc - 1),
                 wanted = command->numbers.size() + command->texts;
    const bool noRange = command->numbersOptional && given == 0;
    if (given != wanted && !noRange)
        return UsageError(name + L" takes " +
                              (command->numbersOptional ? L"no arguments or " : L"") +
                              std::to_wstring(wanted) + L", not " + std::to_wstring(given),
                          command->usage);
    short numbers[4] = {};
    if (!noRange && !ReadNumbers(argv + 1, command->numbers, numbers, command->usage)) return 2;
    if (g_format != Format::kText && name != L"discover" && name != L"download")
        return UsageError(L"--format csv and json apply to discover and download", command->usage);

    if (FAILED(CoInitialize(nullptr))) return 1;
    int rc = 0;
    if (name == L"discover") {
        rc = Discover(numbers);
    } else if (name == L"download") {
        rc = Download(numbers[0], numbers[1]);
    } else if (name == L"check") {
        rc = CheckCommand(noRange ? nullptr : numbers);
    } else {
        ComPtr<IMachine> driver = CreateDriver();
        if (!driver) {
            rc = 1;
        } else if (name == L"backup") {
            rc = BackupCommand(driver.get(), numbers[0], numbers[1], argv[3], argv[4]);
        } else {
            rc = RestoreCommand(driver.get(), numbers[0], numbers[1], argv[3], argv[4]);
        }
    }
    CoUninitialize();
    return rc;
}
