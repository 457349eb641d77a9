// The Windows Installer package as a site installs it, in a fresh prefix of its own where only the
// stand-ins are registered: an older version is replaced by this one, an older one does not
// install over it, a host creates the driver by its ProgID from the installed file and downloads
// from the simulated clock, and uninstalling leaves the registry as it was before. The package's
// keys are those that regsvr32 writes for a file at the same place. QUORIN_PACKAGE,
// QUORIN_OLDER_PACKAGE and QUORIN_PACKAGE_DLL name the packages and the file the package carries,
// QUORIN_VERSION and QUORIN_OLDER_VERSION the packages' versions.
#include <windows.h>
#include <msi.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/registry.h"
#include "tests/support.h"

namespace {

using namespace qt;

constexpr bool k64 = sizeof(void*) == 8;
// The package's upgrade code, one for each kind (installer/Quorin.wxs).
const wchar_t* const kUpgradeCode =
    k64 ? L"{792544BB-56EF-4F3E-9DBB-8854179FFB81}" : L"{3B6E9835-11EA-4A1E-86F1-13A2D1F3A6D2}";
const std::wstring kIid = L"{DC84393F-9880-4B19-AC13-B0C72743C5F6}";

std::wstring Env(const wchar_t* name) {
    wchar_t value[2048] = {};
    DWORD n = GetEnvironmentVariableW(name, value, 2048);
    return n > 0 && n < 2048 ? value : L"";
}

// Where the package installs for a host of this program's kind.
std::wstring InstallFolder() {
    wchar_t folder[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%ProgramFiles%\\Quorin", folder, MAX_PATH);
    return folder;
}
std::wstring InstalledFile() {
    return InstallFolder() + L"\\Quorin.dll";
}

std::string Bytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// msiexec as an administrator runs it at the command prompt: the system's own, 64-bit on a 64-bit
// system, which a 32-bit program reaches through sysnative.
DWORD Msiexec(const std::wstring& args) {
    wchar_t path[MAX_PATH] = {};
    ExpandEnvironmentStringsW(
        k64 ? L"%SystemRoot%\\system32\\msiexec.exe" : L"%SystemRoot%\\sysnative\\msiexec.exe",
        path, MAX_PATH);
    const std::wstring msiexec = Exists(path) ? path : L"msiexec.exe";
    return RunProgram(L"\"" + msiexec + L"\" " + args + L" /qn");
}
DWORD Regsvr32(const std::wstring& args) {
    return RunProgram(L"regsvr32.exe /s " + args + L"\"" + InstalledFile() + L"\"");
}

// The products installed under the package's upgrade code, with their versions.
std::vector<std::wstring> InstalledVersions() {
    std::vector<std::wstring> versions;
    wchar_t product[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(kUpgradeCode, 0, i, product) == ERROR_SUCCESS; ++i) {
        wchar_t version[64] = {};
        DWORD n = 64;
        MsiGetProductInfoW(product, INSTALLPROPERTY_VERSIONSTRING, version, &n);
        versions.push_back(version);
    }
    return versions;
}

// Values that change by themselves between two looks, whatever the test does.
bool Volatile(const std::wstring& path) {
    for (const wchar_t* key : {L"hklm\\software\\microsoft\\cryptography\\rng",
                               L"hklm\\software\\wow6432node\\microsoft\\cryptography\\rng"})
        if (Under(path, key)) return true;
    return false;
}

// The Windows Installer's own record of what it installed, as opposed to what the package
// writes for the driver.
bool InstallerRecord(const std::wstring& path) {
    for (const wchar_t* key : {
             L"hklm\\software\\classes\\installer",
             L"hklm\\software\\microsoft\\windows\\currentversion\\installer",
             L"hklm\\software\\microsoft\\windows\\currentversion\\uninstall",
             L"hklm\\software\\wow6432node\\microsoft\\windows\\currentversion\\uninstall",
         })
        if (Under(path, key)) return true;
    return false;
}

// The whole registry as the prefix holds it (both views, every user), less the volatile values
// and the empty keys of the Windows Installer's own record, which it makes on first use and
// keeps, as on every machine where something was ever installed (their values do count).
Snapshot Registry() {
    Snapshot all, stable;
    Walk(HKEY_LOCAL_MACHINE, L"HKLM", KEY_WOW64_64KEY, all);
    Walk(HKEY_USERS, L"HKU", KEY_WOW64_64KEY, all);
    for (auto& [k, v] : all) {
        const bool key = k.back() == L'\\';
        if (!Volatile(k) && !(key && InstallerRecord(k))) stable.emplace(k, v);
    }
    return stable;
}

Snapshot DriverPart(const Snapshot& changes) {
    Snapshot out;
    for (const auto& [k, v] : changes)
        if (!InstallerRecord(k)) out.emplace(k, v);
    return out;
}

// A host process of this program's kind, the console, downloads two swipes from the simulated
// clock through the driver it creates by its ProgID: in this prefix only the installed file is
// registered. What it prints, or why it failed.
std::string DownloadThroughInstalledDriver() {
    const std::wstring site = TempFile(
        L"installed-site.json",
        R"({"devices": [{"port": 2, "machine": 4, "log": [)"
        R"({"person": 101, "time": "2026-01-05T08:30"}, {"person": 102, "time": "2026-01-05T17:02"}]}]})");
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring console = self;
    console = console.substr(0, console.find_last_of(L'\\') + 1) + L"quorin-host.exe";
    std::string out;
    const DWORD code = RunProgram(
        L"\"" + console + L"\" --scenario \"" + site + L"\" --format csv download 2 4", &out);
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    return code == 0 ? out : "exit code " + std::to_string(code) + ": " + out;
}

TEST(Package, UpgradesServesUninstallsAndWritesWhatRegsvr32Writes) {
    const std::wstring package = Env(L"QUORIN_PACKAGE"), older = Env(L"QUORIN_OLDER_PACKAGE");
    const std::string shipped = Bytes(Env(L"QUORIN_PACKAGE_DLL"));
    const std::wstring version = Env(L"QUORIN_VERSION"),
                       olderVersion = Env(L"QUORIN_OLDER_VERSION");
    ASSERT_FALSE(package.empty() || older.empty() || shipped.empty() || version.empty() ||
                 olderVersion.empty())
        << "QUORIN_PACKAGE, QUORIN_OLDER_PACKAGE, QUORIN_PACKAGE_DLL and their versions are unset";
    ASSERT_FALSE(Exists(InstallFolder())) << "the prefix is not fresh";
    ASSERT_EQ(std::vector<std::wstring>{}, InstalledVersions());
    const Snapshot before = Registry();

    // An older version, then this one over it: one product is left, with this version's file.
    ASSERT_EQ(0u, Msiexec(L"/i \"" + older + L"\""));
    EXPECT_EQ(std::vector<std::wstring>{olderVersion}, InstalledVersions());
    EXPECT_EQ(shipped + "older build", Bytes(InstalledFile()));
    ASSERT_EQ(0u, Msiexec(L"/i \"" + package + L"\""));
    EXPECT_EQ(std::vector<std::wstring>{version}, InstalledVersions());
    EXPECT_TRUE(Bytes(InstalledFile()) == shipped) << "the installed file is not this version's";
    // The older one does not go back over it.
    EXPECT_EQ(DWORD(ERROR_INSTALL_FAILURE), Msiexec(L"/i \"" + older + L"\""));
    EXPECT_EQ(std::vector<std::wstring>{version}, InstalledVersions());
    EXPECT_TRUE(Bytes(InstalledFile()) == shipped);

    const Snapshot installed = Registry();
    EXPECT_EQ(Snapshot{}, Difference(installed, before)) << "installing removed or changed entries";
    Snapshot written = DriverPart(Difference(before, installed));
    if (!k64) {
        // For a 32-bit component Wine's installer puts the ProgID key into the 32-bit view's
        // classes (seen under both of their names), where Windows and a 32-bit regsvr32 under
        // Wine write the key that both views share. Compared where regsvr32 writes it; the
        // uninstall must still remove it from where it is (compared below).
        const std::wstring shared = L"hklm\\software\\classes\\quorin.clsmachine";
        const std::wstring own = L"hklm\\software\\classes\\wow6432node\\quorin.clsmachine";
        const std::wstring alias = L"hklm\\software\\wow6432node\\classes\\quorin.clsmachine";
        const Snapshot copied = Within(written, own);
        Snapshot seen;
        for (const auto& [k, v] : Within(written, alias)) seen[own + k.substr(alias.size())] = v;
        EXPECT_EQ(copied, seen);
        for (const auto& [k, v] : copied) {
            written.erase(k);
            written.erase(alias + k.substr(own.size()));
            written[shared + k.substr(own.size())] = v;
        }
    }
    EXPECT_EQ(
        L"1:" + Lower(InstalledFile()),
        Lower(written.at(Lower(L"HKLM\\Software\\Classes\\") + (k64 ? L"" : L"wow6432node\\") +
                         L"clsid\\{868de1eb-2ca2-43c2-9d8c-e5d10182a937}\\inprocserver32|")));

    EXPECT_EQ("person,swipe_time\n101,2026-01-05T08:30:00\n102,2026-01-05T17:02:00\n",
              DownloadThroughInstalledDriver());

    ASSERT_EQ(0u, Msiexec(L"/x \"" + package + L"\""));
    EXPECT_EQ(std::vector<std::wstring>{}, InstalledVersions());
    EXPECT_FALSE(Exists(InstallFolder()));
    {
        SCOPED_TRACE("after the package's uninstall");
        ExpectSame(before, Registry());
    }

    // The same file at the same place, registered by regsvr32: the same keys and values.
    ASSERT_TRUE(CreateDirectoryW(InstallFolder().c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(Env(L"QUORIN_PACKAGE_DLL").c_str(), InstalledFile().c_str(), TRUE));
    ASSERT_EQ(0u, Regsvr32(L""));
    const Snapshot registered = Registry();
    EXPECT_EQ(Snapshot{}, Difference(registered, before)) << "regsvr32 removed or changed entries";
    Snapshot selfWritten = Difference(before, registered);
    if (!k64) {
        // A 32-bit registration also registers the interface for 64-bit processes, in the
        // 64-bit view, where a 32-bit package cannot write: the copy of the 32-bit view's keys.
        const std::wstring copy = Lower(L"HKLM\\Software\\Classes\\Interface\\" + kIid);
        const std::wstring own = Lower(L"HKLM\\Software\\Classes\\Wow6432Node\\Interface\\" + kIid);
        Snapshot copied;
        for (const auto& [k, v] : Within(selfWritten, copy))
            copied[own + k.substr(copy.size())] = v;
        EXPECT_EQ(Within(written, own), copied);
        for (const auto& [k, v] : Within(selfWritten, copy)) selfWritten.erase(k);
    }
    {
        SCOPED_TRACE("regsvr32's values against the package's");
        ExpectSame(selfWritten, written);
    }

    ASSERT_EQ(0u, Regsvr32(L"/u "));
    EXPECT_TRUE(DeleteFileW(InstalledFile().c_str()));
    EXPECT_TRUE(RemoveDirectoryW(InstallFolder().c_str()));
    SCOPED_TRACE("after regsvr32 /u");
    ExpectSame(before, Registry());
}

}  // namespace
