// quorin-registry: writes the registry values of the installer's package, at build time, so that
// the package writes what DllRegisterServer writes. The class and its ProgID come from the very
// table DllRegisterServer writes (server/registration.cpp); the type library's keys are derived
// from the library itself by the rules RegisterTypeLib follows, which it cannot be asked to apply
// to a registry of our own. test_installer compares both registrations value for value.
//
//   quorin-registry <x86|x64> <quorin.tlb> <own.wxi> <opposite.wxi>
//
// own.wxi holds the RegistryValue elements of the server's component, in the package's own
// registry view. opposite.wxi holds the interface keys that RegisterTypeLib also writes into the
// 32-bit view for 32-bit processes, for the x64 package's 32-bit component; for x86 it is empty,
// since a 32-bit package has no 64-bit component to write the 64-bit view's copy.
//
// In the values, [#QuorinDll] stands for the installed file and [INSTALLDIR] for its folder: the
// package's File and Directory identifiers.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "com/com.h"
#include "com/module.h"
#include "com/text.h"
#include "server/registration.h"

namespace {

using quorin::Bstr;
using quorin::ComPtr;
using quorin::GuidText;
using quorin::Utf8;
using quorin::server::ClassEntries;
using quorin::server::RegistryValue;

const wchar_t kFile[] = L"[#QuorinDll]";
const wchar_t kFolder[] = L"[INSTALLDIR]";
// The universal marshaller, for automation-compatible and dual interfaces; the dispatch
// marshaller for pure dispatch interfaces.
const wchar_t kProxyAutomation[] = L"{00020424-0000-0000-C000-000000000046}";
const wchar_t kProxyDispatch[] = L"{00020420-0000-0000-C000-000000000046}";

std::wstring Hex(unsigned long v) {
    wchar_t text[16];
    swprintf(text, 16, L"%lx", v);
    return text;
}

// The library's own key and, for each interface it describes that RegisterTypeLib registers, the
// interface's key.
struct TypeLibValues {
    std::vector<RegistryValue> library;
    std::vector<RegistryValue> interfaces;
};

HRESULT Derive(ITypeLib* lib, TypeLibValues& out) {
    TLIBATTR* attr = nullptr;
    HRESULT hr = lib->GetLibAttr(&attr);
    if (FAILED(hr)) return hr;
    const TLIBATTR a = *attr;
    lib->ReleaseTLibAttr(attr);
    const std::wstring libid = GuidText(a.guid);
    const std::wstring version = Hex(a.wMajorVerNum) + L"." + Hex(a.wMinorVerNum);

    // Named by its help string when it has one, else by its name.
    Bstr name, doc;
    hr = lib->GetDocumentation(-1, name.put(), doc.put(), nullptr, nullptr);
    if (FAILED(hr)) return hr;
    const std::wstring key = L"Software\\Classes\\TypeLib\\" + libid + L"\\" + version;
    const wchar_t* platform = a.syskind == SYS_WIN64 ? L"win64" : L"win32";
    out.library = {
        {key, L"", doc.get() ? doc.get() : name.get()},
        {key + L"\\" + Hex(a.lcid) + L"\\" + platform, L"", kFile},
        {key + L"\\FLAGS", L"", std::to_wstring(a.wLibFlags)},
        {key + L"\\HELPDIR", L"", kFolder},
    };

    for (UINT i = 0, n = lib->GetTypeInfoCount(); i < n; ++i) {
        ComPtr<ITypeInfo> info;
        hr = lib->GetTypeInfo(i, info.put());
        if (FAILED(hr)) return hr;
        TYPEATTR* t = nullptr;
        hr = info->GetTypeAttr(&t);
        if (FAILED(hr)) return hr;
        const TYPEATTR type = *t;
        info->ReleaseTypeAttr(t);
        const bool automation = type.wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL);
        if (!(type.typekind == TKIND_DISPATCH || (type.typekind == TKIND_INTERFACE && automation)))
            continue;
        Bstr interfaceName;
        hr = info->GetDocumentation(MEMBERID_NIL, interfaceName.put(), nullptr, nullptr, nullptr);
        if (FAILED(hr)) return hr;
        const std::wstring proxy = automation ? kProxyAutomation : kProxyDispatch;
        const std::wstring ikey = L"Software\\Classes\\Interface\\" + GuidText(type.guid);
        out.interfaces.insert(out.interfaces.end(), {
                                                        {ikey, L"", interfaceName.get()},
                                                        {ikey + L"\\ProxyStubClsid", L"", proxy},
                                                        {ikey + L"\\ProxyStubClsid32", L"", proxy},
                                                        {ikey + L"\\TypeLib", L"", libid},
                                                        {ikey + L"\\TypeLib", L"Version", version},
                                                    });
    }
    return S_OK;
}

std::string Attribute(const std::wstring& text) {
    std::string out;
    for (char c : Utf8(text)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Writes the values as a WiX include; the first is the component's key path when asked. Ids are
// given so that the same value in two views stays two rows.
bool WriteInclude(const wchar_t* path, const char* idPrefix,
                  const std::vector<RegistryValue>& values, bool firstIsKeyPath) {
    FILE* f = _wfopen(path, L"wb");
    if (!f) return false;
    fputs(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<!-- Written by quorin-registry at build time from server/registration.cpp's table and "
        "the type library. -->\n<Include>\n",
        f);
    int index = 0;
    for (const RegistryValue& v : values) {
        fprintf(f, "  <RegistryValue Id=\"%s%02d\" Root=\"HKLM\" Key=\"%s\"", idPrefix, index,
                Attribute(v.key).c_str());
        if (!v.name.empty()) fprintf(f, " Name=\"%s\"", Attribute(v.name).c_str());
        fprintf(f, " Type=\"string\" Value=\"%s\"%s/>\n", Attribute(v.value).c_str(),
                firstIsKeyPath && index == 0 ? " KeyPath=\"yes\"" : "");
        ++index;
    }
    fputs("</Include>\n", f);
    return fclose(f) == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5 || (wcscmp(argv[1], L"x86") != 0 && wcscmp(argv[1], L"x64") != 0)) {
        fputs("usage: quorin-registry <x86|x64> <quorin.tlb> <own.wxi> <opposite.wxi>\n", stderr);
        return 2;
    }
    const bool x64 = wcscmp(argv[1], L"x64") == 0;
    if (FAILED(CoInitialize(nullptr))) return 1;
    int rc = 0;
    {
        ComPtr<ITypeLib> lib;
        TypeLibValues typelib;
        HRESULT hr = LoadTypeLibEx(argv[2], REGKIND_NONE, lib.put());
        if (SUCCEEDED(hr)) hr = Derive(lib.get(), typelib);
        if (FAILED(hr)) {
            fprintf(stderr, "quorin-registry: cannot read %ls: 0x%08lx\n", argv[2],
                    static_cast<unsigned long>(hr));
            rc = 1;
        } else {
            // In the order RegisterServer writes them: the type library, then the class.
            std::vector<RegistryValue> own = typelib.library;
            own.insert(own.end(), typelib.interfaces.begin(), typelib.interfaces.end());
            const std::vector<RegistryValue> cls = ClassEntries(kFile);
            own.insert(own.end(), cls.begin(), cls.end());
            const std::vector<RegistryValue> none;
            if (!WriteInclude(argv[3], "Reg", own, false) ||
                !WriteInclude(argv[4], "Reg32_", x64 ? typelib.interfaces : none, true)) {
                fprintf(stderr, "quorin-registry: cannot write %ls or %ls\n", argv[3], argv[4]);
                rc = 1;
            }
        }
    }
    CoUninitialize();
    return rc;
}
