// quorin-host: a small host session. It creates the driver by its ProgID, obtains IMachine and
// runs one operation against whatever clock control is registered, printing what it got.
//
//   quorin-host [--scenario FILE] [--format text|csv|json] <command> ...
//
//   quorin-host discover <portMin> <portMax> <machineMin> <machineMax>
//   quorin-host download <port> <machine>
//   quorin-host backup <port> <machine> <person> <rowfile>
//   quorin-host restore <port> <machine> <person> <rowfile>
//
// --scenario names the simulated clock's scenario file (it sets QUORIN_CLOCKSIM_SCENARIO for
// this process, before the control starts). --format csv or json prints the records of discover
// and download as a table for other tools, and the result, when False, on the error output.
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
#include "standins/common/text.h"
#include "tools/console/enrollment.h"

using quorin::Bstr;
using quorin::ComPtr;
using quorin::Variant;

namespace {

using nlohmann::json;

using standins::Utf8;

void Write(FILE* to, const std::string& bytes) {
    fwrite(bytes.data(), 1, bytes.size(), to);
    fflush(to);
}

void Print(const std::wstring& text) {
    Write(stdout, Utf8(text));
}

std::wstring Text(const VARIANT* v);

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
        Write(stderr, Utf8(text));
    }
}

std::wstring Text(const VARIANT* v) {
    Variant text;
    if (FAILED(
            VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(v), LOCALE_INVARIANT, 0, VT_BSTR)))
        return L"?";
    return std::wstring(V_BSTR(text.get()), SysStringLen(V_BSTR(text.get())));
}

short Arg(wchar_t** argv, int i) {
    return static_cast<short>(_wtoi(argv[i]));
}

int Fail(const wchar_t* what, HRESULT hr) {
    wchar_t line[160];
    swprintf(line, 160, L"%ls failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    Print(line);
    return 1;
}

template <class F>
void ForEachItem(_Collection* col, F&& each) {
    long count = 0;
    col->Count(&count);
    for (long i = 1; i <= count; ++i) {
        Variant index = Variant::I4(i), item;
        if (FAILED(col->Item(index.get(), item.get())) || V_VT(item.get()) != VT_DISPATCH) continue;
        each(V_DISPATCH(item.get()));
    }
}

int Discover(IMachine* machine, int argc, wchar_t** argv) {
    if (argc != 6) {
        Print(L"usage: quorin-host discover <portMin> <portMax> <machineMin> <machineMax>\n");
        return 2;
    }
    ComPtr<_Collection> col;
    Bstr msg(L"");
    Bstr none(L"");
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr =
        machine->funcRegister(col.put(), VARIANT_TRUE, Arg(argv, 2), Arg(argv, 3), none.get(),
                              none.get(), Arg(argv, 4), Arg(argv, 5), msg.put(), &ok);
    if (FAILED(hr)) return Fail(L"funcRegister", hr);
    Report(L"funcRegister", ok, msg);
    Table table({"port", "machine", "machine_id", "address"});
    if (col) {
        ForEachItem(col.get(), [&table](IDispatch* item) {
            ComPtr<_FoundMachine> found;
            if (FAILED(item->QueryInterface(__uuidof(_FoundMachine), found.put_void()))) return;
            Variant no, port, id, address;
            found->get_MachineNo(no.get());
            found->get_Port(port.get());
            found->get_MachineId(id.get());
            found->get_Address(address.get());
            if (g_format == Format::kText) {
                Print(L"  found: port " + Text(port.get()) + L", machine " + Text(no.get()) +
                      L" (id " + Text(id.get()) + L")\n");
            } else {
                table.Add({Cell(port.get()), Cell(no.get()), Cell(id.get()), Cell(address.get())});
            }
        });
    }
    table.End();
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

int Download(IMachine* machine, int argc, wchar_t** argv) {
    if (argc != 4) {
        Print(L"usage: quorin-host download <port> <machine>\n");
        return 2;
    }
    CLSID clsid;
    ComPtr<_Collection> col;
    HRESULT hr = CLSIDFromProgID(L"VBA.Collection", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(_Collection),
                              col.put_void());
    if (FAILED(hr)) return Fail(L"creating a VBA.Collection", hr);
    Bstr msg(L"");
    Bstr none(L"");
    VARIANT_BOOL ok = VARIANT_FALSE;
    // The collection goes by reference; the driver appends to it and never replaces it.
    _Collection* cdata = col.detach();
    hr = machine->DownloadCarddata(VARIANT_TRUE, none.get(), Arg(argv, 2), Arg(argv, 3), &cdata,
                                   msg.inout(), &ok);
    col = ComPtr<_Collection>::adopt(cdata);
    if (FAILED(hr)) return Fail(L"DownloadCarddata", hr);
    Table table({"person", "swipe_time"});
    ForEachItem(col.get(), [&table](IDispatch* item) {
        ComPtr<_CardRecord> card;
        if (FAILED(item->QueryInterface(__uuidof(_CardRecord), card.put_void()))) return;
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
    return ok ? 0 : 1;
}

const wchar_t kUsage[] =
    L"usage: quorin-host [--scenario FILE] [--format text|csv|json] <command> ...\n"
    L"       quorin-host discover <portMin> <portMax> <machineMin> <machineMax>\n"
    L"       quorin-host download <port> <machine>\n"
    L"       quorin-host backup <port> <machine> <person> <rowfile>\n"
    L"       quorin-host restore <port> <machine> <person> <rowfile>\n";

// Reads the options before the command; returns the index of the command, or 0 after printing
// what is wrong.
int Options(int argc, wchar_t** argv) {
    int i = 1;
    for (; i < argc && wcsncmp(argv[i], L"--", 2) == 0; i += 2) {
        const std::wstring option = argv[i];
        if (i + 1 >= argc || (option != L"--scenario" && option != L"--format")) {
            Print(L"unknown option or missing value: " + option + L"\n" + kUsage);
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
            Print(L"--format takes text, csv or json, not " + value + L"\n");
            return 0;
        }
    }
    if (i >= argc) {
        Print(kUsage);
        return 0;
    }
    return i;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int at = Options(argc, argv);
    if (!at) return 2;
    // The commands read their arguments from index 2, after the command at index 1.
    argc -= at - 1;
    argv += at - 1;
    const std::wstring command = argv[1];
    const bool tabular = command == L"discover" || command == L"download";
    if (g_format != Format::kText && !tabular) {
        Print(L"--format csv and json apply to discover and download\n");
        return 2;
    }
    if (FAILED(CoInitialize(nullptr))) return 1;
    int rc = 0;
    {
        CLSID clsid;
        HRESULT hr = CLSIDFromProgID(L"Quorin.clsMachine", &clsid);
        if (FAILED(hr)) return Fail(L"CLSIDFromProgID(Quorin.clsMachine)", hr);
        ComPtr<IMachine> machine;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IMachine),
                              machine.put_void());
        if (FAILED(hr)) return Fail(L"CoCreateInstance", hr);
        if (command == L"discover") {
            rc = Discover(machine.get(), argc, argv);
        } else if (command == L"download") {
            rc = Download(machine.get(), argc, argv);
        } else if (command == L"backup") {
            rc = BackupCommand(machine.get(), argc, argv);
        } else if (command == L"restore") {
            rc = RestoreCommand(machine.get(), argc, argv);
        } else {
            Print(L"unknown command: " + command + L"\n");
            rc = 2;
        }
    }
    CoUninitialize();
    return rc;
}
