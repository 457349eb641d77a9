#include "tools/console/check.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

#include "com/com.h"
#include "com/module.h"
#include "trace/trace.h"
#include "contract/identity.h"
#include "tools/console/classes.h"
#include "tools/console/console.h"

using quorin::Bstr;
using quorin::ComPtr;
using quorin::GuidText;

namespace {

using namespace console;

class Report {
  public:
    void Item(bool ok, const std::wstring& name, const std::wstring& detail) {
        ++items_;
        if (!ok) ++failed_;
        Print((ok ? L"ok    " : L"FAIL  ") + name + L": " + detail + L"\n");
    }
    // A line that belongs to the item before it.
    void Detail(const std::wstring& text) { Print(L"        " + text + L"\n"); }
    int End() {
        if (!failed_) {
            Print(L"all " + std::to_wstring(items_) + L" items ok\n");
            return 0;
        }
        Print(std::to_wstring(failed_) + L" of " + std::to_wstring(items_) + L" items FAIL\n");
        const std::wstring note = RegisterNote();
        if (!note.empty()) Print(note + L"\n");
        return 1;
    }

  private:
    int items_ = 0, failed_ = 0;
};

std::wstring Label(const ReachedClass& c) {
    return std::wstring(c.kind) + L" " + c.name;
}

// The file version of its version resource, "8.71.0.0"; nothing when it has none.
std::optional<std::wstring> FileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (!size) return std::nullopt;
    std::vector<BYTE> data(size);
    void* fixed = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", &fixed, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return std::nullopt;
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
}

void CheckDriver(Report& report) {
    const Registration r = Lookup(kDriver);
    const std::wstring remedy = kDriver.remedy;
    if (!r.trouble.empty()) {
        report.Item(false, Label(kDriver), r.trouble + L"; " + remedy);
    } else {
        ComPtr<IMachine> driver;
        const HRESULT hr = Create(kDriver, __uuidof(IMachine), driver.put_void());
        const std::wstring registered =
            L"registered in " + ViewName() + L" as " + GuidText(r.clsid);
        report.Item(SUCCEEDED(hr), Label(kDriver),
                    SUCCEEDED(hr) ? registered + L", creatable"
                                  : registered + L", but cannot be created: " + HresultText(hr) +
                                        L"; " + remedy);
    }

    const bool present = r.file && FileExists(*r.file);
    if (!r.file) {
        report.Item(false, L"driver file", L"none registered; " + remedy);
    } else {
        report.Item(present, L"driver file",
                    present ? *r.file : *r.file + L" does not exist; " + remedy);
    }

    const std::optional<std::wstring> version = present ? FileVersion(*r.file) : std::nullopt;
    report.Item(version.has_value(), L"driver version",
                version   ? *version
                : present ? L"the file has no version resource, so it is no Quorin.dll; " + remedy
                          : L"unknown without the file");

    const std::optional<std::wstring> model =
        r.file
            ? RegistryText(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidText(r.clsid) + L"\\InprocServer32",
                           L"ThreadingModel")
            : std::nullopt;
    const bool apartment = model && _wcsicmp(model->c_str(), L"Apartment") == 0;
    report.Item(apartment, L"driver ThreadingModel",
                apartment ? *model
                : !r.file ? L"unknown without the registration"
                          : (model ? L"\"" + *model + L"\"" : std::wstring(L"missing")) +
                                L", not \"Apartment\": register the driver again; " + remedy);

    ComPtr<ITypeLib> library;
    const HRESULT hr = LoadRegTypeLib(quorin::kLibidQuorin, 1, 0, 0, library.put());
    Bstr path;
    QueryPathOfRegTypeLib(quorin::kLibidQuorin, 1, 0, 0, path.put());
    const std::wstring where =
        path.length() ? std::wstring(path.get(), wcsnlen(path.get(), path.length())) : L"";
    report.Item(SUCCEEDED(hr), L"driver type library",
                SUCCEEDED(hr) ? L"Quorin 1.0 " + GuidText(quorin::kLibidQuorin) +
                                    L" registered and loads from " + where
                              : L"Quorin 1.0 " + GuidText(quorin::kLibidQuorin) +
                                    L" cannot be loaded: " + HresultText(hr) +
                                    (where.empty() ? L"" : L" (registered as " + where + L")") +
                                    L"; " + remedy);
}

// A class the driver creates: creatable, and its registered file.
void CheckClass(Report& report, const ReachedClass& c) {
    ComPtr<IUnknown> object;
    const HRESULT hr = Create(c, IID_IUnknown, object.put_void());
    const Registration r = Lookup(c);
    if (SUCCEEDED(hr)) {
        report.Item(true, Label(c), L"creatable, " + (r.file ? *r.file : L"(no InprocServer32)"));
        return;
    }
    const std::wstring trouble = Trouble(r);
    report.Item(false, Label(c),
                L"cannot be created: " + HresultText(hr) +
                    (trouble.empty() ? L"" : L"; " + trouble) + L"; " + c.remedy);
}

// Why the trace cannot write to the file, or nothing when it can. Like the trace, it appends to a
// file that is there and would create one that is not; this looks without creating anything.
std::wstring TraceTrouble(const std::wstring& file) {
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return L"that is a folder";
        HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return L"it cannot be opened: " + HresultText(HRESULT_FROM_WIN32(GetLastError()));
        CloseHandle(h);
        return L"";
    }
    const size_t slash = file.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return L"";  // in the host's current folder
    const std::wstring folder = file.substr(0, slash);
    const DWORD folderAttributes = GetFileAttributesW(folder.c_str());
    if (folderAttributes == INVALID_FILE_ATTRIBUTES ||
        !(folderAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return L"its folder " + folder + L" does not exist";
    return L"";
}

void CheckTrace(Report& report) {
    const quorin::trace::Setting setting = quorin::trace::CurrentSetting();
    const std::wstring value = std::wstring(L"HKLM\\") + quorin::trace::kRegistryKey + L"\\" +
                               quorin::trace::kRegistryValue + L" in " + ViewName();
    if (setting.file.empty()) {
        report.Item(true, L"trace",
                    std::wstring(L"off (neither ") + quorin::trace::kEnvironmentVariable +
                        L" nor " + value + L" names a file)");
        return;
    }
    const std::wstring on =
        L"on, writes to " + setting.file + L" (named by " +
        (setting.fromEnvironment ? std::wstring(quorin::trace::kEnvironmentVariable) : value) +
        L")";
    const std::wstring trouble = TraceTrouble(setting.file);
    report.Item(trouble.empty(), L"trace",
                trouble.empty() ? on
                                : on + L", but " + trouble +
                                      L": nothing is traced until it can be written; name a file "
                                      L"in a folder the host may write to, or remove the setting");
}

void CheckScan(Report& report, const short range[4]) {
    const std::wstring what = L"ports " + std::to_wstring(range[0]) + L" to " +
                              std::to_wstring(range[1]) + L", machine numbers " +
                              std::to_wstring(range[2]) + L" to " + std::to_wstring(range[3]);
    ComPtr<IMachine> machine;
    HRESULT hr = Create(kDriver, __uuidof(IMachine), machine.put_void());
    if (FAILED(hr)) {
        report.Item(false, L"scan", what + L": the driver cannot be created: " + HresultText(hr));
        return;
    }
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr msg;
    std::vector<Found> found;
    hr = Scan(machine.get(), range, &ok, &msg, &found);
    const std::wstring message(msg.get(), msg.length());
    if (FAILED(hr)) {
        report.Item(false, L"scan", what + L": funcRegister failed: " + HresultText(hr));
    } else if (!ok) {
        report.Item(false, L"scan", what + L": discovery answered False: " + message);
    } else if (found.empty()) {
        report.Item(false, L"scan",
                    what +
                        L": no clock answers; check the lines, that the clocks are on, and "
                        L"their machine numbers");
    } else {
        report.Item(true, L"scan",
                    what + L": " + std::to_wstring(found.size()) +
                        (found.size() == 1 ? L" clock answers" : L" clocks answer"));
    }
    for (const Found& f : found)
        report.Detail(L"port " + Text(f.port.get()) + L", machine " + Text(f.machine.get()) +
                      L" (id " + Text(f.id.get()) + L")");
}

}  // namespace

int CheckCommand(const short* range) {
    Report report;
    Print(std::wstring(L"Quorin site check: a ") + (sizeof(void*) == 8 ? L"64" : L"32") +
          L"-bit process, reading " + ViewName() + L"\n");
    CheckDriver(report);
    for (const ReachedClass* c : {&kCardRecord, &kFoundMachine, &kCollection, &kDeviceControl})
        CheckClass(report, *c);
    CheckTrace(report);
    if (range) CheckScan(report, range);
    return report.End();
}
