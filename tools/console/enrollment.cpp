#include "tools/console/enrollment.h"

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "com/com.h"
#include "com/variant.h"
#include "com/text.h"
#include "standins/recordset/recordset.h"
#include "tools/console/classes.h"
#include "tools/console/console.h"

namespace {

using qt::RecordsetStandin;
using qt::Row;
using quorin::Bstr;
using quorin::ComPtr;
using quorin::Variant;

using quorin::Utf8;
using quorin::Wide;

using console::Print;
using console::PrintError;

// How the console shows a field value.
std::wstring Describe(const Variant& v) {
    switch (v.vt()) {
        case VT_EMPTY:
            return L"Empty";
        case VT_NULL:
            return L"Null";
        case VT_I2:
            return std::to_wstring(V_I2(v.get()));
        case VT_I4:
            return std::to_wstring(V_I4(v.get()));
        case VT_BSTR:
            return L"\"" + v.text() + L"\"";
        case VT_ARRAY | VT_UI1:
            return std::to_wstring(v.bytes().size()) + L" bytes";
        default:
            return L"(variant type " + std::to_wstring(v.vt()) + L")";
    }
}

void ShowRow(const Row& row) {
    for (const std::wstring& name : qt::EnrollmentColumns()) {
        auto it = row.find(name);
        Print(L"  " + name + L": " + (it == row.end() ? L"Null" : Describe(it->second)) + L"\n");
    }
}

// The row file: one field a line, "<name> <kind> <value>", kind one of NULL, EMPTY, I2, I4, TEXT
// (UTF-8 to the end of the line) and BYTES (hexadecimal).
std::string FieldLine(const std::wstring& name, const Variant& v) {
    std::string line = Utf8(name) + ' ';
    switch (v.vt()) {
        case VT_EMPTY:
            return line + "EMPTY";
        case VT_I2:
            return line + "I2 " + std::to_string(V_I2(v.get()));
        case VT_I4:
            return line + "I4 " + std::to_string(V_I4(v.get()));
        case VT_BSTR:
            return line + "TEXT " + Utf8(v.text());
        case VT_ARRAY | VT_UI1: {
            static const char digits[] = "0123456789abcdef";
            line += "BYTES ";
            for (BYTE b : v.bytes()) {
                line += digits[b >> 4];
                line += digits[b & 15];
            }
            return line;
        }
        default:
            return line + "NULL";
    }
}

bool SaveRow(const wchar_t* path, const Row& row) {
    FILE* file = _wfopen(path, L"wb");
    if (!file) return false;
    bool ok = true;
    for (const auto& [name, value] : row) {
        std::string line = FieldLine(name, value) + '\n';
        ok = ok && fwrite(line.data(), 1, line.size(), file) == line.size();
    }
    return fclose(file) == 0 && ok;
}

bool ParseField(const std::string& line, Row* row) {
    size_t a = line.find(' ');
    if (a == std::string::npos) return false;
    size_t b = line.find(' ', a + 1);
    const std::wstring name = Wide(line.substr(0, a));
    const std::string kind = line.substr(a + 1, b == std::string::npos ? b : b - a - 1);
    const std::string rest = b == std::string::npos ? std::string() : line.substr(b + 1);
    if (kind == "NULL") {
        (*row)[name] = Variant::Null();
    } else if (kind == "EMPTY") {
        (*row)[name] = Variant();
    } else if (kind == "I2") {
        (*row)[name] = Variant::I2(static_cast<short>(std::strtol(rest.c_str(), nullptr, 10)));
    } else if (kind == "I4") {
        (*row)[name] = Variant::I4(std::strtol(rest.c_str(), nullptr, 10));
    } else if (kind == "TEXT") {
        (*row)[name] = Variant::Text(Wide(rest));
    } else if (kind == "BYTES") {
        if (rest.size() % 2) return false;
        std::vector<BYTE> bytes;
        for (size_t i = 0; i < rest.size(); i += 2)
            bytes.push_back(static_cast<BYTE>(std::stoul(rest.substr(i, 2), nullptr, 16)));
        (*row)[name] = Variant::Bytes(bytes);
    } else {
        return false;
    }
    return true;
}

bool LoadRow(const wchar_t* path, Row* row) {
    FILE* file = _wfopen(path, L"rb");
    if (!file) return false;
    std::string content;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) content.append(buffer, n);
    fclose(file);
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && !ParseField(line, row)) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

int BackupCommand(IMachine* driver, short port, short machine, const wchar_t* person,
                  const wchar_t* rowfile) {
    ComPtr<RecordsetStandin> rs = RecordsetStandin::Create();
    // Like the host's table, a new row starts with an empty template rather than Null, so that a
    // password row can be restored too.
    rs->defaults[L"bFingerprint"] = Variant::Bytes({});
    Bstr ip(L""), number(person);
    BSTR msg = SysAllocString(L"");
    _ADORecordset* rows = rs.get();
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr = driver->funcBackFingure(VARIANT_TRUE, ip.get(), port, machine, number.get(), &rows,
                                         &msg, &ok);
    Bstr owned = Bstr::adopt(msg);
    if (FAILED(hr)) return console::CallFailed(L"funcBackFingure", hr, {&console::kDeviceControl});
    Print(std::wstring(L"funcBackFingure: ") + (ok ? L"True" : L"False") + L"\n");
    if (!ok) console::TellMissing({&console::kDeviceControl});
    if (!ok || rs->rows.empty()) return 1;
    ShowRow(rs->rows[rs->position]);
    if (!SaveRow(rowfile, rs->rows[rs->position])) {
        PrintError(std::wstring(L"quorin-host: cannot write ") + rowfile + L"\n");
        return 1;
    }
    Print(std::wstring(L"row kept in ") + rowfile + L"\n");
    return 0;
}

int RestoreCommand(IMachine* driver, short port, short machine, const wchar_t* person,
                   const wchar_t* rowfile) {
    ComPtr<RecordsetStandin> rs = RecordsetStandin::Create();
    Row row;
    if (!LoadRow(rowfile, &row)) {
        PrintError(std::wstring(L"quorin-host: cannot read a row from ") + rowfile + L"\n");
        return 1;
    }
    Print(std::wstring(L"row from ") + rowfile + L":\n");
    ShowRow(row);
    rs->rows.push_back(row);
    Bstr ip(L""), number(person);
    BSTR msg = SysAllocString(L"");
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr = driver->funcReWrite(VARIANT_TRUE, ip.get(), port, machine, number.get(), rs.get(),
                                     &msg, &ok);
    Bstr owned = Bstr::adopt(msg);
    if (FAILED(hr)) return console::CallFailed(L"funcReWrite", hr, {&console::kDeviceControl});
    Print(std::wstring(L"funcReWrite: ") + (ok ? L"True" : L"False") + L"\n");
    if (!ok) console::TellMissing({&console::kDeviceControl});
    return ok ? 0 : 1;
}
