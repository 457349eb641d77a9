// The console's site check as support runs it, in a fresh prefix of this test's own: copies of
// the driver and the stand-ins registered in a folder of their own, every item ok; then the site
// broken one piece after another (a class unregistered, a file missing, a setting wrong), each
// check naming exactly the items that fail, and the other commands telling which class is
// missing and how to put it back.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/console_host.h"
#include "tests/support.h"

namespace {

using qt::Ran;
using qt::RunHost;
using Items = std::set<std::string>;

// As the host and the device maker publish them.
const wchar_t kClasses[] = L"Software\\Classes\\";
const wchar_t kDriverClass[] = L"CLSID\\{868DE1EB-2CA2-43C2-9D8C-E5D10182A937}";
const wchar_t kCardRecordClass[] = L"CLSID\\{D4FAC9BF-C868-4492-AD30-D1E151711048}";
const wchar_t kCollectionClass[] = L"CLSID\\{A4C4671C-499F-101B-BB78-00AA00383CBB}";
const wchar_t kClockClass[] = L"CLSID\\{00853A19-BD51-419B-9269-2DABE57EB61F}";
const wchar_t kDriverLibrary[] = L"TypeLib\\{D6E5994A-10CC-4129-81B8-78876DBEFBFF}";

const char kSite[] = R"({"devices": [{"port": 1, "machine": 1}, {"port": 2, "machine": 5}]})";

const wchar_t* const kDlls[] = {L"Quorin.dll", L"PeltMachine.dll", L"VbCollection.dll",
                                L"ClockSim.dll"};

std::wstring FolderOf(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring ThisFolder() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return FolderOf(self);
}

std::wstring Env(const wchar_t* name) {
    wchar_t value[256] = {};
    const DWORD n = GetEnvironmentVariableW(name, value, 256);
    return n < 256 ? std::wstring(value, n) : std::wstring();
}

// The names of the items whose lines say FAIL.
Items FailingItems(const std::string& report) {
    Items failing;
    size_t start = 0;
    while (start < report.size()) {
        size_t end = report.find('\n', start);
        if (end == std::string::npos) end = report.size();
        const std::string line = report.substr(start, end - start);
        if (line.rfind("FAIL  ", 0) == 0) failing.insert(line.substr(6, line.find(": ") - 6));
        start = end + 1;
    }
    return failing;
}

// The whole line of an item.
std::string LineOf(const std::string& report, const std::string& item) {
    for (const char* mark : {"ok    ", "FAIL  "}) {
        const size_t at = report.find(std::string(mark) + item + ": ");
        if (at != std::string::npos) return report.substr(at, report.find('\r', at) - at);
    }
    return "(no line for " + item + ")";
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void DeleteKey(const std::wstring& key) {
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kClasses + key).c_str()))
        << qt::Utf8(key);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kClasses + key).c_str());
}

class Check : public testing::Test {
  protected:
    // The driver and the stand-ins copied into the site's folder and registered from there, as
    // regsvr32 registers them, without a process each.
    void SetUp() override {
        SetEnvironmentVariableW(L"QUORIN_CLOCKSIM_SCENARIO", nullptr);
        SetEnvironmentVariableW(L"QUORIN_TRACE", nullptr);
        site_ = FolderOf(qt::TempFile(L"site.json", kSite));
        for (const wchar_t* dll : kDlls) {
            const std::wstring copy = site_ + L"\\" + dll;
            ASSERT_TRUE(CopyFileW((ThisFolder() + L"\\" + dll).c_str(), copy.c_str(), FALSE));
            HMODULE module = LoadLibraryW(copy.c_str());
            ASSERT_NE(nullptr, module) << qt::Utf8(copy);
            const auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
                reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
            ASSERT_NE(nullptr, registerServer);
            EXPECT_EQ(S_OK, registerServer()) << qt::Utf8(copy);
            FreeLibrary(module);
        }
    }

    // The check, with the items that fail; the report is kept in report_.
    Items Failing(const std::wstring& args = L"check") {
        const Ran ran = RunHost(args);
        report_ = ran.out;
        EXPECT_EQ("", ran.err);
        const Items failing = FailingItems(ran.out);
        EXPECT_EQ(failing.empty() ? 0u : 1u, ran.exit) << ran.out;
        return failing;
    }

    std::string Line(const std::string& item) const { return LineOf(report_, item); }

    std::wstring site_;
    std::string report_;
};

TEST_F(Check, NamesEachMissingPieceAndWhatToDo) {
    const std::string site = qt::Utf8(site_);
    const std::wstring trace = site_ + L"\\trace.log";
    SetEnvironmentVariableW(L"QUORIN_TRACE", trace.c_str());
    EXPECT_EQ(Items{}, Failing(L"--scenario \"" + site_ + L"\\site.json\" check 1 4 1 5"));
    const std::string view =
        sizeof(void*) == 8 ? "the registry's 64-bit view" : "the registry's 32-bit view";
    EXPECT_TRUE(Has(report_, "-bit process, reading " + view)) << report_;
    EXPECT_TRUE(Has(Line("driver Quorin.clsMachine"), "registered in " + view +
                                                          " as {868DE1EB-2CA2-43C2-9D8C-"
                                                          "E5D10182A937}, creatable"))
        << report_;
    EXPECT_TRUE(Has(Line("driver file"), site + "\\Quorin.dll")) << report_;
    EXPECT_TRUE(Has(Line("driver version"), qt::Utf8(Env(L"QUORIN_VERSION")) + ".0.0")) << report_;
    EXPECT_TRUE(Has(Line("driver ThreadingModel"), "Apartment")) << report_;
    EXPECT_TRUE(Has(Line("driver type library"), "loads from " + site + "\\Quorin.dll")) << report_;
    for (const char* item : {"record class CardRecord", "record class FoundMachine"})
        EXPECT_TRUE(Has(Line(item), "creatable, " + site + "\\PeltMachine.dll")) << report_;
    EXPECT_TRUE(Has(Line("collection class Collection"), site + "\\VbCollection.dll")) << report_;
    EXPECT_TRUE(Has(Line("device control ClockLinkCtl.ClockCtl"), site + "\\ClockSim.dll"))
        << report_;
    EXPECT_TRUE(Has(Line("trace"), "on, writes to " + qt::Utf8(trace) + " (named by QUORIN_TRACE)"))
        << report_;
    EXPECT_TRUE(Has(report_,
                    "ok    scan: ports 1 to 4, machine numbers 1 to 5: 2 clocks answer\r\n"
                    "        port 1, machine 1 (id 1)\r\n"
                    "        port 2, machine 5 (id 5)\r\n"
                    "all 11 items ok\r\n"))
        << report_;

    // A setting wrong: ThreadingModel gone, the registry's trace file in a folder that is not.
    SetEnvironmentVariableW(L"QUORIN_TRACE", nullptr);
    ASSERT_EQ(
        ERROR_SUCCESS,
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE,
                           (kClasses + std::wstring(kDriverClass) + L"\\InprocServer32").c_str(),
                           L"ThreadingModel"));
    const wchar_t nowhere[] = L"C:\\no-such-folder\\trace.log";
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Quorin", L"TraceFile",
                                             REG_SZ, nowhere, sizeof nowhere));
    Items failing = {"driver ThreadingModel", "trace"};
    EXPECT_EQ(failing, Failing());
    EXPECT_TRUE(Has(Line("driver ThreadingModel"), "missing, not \"Apartment\"")) << report_;
    EXPECT_TRUE(Has(Line("trace"),
                    "C:\\no-such-folder\\trace.log (named by "
                    "HKLM\\Software\\Quorin\\TraceFile in " +
                        view + "), but its folder C:\\no-such-folder does not exist"))
        << report_;

    // The device control unregistered, and registered in the other view only, as the other
    // kind's regsvr32 registers: a download says so, and so does the check.
    DeleteKey(kClockClass);
    const bool is64 = sizeof(void*) == 8;
    const std::wstring otherView = (kClasses + std::wstring(kClockClass)) + L"\\InprocServer32";
    {
        quorin::RegKey other;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_LOCAL_MACHINE, otherView.c_str(), 0, nullptr, 0,
                                  KEY_WRITE | (is64 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY), nullptr,
                                  other.put(), nullptr));
        const wchar_t elsewhere[] = L"C:\\other\\ClockSim.dll";
        EXPECT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(other.get(), nullptr, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(elsewhere), sizeof elsewhere));
    }
    Ran ran = RunHost(L"download 1 1");
    EXPECT_EQ(1u, ran.exit);
    for (const char* said :
         {"ClockLinkCtl.ClockCtl cannot be created: 0x80040154 Class not registered",
          "It is the device control", "regsvr32 ClockSim.dll"})
        EXPECT_TRUE(Has(ran.err, said)) << said << "\n" << ran.err;
    failing.insert("device control ClockLinkCtl.ClockCtl");
    EXPECT_EQ(failing, Failing());
    EXPECT_TRUE(Has(Line("device control ClockLinkCtl.ClockCtl"),
                    "is not registered in " + view + " (it is registered only in the " +
                        (is64 ? "32" : "64") + "-bit view, where the " + (is64 ? "32" : "64") +
                        "-bit regsvr32 writes)"))
        << report_;

    // The collection class and one record class unregistered.
    DeleteKey(kCollectionClass);
    DeleteKey(kCardRecordClass);
    failing.insert({"collection class Collection", "record class CardRecord"});
    EXPECT_EQ(failing, Failing());
    EXPECT_TRUE(Has(Line("collection class Collection"), "regsvr32 VbCollection.dll")) << report_;

    // The record classes' file missing, and the driver's type library unregistered.
    ASSERT_TRUE(DeleteFileW((site_ + L"\\PeltMachine.dll").c_str()));
    DeleteKey(kDriverLibrary);
    failing.insert({"record class FoundMachine", "driver type library"});
    EXPECT_EQ(failing, Failing());
    EXPECT_TRUE(Has(Line("record class FoundMachine"),
                    "it is registered as " + site + "\\PeltMachine.dll, which does not exist"))
        << report_;

    // The driver's file missing; the trace setting gone, so the trace is off and ok again.
    ASSERT_TRUE(DeleteFileW((site_ + L"\\Quorin.dll").c_str()));
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Quorin", L"TraceFile");
    failing.erase("trace");
    failing.insert({"driver Quorin.clsMachine", "driver file", "driver version"});
    EXPECT_EQ(failing, Failing());
    EXPECT_TRUE(Has(Line("driver file"), site + "\\Quorin.dll does not exist")) << report_;
    EXPECT_TRUE(Has(Line("trace"), "off")) << report_;

    // The driver unregistered: a download says which class, how to put it back, and the
    // HRESULT with its text.
    DeleteKey(L"Quorin.clsMachine");
    EXPECT_EQ(failing, Failing());
    EXPECT_TRUE(
        Has(Line("driver Quorin.clsMachine"),
            "Quorin.clsMachine is not registered in " + view + "; install the package (msiexec /i"))
        << report_;
    ran = RunHost(L"download 1 1");
    EXPECT_EQ(1u, ran.exit);
    EXPECT_EQ("", ran.out);
    for (const char* said : {"Quorin.clsMachine cannot be created: 0x800401F3 Invalid class string",
                             "It is the driver.", "msiexec /i Quorin-", "regsvr32 Quorin.dll"})
        EXPECT_TRUE(Has(ran.err, said)) << said << "\n" << ran.err;
}

}  // namespace
