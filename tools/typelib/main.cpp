// quorin-typelib: writes the driver's type library, Quorin 1.0, with the platform's own
// type-library writer (CreateTypeLib2), at build time under wine64.
//
// The library must refer to IMachine, Collection, _Recordset and IDispatch in their own libraries
// rather than carry copies of them; the writer records such references as imports when it is
// handed the imported libraries' own type descriptions, which an IDL compiler does not do for an
// interface that a coclass lists.
//
//   quorin-typelib win32|win64 <out.tlb> <stdole2.tlb> <vba6.tlb> <msado26.tlb> <PeltMachine.dll>
//   quorin-typelib register <file.tlb>...
//
// The output names a file in an existing folder. The writer records each import under its file
// name alone, so the files handed in carry the names that installed systems use: stdole2.tlb,
// msado26.tlb and the host's PeltMachine.dll itself.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>
#include <vector>

#include "contract.h"
#include "com/com.h"
#include "contract/identity.h"

using quorin::ComPtr;

namespace {

// ADO 2.6's recordset interface, _Recordset.
constexpr GUID kIidRecordset = {
    0x00000556, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x6d, 0x2e, 0xa4}};

constexpr DISPID kFirstDispid = 0x60030000;
// IDispatch's seven entries and the three undescribed ones come before the six methods.
constexpr int kFirstMethodSlot = 7 + 3;

struct Failure {
    HRESULT hr;
    std::string what;
};

void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) throw Failure{hr, what};
}

// A parameter type as the writer wants it: a chain of pointers ending in a base type or in a
// reference to a type of an imported library.
class Type {
  public:
    static Type Base(VARTYPE vt) { return Type(vt, 0, 0); }
    static Type Ref(HREFTYPE href, int pointers) { return Type(VT_USERDEFINED, href, pointers); }
    Type Ptr() const {
        Type t = *this;
        ++t.pointers_;
        return t;
    }

    // Fills desc; the nested descriptions live in this object.
    void Describe(TYPEDESC& desc) {
        chain_.assign(pointers_ + 1, TYPEDESC{});
        for (int i = 0; i < pointers_; ++i) {
            chain_[i].vt = VT_PTR;
            chain_[i].lptdesc = &chain_[i + 1];
        }
        TYPEDESC& last = chain_[pointers_];
        last.vt = vt_;
        if (vt_ == VT_USERDEFINED) last.hreftype = href_;
        desc = chain_[0];
    }

  private:
    Type(VARTYPE vt, HREFTYPE href, int pointers) : vt_(vt), href_(href), pointers_(pointers) {}
    VARTYPE vt_;
    HREFTYPE href_;
    int pointers_;
    std::vector<TYPEDESC> chain_;
};

struct Param {
    const wchar_t* name;
    Type type;
    USHORT flags;
};

struct Method {
    const wchar_t* name;
    std::vector<Param> params;
};

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kInOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
constexpr USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

// An imported library, kept loaded while the library is written so that its types resolve to
// this very file (the writer looks imported libraries up among the loaded ones first).
class Import {
  public:
    explicit Import(const std::wstring& path) {
        Check(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib_.put()), "load an imported library");
    }

    ComPtr<ITypeInfo> TypeOf(REFGUID guid) const {
        ComPtr<ITypeInfo> info;
        Check(lib_->GetTypeInfoOfGuid(guid, info.put()), "find an imported type");
        return info;
    }

  private:
    ComPtr<ITypeLib> lib_;
};

void Write(SYSKIND kind, const std::wstring& out, const std::vector<std::wstring>& imports) {
    const Import stdole(imports[0]);
    const Import vba(imports[1]);
    const Import ado(imports[2]);
    const Import pelt(imports[3]);

    ComPtr<ICreateTypeLib2> lib;
    Check(CreateTypeLib2(kind, out.c_str(), lib.put()), "create the library");
    Check(lib->SetGuid(quorin::kLibidQuorin), "set the library identifier");
    Check(lib->SetName(const_cast<LPOLESTR>(L"Quorin")), "name the library");
    Check(lib->SetVersion(1, 0), "set the library version");
    Check(lib->SetLcid(0), "set the library locale");
    Check(lib->SetLibFlags(0), "set the library flags");

    // _clsMachine: dual, derived from stdole2's IDispatch.
    ComPtr<ICreateTypeInfo> iface;
    Check(lib->CreateTypeInfo(const_cast<LPOLESTR>(L"_clsMachine"), TKIND_INTERFACE, iface.put()),
          "create _clsMachine");
    Check(iface->SetGuid(__uuidof(_clsMachine)), "set _clsMachine's identifier");
    Check(iface->SetVersion(1, 0), "set _clsMachine's version");
    HREFTYPE dispatch = 0, collection = 0, recordset = 0, machine = 0;
    Check(iface->AddRefTypeInfo(stdole.TypeOf(IID_IDispatch).get(), &dispatch),
          "refer to IDispatch");
    Check(iface->AddImplType(0, dispatch), "derive _clsMachine from IDispatch");
    // Dispatchable as every interface derived from IDispatch; the writer would note that when the
    // base is added, but setting the flags replaces what it noted.
    Check(iface->SetTypeFlags(TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                              TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE),
          "flag _clsMachine");
    Check(iface->AddRefTypeInfo(vba.TypeOf(__uuidof(_Collection)).get(), &collection),
          "refer to Collection");
    Check(iface->AddRefTypeInfo(ado.TypeOf(kIidRecordset).get(), &recordset),
          "refer to _Recordset");

    const Type boolean = Type::Base(VT_BOOL), integer = Type::Base(VT_I2),
               text = Type::Base(VT_BSTR);
    const Type col = Type::Ref(collection, 1), rs = Type::Ref(recordset, 1);
    std::vector<Method> methods = {
        {L"IMachine_funcRegister",
         {{L"col", col.Ptr(), kInOut},
          {L"blnPort", boolean, kIn},
          {L"iPortMin", integer, kIn},
          {L"iPortMax", integer, kIn},
          {L"strIPMin", text, kIn},
          {L"strIPMax", text, kIn},
          {L"iMin", integer, kIn},
          {L"iMax", integer, kIn},
          {L"strMsg", text.Ptr(), kInOut}}},
        {L"IMachine_funcBackFingure",
         {{L"blnPort", boolean, kIn},
          {L"strIp", text, kIn},
          {L"iPort", integer, kIn},
          {L"imachineno", integer, kIn},
          {L"sPersonNum", text, kIn},
          {L"rsData", rs.Ptr(), kInOut},
          {L"strMsg", text.Ptr(), kInOut}}},
        {L"IMachine_funcReWrite",
         {{L"blnPort", boolean, kIn},
          {L"strIp", text, kIn},
          {L"iPort", integer, kIn},
          {L"imachineno", integer, kIn},
          {L"sPersonNum", text, kIn},
          {L"rsData", rs, kIn},
          {L"strMsg", text.Ptr(), kInOut}}},
        {L"IMachine_DownloadCarddata",
         {{L"blnPort", boolean, kIn},
          {L"strIp", text, kIn},
          {L"iPort", integer, kIn},
          {L"imachineno", integer, kIn},
          {L"cdata", col.Ptr(), kInOut},
          {L"strMsg", text.Ptr(), kInOut}}},
        {L"IMachine_funcWriteCard",
         {{L"blnPort", boolean, kIn},
          {L"strIp", text, kIn},
          {L"iPort", integer, kIn},
          {L"imachineno", integer, kIn},
          {L"c", col, kIn},
          {L"strMsg", text.Ptr(), kInOut}}},
        {L"IMachine_delCardData",
         {{L"blnPort", boolean, kIn},
          {L"strIp", text, kIn},
          {L"iPort", integer, kIn},
          {L"imachineno", integer, kIn}}},
    };

    const short pointerSize = kind == SYS_WIN64 ? 8 : 4;
    for (size_t m = 0; m < methods.size(); ++m) {
        Method& method = methods[m];
        method.params.push_back({L"result", boolean.Ptr(), kRetval});
        std::vector<ELEMDESC> elems(method.params.size());
        std::vector<LPOLESTR> names = {const_cast<LPOLESTR>(method.name)};
        for (size_t p = 0; p < method.params.size(); ++p) {
            method.params[p].type.Describe(elems[p].tdesc);
            elems[p].paramdesc.wParamFlags = method.params[p].flags;
            names.push_back(const_cast<LPOLESTR>(method.params[p].name));
        }
        FUNCDESC desc = {};
        desc.memid = kFirstDispid + static_cast<DISPID>(m);
        desc.lprgelemdescParam = elems.data();
        desc.funckind = FUNC_PUREVIRTUAL;
        desc.invkind = INVOKE_FUNC;
        desc.callconv = CC_STDCALL;
        desc.cParams = static_cast<SHORT>(elems.size());
        // An explicit slot, past the three undescribed entries; the writer keeps a non-zero one.
        desc.oVft = static_cast<SHORT>((kFirstMethodSlot + m) * pointerSize);
        desc.elemdescFunc.tdesc.vt = VT_HRESULT;
        Check(iface->AddFuncDesc(static_cast<UINT>(m), &desc), "add a method");
        Check(iface->SetFuncAndParamNames(static_cast<UINT>(m), names.data(),
                                          static_cast<UINT>(names.size())),
              "name a method");
    }
    Check(iface->LayOut(), "lay out _clsMachine");

    // clsMachine: creatable, _clsMachine by default, and the host's IMachine.
    ComPtr<ICreateTypeInfo> coclass;
    Check(lib->CreateTypeInfo(const_cast<LPOLESTR>(L"clsMachine"), TKIND_COCLASS, coclass.put()),
          "create clsMachine");
    Check(coclass->SetGuid(quorin::kClsidClsMachine), "set clsMachine's identifier");
    Check(coclass->SetVersion(1, 0), "set clsMachine's version");
    ComPtr<ITypeInfo> own;
    Check(iface->QueryInterface(IID_ITypeInfo, own.put_void()), "read _clsMachine back");
    HREFTYPE defaultIface = 0;
    Check(coclass->AddRefTypeInfo(own.get(), &defaultIface), "refer to _clsMachine");
    Check(coclass->AddImplType(0, defaultIface), "implement _clsMachine");
    Check(coclass->SetImplTypeFlags(0, IMPLTYPEFLAG_FDEFAULT), "make _clsMachine the default");
    Check(coclass->AddRefTypeInfo(pelt.TypeOf(__uuidof(IMachine)).get(), &machine),
          "refer to IMachine");
    Check(coclass->AddImplType(1, machine), "implement IMachine");
    Check(coclass->SetImplTypeFlags(1, 0), "flag IMachine");
    // Set last: the writer takes the first implemented interface's reference for IDispatch's (both
    // are 0) and marks the class dispatchable, which a class is not.
    Check(coclass->SetTypeFlags(TYPEFLAG_FCANCREATE), "flag clsMachine");
    Check(coclass->LayOut(), "lay out clsMachine");

    Check(lib->SaveAllChanges(), "save the library");
}

// Registers type libraries from their files in the current prefix (the test prefix registers the
// build-only libraries so that the driver's imports resolve there).
void Register(const std::vector<std::wstring>& files) {
    for (const std::wstring& file : files) {
        ComPtr<ITypeLib> lib;
        Check(LoadTypeLibEx(file.c_str(), REGKIND_REGISTER, lib.put()), "register a library");
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    const bool write = (mode == L"win32" || mode == L"win64") && argc == 7;
    const bool reg = mode == L"register" && argc > 2;
    if (!write && !reg) {
        std::fprintf(stderr,
                     "usage: quorin-typelib win32|win64 <out.tlb> <stdole2.tlb> <vba6.tlb> "
                     "<msado26.tlb> <PeltMachine.dll>\n"
                     "       quorin-typelib register <file.tlb>...\n");
        return 2;
    }
    if (FAILED(CoInitialize(nullptr))) return 1;
    int rc = 0;
    try {
        if (write)
            Write(mode == L"win64" ? SYS_WIN64 : SYS_WIN32, argv[2],
                  std::vector<std::wstring>(argv + 3, argv + 7));
        else
            Register(std::vector<std::wstring>(argv + 2, argv + argc));
    } catch (const Failure& f) {
        std::fprintf(stderr, "quorin-typelib: cannot %s: 0x%08lx\n", f.what.c_str(),
                     static_cast<unsigned long>(f.hr));
        rc = 1;
    }
    CoUninitialize();
    return rc;
}
