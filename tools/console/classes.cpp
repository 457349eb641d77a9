#include "tools/console/classes.h"

#include <objbase.h>

#include <cwchar>
#include <cwctype>

#include "com/com.h"
#include "com/errors.h"
#include "com/module.h"
#include "contract/identity.h"
#include "tools/console/console.h"

namespace console {

namespace {

// The package of this console's kind, named after the version it was built with.
#ifdef _WIN64
#define QUORIN_CONSOLE_PACKAGE L"Quorin-" QUORIN_PACKAGE_VERSION L"-x64.msi"
#else
#define QUORIN_CONSOLE_PACKAGE L"Quorin-" QUORIN_PACKAGE_VERSION L".msi"
#endif

const wchar_t kRecordRemedy[] =
    L"install or repair the host application, which registers PeltMachine.dll, or register that "
    L"file: regsvr32 PeltMachine.dll";

#ifndef _WIN64
bool Wow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}
#endif

// The view this process does not read, where there is one.
REGSAM OtherView() {
#ifdef _WIN64
    return KEY_WOW64_32KEY;
#else
    return Wow64() ? KEY_WOW64_64KEY : 0;
#endif
}

// Whether the other view has the key under HKLM\Software\Classes, where a registration there went.
bool InOtherView(const std::wstring& classesKey, const wchar_t* name) {
    return OtherView() &&
           RegistryText(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + classesKey, name, OtherView());
}

std::wstring OtherViewNote(const std::wstring& classesKey, const wchar_t* name) {
    if (!InOtherView(classesKey, name)) return L"";
    const wchar_t* bits = OtherView() == KEY_WOW64_32KEY ? L"32" : L"64";
    return std::wstring(L" (it is registered only in the ") + bits + L"-bit view, where the " +
           bits + L"-bit regsvr32 writes)";
}

}  // namespace

const ReachedClass kDriver = {
    L"Quorin.clsMachine",
    L"driver",
    L"the driver",
    quorin::kProgId,
    quorin::kClsidClsMachine,
    L"install the package (msiexec "
    L"/i " QUORIN_CONSOLE_PACKAGE L") or register the file: regsvr32 Quorin.dll"};
const ReachedClass kCardRecord = {
    L"CardRecord",
    L"record class",
    L"one of the host's record classes (PeltMachine.dll): the driver hands over each swipe in one",
    nullptr,
    quorin::kClsidCardRecord,
    kRecordRemedy};
const ReachedClass kFoundMachine = {
    L"FoundMachine",
    L"record class",
    L"one of the host's record classes (PeltMachine.dll): discovery hands over each clock it finds "
    L"in one",
    nullptr,
    quorin::kClsidFoundMachine,
    kRecordRemedy};
const ReachedClass kCollection = {
    L"Collection",
    L"collection class",
    L"the collection class (VBA.Collection): discovery hands over the clocks it finds in one",
    nullptr,
    quorin::kClsidCollection,
    L"install the Visual Basic 6 runtime (msvbvm60.dll), which the host needs too; on a test "
    L"machine register the stand-in: regsvr32 VbCollection.dll"};
const ReachedClass kDeviceControl = {
    quorin::kClockProgId,
    L"device control",
    L"the device control, through which the driver reaches the clocks",
    nullptr,
    quorin::kClsidClockCtl,
    L"install the device maker's software, which registers clocklink.dll, or register that file: "
    L"regsvr32 clocklink.dll; on a test machine register the simulated clock instead: regsvr32 "
    L"ClockSim.dll"};

std::wstring ViewName() {
#ifdef _WIN64
    return L"the registry's 64-bit view";
#else
    return Wow64() ? L"the registry's 32-bit view" : L"the registry (32-bit Windows has one view)";
#endif
}

std::wstring HresultText(HRESULT hr) {
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return std::wstring(code) + L" " + quorin::SystemMessage(hr);
}

std::optional<std::wstring> RegistryText(HKEY root, const std::wstring& key, const wchar_t* name,
                                         REGSAM view) {
    quorin::RegKey k;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | view, k.put()) != ERROR_SUCCESS)
        return std::nullopt;
    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        const LONG rc =
            RegGetValueW(k.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, text.data(), &bytes);
        if (rc == ERROR_MORE_DATA) {
            text.resize(bytes / sizeof(wchar_t) + 1);
            continue;
        }
        if (rc != ERROR_SUCCESS) return std::nullopt;
        text.resize(wcsnlen(text.data(), text.size()));
        return text;
    }
}

bool FileExists(const std::wstring& path) {
    std::wstring full = path;
    if (path.find(L'\\') == std::wstring::npos) {  // a bare name, found as the loader finds it
        wchar_t found[MAX_PATH];
        if (!SearchPathW(nullptr, path.c_str(), nullptr, MAX_PATH, found, nullptr)) return false;
        full = found;
    }
    const DWORD attributes = GetFileAttributesW(full.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

Registration Lookup(const ReachedClass& c) {
    Registration r;
    r.clsid = c.clsid;
    if (c.progId) {
        const std::wstring key = std::wstring(c.progId) + L"\\CLSID";
        const std::optional<std::wstring> text = RegistryText(HKEY_CLASSES_ROOT, key, nullptr);
        if (!text) {
            r.trouble = std::wstring(c.progId) + L" is not registered in " + ViewName() +
                        OtherViewNote(key, nullptr);
            return r;
        }
        if (FAILED(CLSIDFromString(text->c_str(), &r.clsid)) || !IsEqualGUID(r.clsid, c.clsid)) {
            r.trouble = std::wstring(c.progId) + L" leads to " + *text + L", not to " +
                        quorin::GuidText(c.clsid);
            return r;
        }
    }
    const std::wstring key = L"CLSID\\" + quorin::GuidText(r.clsid) + L"\\InprocServer32";
    r.file = RegistryText(HKEY_CLASSES_ROOT, key, nullptr);
    if (!r.file)
        r.trouble = L"its class " + quorin::GuidText(r.clsid) + L" is not registered in " +
                    ViewName() + OtherViewNote(key, nullptr);
    return r;
}

std::wstring RegisterNote() {
#ifndef _WIN64
    if (Wow64())
        return L"Register for 32-bit processes with the 32-bit regsvr32, "
               L"C:\\Windows\\SysWOW64\\regsvr32.exe, from an administrator's prompt.";
#endif
    return L"";
}

std::wstring Trouble(const Registration& r) {
    if (!r.trouble.empty()) return r.trouble;
    if (r.file && !FileExists(*r.file))
        return L"it is registered as " + *r.file + L", which does not exist";
    return L"";
}

HRESULT Create(const ReachedClass& c, REFIID iid, void** object) {
    *object = nullptr;
    CLSID clsid = c.clsid;
    if (c.progId) {
        const HRESULT hr = CLSIDFromProgID(c.progId, &clsid);
        if (FAILED(hr)) return hr;
    }
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object);
}

std::wstring CannotCreate(const ReachedClass& c, HRESULT hr) {
    std::wstring text = std::wstring(L"quorin-host: ") + c.name + L" cannot be created: " +
                        HresultText(hr) + L"\n  It is " + c.what + L".\n";
    std::wstring trouble = Trouble(Lookup(c));
    if (!trouble.empty()) {
        trouble[0] = towupper(trouble[0]);
        text += L"  " + trouble + L".\n";
    }
    text += L"  What to do: " + std::wstring(c.remedy) + L".\n";
    const std::wstring note = RegisterNote();
    return note.empty() ? text : text + L"  " + note + L"\n";
}

void TellMissing(std::initializer_list<const ReachedClass*> needed) {
    for (const ReachedClass* c : needed) {
        quorin::ComPtr<IUnknown> object;
        const HRESULT hr = Create(*c, IID_IUnknown, object.put_void());
        if (FAILED(hr)) PrintError(CannotCreate(*c, hr));
    }
}

int CallFailed(const wchar_t* operation, HRESULT hr,
               std::initializer_list<const ReachedClass*> needed) {
    PrintError(std::wstring(L"quorin-host: ") + operation + L" failed: " + HresultText(hr) + L"\n");
    TellMissing(needed);
    return 1;
}

}  // namespace console
