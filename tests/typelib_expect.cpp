#include "tests/typelib_expect.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <set>

#include "com/com.h"
#include "com/module.h"

namespace qt {

using quorin::Bstr;
using quorin::ComPtr;

std::wstring GuidString(const GUID& guid) {
    return quorin::GuidText(guid);
}

std::vector<unsigned char> ResourceBytes(HMODULE module, const wchar_t* type, WORD id, WORD lang) {
    HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), lang);
    if (!found) return {};
    HGLOBAL loaded = LoadResource(module, found);
    const auto* data = static_cast<const unsigned char*>(LockResource(loaded));
    if (!data) return {};
    return std::vector<unsigned char>(data, data + SizeofResource(module, found));
}

namespace {

// Little-endian fields of the compiled form; out of range reads fail the parse.
struct Reader {
    const std::vector<unsigned char>& b;
    bool ok = true;
    int32_t I32(size_t at) {
        int32_t v = 0;
        if (at + 4 > b.size()) {
            ok = false;
            return 0;
        }
        std::memcpy(&v, &b[at], 4);
        return v;
    }
    std::wstring Guid(size_t at) {
        GUID g{};
        if (at + 16 > b.size()) {
            ok = false;
            return L"";
        }
        std::memcpy(&g, &b[at], 16);
        return GuidString(g);
    }
};

std::string Narrow(const wchar_t* w) {
    std::string out;
    for (; w && *w; ++w) out += static_cast<char>(*w);
    return out;
}
std::string Narrow(const std::wstring& w) {
    return Narrow(w.c_str());
}

}  // namespace

std::wstring RawTypeLib::ImportedType(HREFTYPE ref) const {
    size_t index = (ref & ~3u) / 12;  // one import entry is three 32-bit fields
    if (!(ref & 1) || index >= types.size()) return L"(not imported)";
    return types[index].guid;
}

RawTypeLib ReadRawTypeLib(const std::vector<unsigned char>& bytes) {
    RawTypeLib r;
    Reader in{bytes};
    if (in.I32(0) != 0x5446534D) return r;  // "MSFT"
    const int32_t varflags = in.I32(0x14);
    r.syskind = varflags & 0xF;
    r.lcid = static_cast<LCID>(in.I32(0x10));
    r.version = static_cast<DWORD>(in.I32(0x18));
    r.flags = static_cast<DWORD>(in.I32(0x1C));
    r.typeInfos = in.I32(0x20);
    r.helpString = in.I32(0x24);
    r.helpFile = in.I32(0x3C);
    // The header, an optional help DLL entry, the type info offsets, then 15 segments.
    const size_t segments = 0x54 + ((varflags & 0x100) ? 4 : 0) + 4 * size_t(r.typeInfos);
    auto segment = [&](int n) {
        return std::make_pair(size_t(in.I32(segments + 16 * n)),
                              size_t(in.I32(segments + 16 * n + 4)));
    };
    const auto [infoAt, infoLength] = segment(1);
    const auto [filesAt, filesLength] = segment(2);
    const size_t guids = segment(5).first;
    r.libid = in.Guid(guids + in.I32(0x08));

    std::map<size_t, int> fileAt;  // offset in the file table -> index
    for (size_t p = 0; in.ok && p < filesLength;) {
        const size_t at = filesAt + p;
        RawTypeLib::Library lib;
        lib.guid = in.Guid(guids + in.I32(at));
        lib.lcid = static_cast<LCID>(in.I32(at + 4));
        const DWORD version = static_cast<DWORD>(in.I32(at + 8));
        lib.major = LOWORD(version);
        lib.minor = HIWORD(version);
        const size_t length = (in.I32(at + 12) & 0xFFFF) >> 2;
        if (at + 14 + length > bytes.size()) return r;
        lib.file.assign(reinterpret_cast<const char*>(&bytes[at + 14]), length);
        fileAt[p] = static_cast<int>(r.libraries.size());
        r.libraries.push_back(lib);
        size_t name = (2 + length + 3) & ~size_t(3);  // padded to 32 bits, at least 8 bytes
        p += 12 + (name < 8 ? 8 : name);
    }
    for (size_t p = 0; in.ok && p + 12 <= infoLength; p += 12) {
        const size_t at = infoAt + p;
        const int32_t flags = in.I32(at);
        const auto file = fileAt.find(size_t(in.I32(at + 4)));
        RawTypeLib::Type type;
        type.guid = (flags & 0x10000) ? in.Guid(guids + in.I32(at + 8)) : L"(by index)";
        type.library = file == fileAt.end() ? -1 : file->second;
        r.types.push_back(type);
    }
    r.parsed = in.ok;
    return r;
}

namespace {

const std::map<std::wstring, std::string> kImportedNames = {
    {L"{A4C46780-499F-101B-BB78-00AA00383CBB}", "_Collection"},
    {L"{00000556-0000-0010-8000-00AA006D2EA4}", "_Recordset"},
};

std::string Render(const TYPEDESC& t, const RawTypeLib& raw) {
    switch (t.vt) {
        case VT_PTR:
            return "ptr(" + Render(*t.lptdesc, raw) + ")";
        case VT_USERDEFINED: {
            auto known = kImportedNames.find(raw.ImportedType(t.hreftype));
            return known == kImportedNames.end() ? "unknown" : known->second;
        }
        case VT_BOOL:
            return "bool";
        case VT_I2:
            return "short";
        case VT_BSTR:
            return "BSTR";
        default:
            return "vt" + std::to_string(t.vt);
    }
}

std::string Flags(USHORT f) {
    if (f == (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)) return "[out,retval]";
    if (f == (PARAMFLAG_FIN | PARAMFLAG_FOUT)) return "[in,out]";
    if (f == PARAMFLAG_FIN) return "[in]";
    return "[" + std::to_string(f) + "]";
}

// One method as "name(flags type param, ...)".
std::string Describe(ITypeInfo* info, const FUNCDESC& f, const RawTypeLib& raw) {
    BSTR got[16] = {};
    UINT count = 0;
    EXPECT_EQ(S_OK, info->GetNames(f.memid, got, 16, &count));
    std::vector<Bstr> names;
    for (UINT i = 0; i < count; ++i) names.push_back(Bstr::adopt(got[i]));
    // A plain stdcall method returning an HRESULT, no optional parameters.
    std::string out = f.funckind == FUNC_PUREVIRTUAL && f.invkind == INVOKE_FUNC &&
                              f.callconv == CC_STDCALL && f.elemdescFunc.tdesc.vt == VT_HRESULT &&
                              f.cParamsOpt == 0 && f.wFuncFlags == 0
                          ? ""
                          : "(not a plain method) ";
    out += (count > 0 ? Narrow(names[0].get()) : "?") + "(";
    for (SHORT p = 0; p < f.cParams; ++p) {
        const ELEMDESC& e = f.lprgelemdescParam[p];
        if (p) out += ", ";
        out += Flags(e.paramdesc.wParamFlags) + " " + Render(e.tdesc, raw) + " ";
        out += UINT(p + 1) < count && names[p + 1].get() ? Narrow(names[p + 1].get()) : "?";
    }
    return out + ")";
}

void ExpectDocumentation(ITypeLib* lib, INT index, const wchar_t* name) {
    Bstr n, doc, file;
    DWORD context = 1;
    ASSERT_EQ(S_OK, lib->GetDocumentation(index, n.put(), doc.put(), &context, file.put()));
    EXPECT_EQ(std::wstring(name), n.get() ? n.get() : L"");
    EXPECT_EQ(0u, doc.length());
    EXPECT_EQ(0u, context);
    EXPECT_EQ(0u, file.length());
}

}  // namespace

void ExpectQuorinLibrary(ITypeLib* lib, const RawTypeLib& raw, unsigned pointerSize) {
    ASSERT_TRUE(lib);
    ASSERT_TRUE(raw.parsed);
    const SYSKIND kind = pointerSize == 8 ? SYS_WIN64 : SYS_WIN32;

    // The library itself: identity, no help, no flags.
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
    EXPECT_EQ(L"{D6E5994A-10CC-4129-81B8-78876DBEFBFF}", GuidString(attr->guid));
    EXPECT_EQ(0u, attr->lcid);
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    EXPECT_EQ(0, attr->wLibFlags & ~LIBFLAG_FHASDISKIMAGE);  // the reader's mark of a file
    EXPECT_EQ(kind, attr->syskind);
    lib->ReleaseTLibAttr(attr);
    ExpectDocumentation(lib, -1, L"Quorin");
    EXPECT_EQ(L"{D6E5994A-10CC-4129-81B8-78876DBEFBFF}", raw.libid);
    EXPECT_EQ(int(kind), raw.syskind);
    EXPECT_EQ(0u, raw.lcid);
    EXPECT_EQ(1u, raw.version);  // 1.0
    EXPECT_EQ(0u, raw.flags);
    EXPECT_EQ(-1, raw.helpString);
    EXPECT_EQ(-1, raw.helpFile);

    // Exactly four imported libraries, and the types taken from each.
    std::vector<std::string> libraries;
    for (const auto& l : raw.libraries)
        libraries.push_back(Narrow(l.guid) + " " + std::to_string(l.major) + "." +
                            std::to_string(l.minor) + " lcid " + std::to_string(l.lcid) + " " +
                            l.file);
    EXPECT_EQ((std::vector<std::string>{
                  "{00020430-0000-0000-C000-000000000046} 2.0 lcid 0 stdole2.tlb",
                  "{000204EF-0000-0000-C000-000000000046} 6.0 lcid 9 vba6.tlb",
                  "{00000206-0000-0010-8000-00AA006D2EA4} 2.6 lcid 0 msado26.tlb",
                  "{7BA2C82C-26EC-4238-A7E2-432E99B4C731} 1.1 lcid 0 PeltMachine.dll"}),
              libraries);
    std::set<std::string> types;
    for (const auto& t : raw.types)
        types.insert(Narrow(t.guid) + " from " +
                     (t.library >= 0 ? Narrow(raw.libraries[t.library].guid) : "nowhere"));
    EXPECT_EQ((std::set<std::string>{"{00020400-0000-0000-C000-000000000046} from "
                                     "{00020430-0000-0000-C000-000000000046}",  // IDispatch
                                     "{A4C46780-499F-101B-BB78-00AA00383CBB} from "
                                     "{000204EF-0000-0000-C000-000000000046}",  // _Collection
                                     "{00000556-0000-0010-8000-00AA006D2EA4} from "
                                     "{00000206-0000-0010-8000-00AA006D2EA4}",  // _Recordset
                                     "{9BF8E2D1-8548-4384-8FE4-5BD0FBA79B2E} from "
                                     "{7BA2C82C-26EC-4238-A7E2-432E99B4C731}"}),  // IMachine
              types);

    // Two types, and IMachine is not one of them.
    ASSERT_EQ(2u, lib->GetTypeInfoCount());
    ComPtr<ITypeInfo> foreign;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND,
              lib->GetTypeInfoOfGuid(
                  {0x9bf8e2d1, 0x8548, 0x4384, {0x8f, 0xe4, 0x5b, 0xd0, 0xfb, 0xa7, 0x9b, 0x2e}},
                  foreign.put()));

    // _clsMachine: a hidden, dual, non-extensible automation interface, version 1.0.
    TYPEKIND kindOf = TKIND_MAX;
    ASSERT_EQ(S_OK, lib->GetTypeInfoType(0, &kindOf));
    EXPECT_EQ(TKIND_DISPATCH, kindOf);
    ExpectDocumentation(lib, 0, L"_clsMachine");
    ComPtr<ITypeInfo> dual, iface;
    ASSERT_EQ(S_OK, lib->GetTypeInfo(0, dual.put()));
    HREFTYPE vtable = 0;
    ASSERT_EQ(S_OK, dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable));
    ASSERT_EQ(S_OK, dual->GetRefTypeInfo(vtable, iface.put()));
    TYPEATTR* ta = nullptr;
    ASSERT_EQ(S_OK, iface->GetTypeAttr(&ta));
    EXPECT_EQ(L"{DC84393F-9880-4B19-AC13-B0C72743C5F6}", GuidString(ta->guid));
    EXPECT_EQ(TKIND_INTERFACE, ta->typekind);
    EXPECT_EQ(TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                  TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE,
              ta->wTypeFlags);
    EXPECT_EQ(1, ta->wMajorVerNum);
    EXPECT_EQ(0, ta->wMinorVerNum);
    EXPECT_EQ(6, ta->cFuncs);
    EXPECT_EQ(1, ta->cImplTypes);
    // IDispatch's seven entries, three undescribed ones, the six methods.
    EXPECT_EQ(16u * pointerSize, ta->cbSizeVft);
    const WORD funcs = ta->cFuncs;
    iface->ReleaseTypeAttr(ta);
    HREFTYPE base = 0;
    ASSERT_EQ(S_OK, iface->GetRefTypeOfImplType(0, &base));
    EXPECT_EQ(L"{00020400-0000-0000-C000-000000000046}", raw.ImportedType(base));

    const std::vector<std::string> expected = {
        "IMachine_funcRegister([in,out] ptr(ptr(_Collection)) col, [in] bool blnPort, [in] short "
        "iPortMin, [in] short iPortMax, [in] BSTR strIPMin, [in] BSTR strIPMax, [in] short iMin, "
        "[in] short iMax, [in,out] ptr(BSTR) strMsg, [out,retval] ptr(bool) result)",
        "IMachine_funcBackFingure([in] bool blnPort, [in] BSTR strIp, [in] short iPort, [in] "
        "short imachineno, [in] BSTR sPersonNum, [in,out] ptr(ptr(_Recordset)) rsData, [in,out] "
        "ptr(BSTR) strMsg, [out,retval] ptr(bool) result)",
        "IMachine_funcReWrite([in] bool blnPort, [in] BSTR strIp, [in] short iPort, [in] short "
        "imachineno, [in] BSTR sPersonNum, [in] ptr(_Recordset) rsData, [in,out] ptr(BSTR) "
        "strMsg, [out,retval] ptr(bool) result)",
        "IMachine_DownloadCarddata([in] bool blnPort, [in] BSTR strIp, [in] short iPort, [in] "
        "short imachineno, [in,out] ptr(ptr(_Collection)) cdata, [in,out] ptr(BSTR) strMsg, "
        "[out,retval] ptr(bool) result)",
        "IMachine_funcWriteCard([in] bool blnPort, [in] BSTR strIp, [in] short iPort, [in] short "
        "imachineno, [in] ptr(_Collection) c, [in,out] ptr(BSTR) strMsg, [out,retval] ptr(bool) "
        "result)",
        "IMachine_delCardData([in] bool blnPort, [in] BSTR strIp, [in] short iPort, [in] short "
        "imachineno, [out,retval] ptr(bool) result)",
    };
    std::vector<std::string> methods;
    for (UINT i = 0; i < funcs; ++i) {
        FUNCDESC* f = nullptr;
        ASSERT_EQ(S_OK, iface->GetFuncDesc(i, &f));
        methods.push_back(Describe(iface.get(), *f, raw));
        EXPECT_EQ(0x60030000 + LONG(i), f->memid) << methods.back();
        // Vtable entry 10 + i, in the reader's own pointer size.
        EXPECT_EQ(SHORT((10 + i) * sizeof(void*)), f->oVft) << methods.back();
        iface->ReleaseFuncDesc(f);
    }
    EXPECT_EQ(expected, methods);

    // clsMachine: creatable, _clsMachine by default, and the host's IMachine.
    ASSERT_EQ(S_OK, lib->GetTypeInfoType(1, &kindOf));
    EXPECT_EQ(TKIND_COCLASS, kindOf);
    ExpectDocumentation(lib, 1, L"clsMachine");
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, lib->GetTypeInfo(1, coclass.put()));
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&ta));
    EXPECT_EQ(L"{868DE1EB-2CA2-43C2-9D8C-E5D10182A937}", GuidString(ta->guid));
    EXPECT_EQ(TYPEFLAG_FCANCREATE, ta->wTypeFlags);
    EXPECT_EQ(1, ta->wMajorVerNum);
    EXPECT_EQ(0, ta->wMinorVerNum);
    EXPECT_EQ(2, ta->cImplTypes);
    coclass->ReleaseTypeAttr(ta);
    INT implFlags = -1;
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(0, &implFlags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, implFlags);
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &ref));
    ComPtr<ITypeInfo> own;
    ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(ref, own.put()));
    ASSERT_EQ(S_OK, own->GetTypeAttr(&ta));
    EXPECT_EQ(L"{DC84393F-9880-4B19-AC13-B0C72743C5F6}", GuidString(ta->guid));
    own->ReleaseTypeAttr(ta);
    ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(1, &implFlags));
    EXPECT_EQ(0, implFlags);
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(1, &ref));
    EXPECT_EQ(L"{9BF8E2D1-8548-4384-8FE4-5BD0FBA79B2E}", raw.ImportedType(ref));
}

}  // namespace qt
