// quorin-typelib: writes the driver's type library, Quorin 1.0, with the platform's own
// type-library writer (CreateTypeLib2), at build time under wine64.
//
// _clsMachine carries IMachine's six methods as the host's library declares them, each named
// IMachine_<name>. The library must refer to IMachine, Collection, _Recordset and IDispatch in
// their own libraries rather than carry copies of them; the writer records such references as
// imports when it is handed the imported libraries' own type descriptions, which an IDL compiler
// does not do for an interface that a coclass lists.
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
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "contract.h"
#include "com/com.h"
#include "contract/identity.h"

using quorin::ComPtr;

namespace {

constexpr DISPID kFirstDispid = 0x60030000;
constexpr WORD kMethods = 6;
// IDispatch's seven entries and the three undescribed ones come before the six methods.
constexpr int kFirstMethodSlot = 7 + 3;

struct Failure {
    HRESULT hr;
    std::string what;
};

void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) throw Failure{hr, what};
}

// A type of the host library's IMachine, rewritten for the library being written: the same chain
// of pointers ending in the same base type, or in a reference to the same type of an imported
// library, which the writer is handed anew.
class Type {
  public:
    Type(ITypeInfo* from, const TYPEDESC& type, ICreateTypeInfo* to) {
        for (const TYPEDESC* t = &type;; t = t->lptdesc) {
            chain_.push_back(*t);
            if (t->vt != VT_PTR) break;
        }
        TYPEDESC& last = chain_.back();
        if (last.vt == VT_USERDEFINED) {
            ComPtr<ITypeInfo> target;
            Check(from->GetRefTypeInfo(last.hreftype, target.put()), "resolve a host type");
            Check(to->AddRefTypeInfo(target.get(), &last.hreftype), "refer to a host type");
        }
        for (size_t i = 0; i + 1 < chain_.size(); ++i) chain_[i].lptdesc = &chain_[i + 1];
    }
    Type(const Type&) = delete;
    Type& operator=(const Type&) = delete;
    const TYPEDESC& desc() const { return chain_.front(); }

  private:
    std::vector<TYPEDESC> chain_;
};

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
    // The collection's and ADO's libraries are only kept loaded: IMachine's parameters refer to
    // their types, which the host's library finds by file name in the current folder, the
    // imports' own (tools/typelib/CMakeLists.txt).
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
    HREFTYPE dispatch = 0, machine = 0;
    Check(iface->AddRefTypeInfo(stdole.TypeOf(IID_IDispatch).get(), &dispatch),
          "refer to IDispatch");
    Check(iface->AddImplType(0, dispatch), "derive _clsMachine from IDispatch");
    // Dispatchable as every interface derived from IDispatch; the writer would note that when the
    // base is added, but setting the flags replaces what it noted.
    Check(iface->SetTypeFlags(TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                              TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE),
          "flag _clsMachine");
    // The six methods as the host's library declares them on IMachine (its vtable half), each
    // named IMachine_<name>, with its parameters, their types, flags and names.
    ComPtr<ITypeInfo> hostDual = pelt.TypeOf(__uuidof(IMachine)), host;
    HREFTYPE vtableHalf = 0;
    Check(hostDual->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableHalf),
          "find IMachine's vtable half");
    Check(hostDual->GetRefTypeInfo(vtableHalf, host.put()), "read IMachine");
    TYPEATTR* attr = nullptr;
    Check(host->GetTypeAttr(&attr), "read IMachine's attributes");
    const WORD count = attr->cFuncs;
    host->ReleaseTypeAttr(attr);
    if (count != kMethods) Check(E_UNEXPECTED, "find IMachine's six methods");

    const short pointerSize = kind == SYS_WIN64 ? 8 : 4;
    for (UINT m = 0; m < count; ++m) {
        FUNCDESC* fn = nullptr;
        Check(host->GetFuncDesc(m, &fn), "read an IMachine method");
        const std::unique_ptr<FUNCDESC, std::function<void(FUNCDESC*)>> held(
            fn, [&host](FUNCDESC* f) { host->ReleaseFuncDesc(f); });
        std::vector<BSTR> names(static_cast<size_t>(fn->cParams) + 1, nullptr);
        UINT named = 0;
        Check(host->GetNames(fn->memid, names.data(), static_cast<UINT>(names.size()), &named),
              "read an IMachine method's names");
        std::vector<quorin::Bstr> owned;
        for (UINT i = 0; i < named; ++i) owned.push_back(quorin::Bstr::adopt(names[i]));
        if (named != names.size()) Check(E_UNEXPECTED, "name every parameter of IMachine");

        std::vector<std::unique_ptr<Type>> types;
        std::vector<ELEMDESC> elems(static_cast<size_t>(fn->cParams));
        for (size_t p = 0; p < elems.size(); ++p) {
            types.push_back(
                std::make_unique<Type>(host.get(), fn->lprgelemdescParam[p].tdesc, iface.get()));
            elems[p].tdesc = types.back()->desc();
            elems[p].paramdesc.wParamFlags = fn->lprgelemdescParam[p].paramdesc.wParamFlags;
        }
        const std::wstring name = std::wstring(L"IMachine_") + owned[0].get();
        std::vector<LPOLESTR> allNames = {const_cast<LPOLESTR>(name.c_str())};
        for (size_t i = 1; i < owned.size(); ++i) allNames.push_back(owned[i].get());

        FUNCDESC desc = {};
        desc.memid = kFirstDispid + static_cast<DISPID>(m);
        desc.lprgelemdescParam = elems.data();
        desc.funckind = FUNC_PUREVIRTUAL;
        desc.invkind = INVOKE_FUNC;
        desc.callconv = CC_STDCALL;
        desc.cParams = fn->cParams;
        // An explicit slot, past the three undescribed entries; the writer keeps a non-zero one.
        desc.oVft = static_cast<SHORT>((kFirstMethodSlot + m) * pointerSize);
        desc.elemdescFunc.tdesc.vt = VT_HRESULT;
        Check(iface->AddFuncDesc(m, &desc), "add a method");
        Check(iface->SetFuncAndParamNames(m, allNames.data(), static_cast<UINT>(allNames.size())),
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
