// The in-process server as an installer and a host meet it: what regsvr32 writes and removes,
// the registered class and type library, the class factory and the unload check. The tests that
// unregister put the registration back, and the program runs alone.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/registry.h"
#include "tests/support.h"
#include "tests/typelib_expect.h"

namespace {

using namespace qt;

const std::wstring kClsid = L"{868DE1EB-2CA2-43C2-9D8C-E5D10182A937}";
const std::wstring kLibid = L"{D6E5994A-10CC-4129-81B8-78876DBEFBFF}";
const std::wstring kIid = L"{DC84393F-9880-4B19-AC13-B0C72743C5F6}";
const std::wstring kClasses = L"Software\\Classes";

// HKLM\Software\Classes in a view, opened for access.
quorin::RegKey ClassesKey(REGSAM access, REGSAM view = kHostView) {
    quorin::RegKey key;
    EXPECT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, access | view, key.put()));
    return key;
}

// The class and ProgID keys, and their paths in a snapshot.
const std::wstring kClassPath = kClasses + L"\\CLSID\\" + kClsid;
const std::wstring kProgIdPath = kClasses + L"\\Quorin.clsMachine";
const std::wstring kClassKey = Lower(kClassPath);
const std::wstring kProgIdKey = Lower(kProgIdPath);

// Quorin.dll beside this program: the file the test prefix registered.
std::wstring ServerPath() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"Quorin.dll";
}

Snapshot Classes() {
    Snapshot s;
    Walk(ClassesKey(KEY_READ).get(), kClasses, kHostView, s);
    return s;
}

// regsvr32 /s [args] Quorin.dll, as an installer runs it; its exit code.
DWORD Regsvr32(const std::wstring& args) {
    return RunProgram(L"regsvr32.exe /s " + args + L" \"" + ServerPath() + L"\"");
}

// A text value under HKLM\Software\Classes in a view, or "(none)".
std::wstring Value(const std::wstring& key, const wchar_t* name = nullptr,
                   REGSAM view = kHostView) {
    wchar_t data[1024] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    quorin::RegKey h;
    LSTATUS status =
        RegOpenKeyExW(ClassesKey(KEY_READ, view).get(), key.c_str(), 0, KEY_READ | view, h.put());
    if (status != ERROR_SUCCESS) return L"(none)";
    DWORD type = 0;
    status = RegQueryValueExW(h.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    return status == ERROR_SUCCESS && type == REG_SZ ? data : L"(none)";
}

// Creates a key under HKLM\Software\Classes in the host's view, with the given options.
quorin::RegKey CreateClassesKey(const std::wstring& path, DWORD options = 0) {
    quorin::RegKey key;
    EXPECT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(ClassesKey(KEY_WRITE).get(), path.c_str(), 0, nullptr, options,
                              KEY_WRITE | kHostView, nullptr, key.put(), nullptr));
    return key;
}

void DeleteClassesTree(const std::wstring& path) {
    RegDeleteTreeW(ClassesKey(KEY_ALL_ACCESS).get(), path.c_str());
}

// The registry as the test prefix's fixture left it is restored after every test.
class Registration : public testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(0u, Regsvr32(L"")); }
};

// As a host finds the class (every value written is checked exactly below).
TEST_F(Registration, ProgIdLeadsToTheClassServedInProcessByThisFile) {
    CLSID clsid{};
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"Quorin.clsMachine", &clsid));
    EXPECT_EQ(kClsid, GuidString(clsid));
    const std::wstring cls = L"CLSID\\" + kClsid;
    EXPECT_EQ(Lower(ServerPath()), Lower(Value(cls + L"\\InprocServer32")));
    EXPECT_EQ(L"Apartment", Value(cls + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(kClsid, Value(L"Quorin.clsMachine\\CLSID"));
    // A host of the other kind does not find this file as its in-process server.
    EXPECT_EQ(L"(none)", Value(cls + L"\\InprocServer32", nullptr, kOtherView));
}

TEST_F(Registration, TypeLibraryIsRegisteredAsQuorin1_0Lcid0) {
    Bstr path;
    ASSERT_EQ(S_OK,
              QueryPathOfRegTypeLib(
                  {0xd6e5994a, 0x10cc, 0x4129, {0x81, 0xb8, 0x78, 0x87, 0x6d, 0xbe, 0xfb, 0xff}}, 1,
                  0, 0, path.put()));
    EXPECT_EQ(Lower(ServerPath()), Lower(path.get()));
    // _clsMachine is registered as an interface of that library.
    EXPECT_EQ(L"_clsMachine", Value(L"Interface\\" + kIid));
    EXPECT_EQ(kLibid, Value(L"Interface\\" + kIid + L"\\TypeLib"));

    ComPtr<ITypeLib> lib;
    ASSERT_EQ(S_OK,
              LoadRegTypeLib(
                  {0xd6e5994a, 0x10cc, 0x4129, {0x81, 0xb8, 0x78, 0x87, 0x6d, 0xbe, 0xfb, 0xff}}, 1,
                  0, 0, lib.put()));
    HMODULE file = LoadLibraryExW(ServerPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(file);
    const RawTypeLib raw = ReadRawTypeLib(ResourceBytes(file, L"TYPELIB", 1, 0));
    FreeLibrary(file);
    ExpectQuorinLibrary(lib.get(), raw, sizeof(void*));

    // The coclass's IMachine is the host library's own.
    ComPtr<ITypeInfo> coclass, machine;
    ASSERT_EQ(S_OK, lib->GetTypeInfo(1, coclass.put()));
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(1, &ref));
    ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(ref, machine.put()));
    ComPtr<ITypeLib> host;
    UINT index = 0;
    ASSERT_EQ(S_OK, machine->GetContainingTypeLib(host.put(), &index));
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, host->GetLibAttr(&attr));
    EXPECT_EQ(L"{7BA2C82C-26EC-4238-A7E2-432E99B4C731}", GuidString(attr->guid));
    host->ReleaseTLibAttr(attr);
    Bstr name;
    ASSERT_EQ(S_OK, machine->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr));
    EXPECT_EQ(L"IMachine", Text(name.get()));
}

TEST_F(Registration, UnregisteringRemovesExactlyWhatRegisteringWrote) {
    // Start from a clean registration: a prefix may still hold what an older build wrote.
    ASSERT_EQ(0u, Regsvr32(L"/u"));
    ASSERT_EQ(0u, Regsvr32(L""));
    const Snapshot registered = Classes();
    ASSERT_EQ(0u, Regsvr32(L"/u"));
    const Snapshot unregistered = Classes();
    EXPECT_EQ(Snapshot{}, Difference(registered, unregistered)) << "unregistering added entries";

    // The class and its ProgID, value for value.
    const Snapshot written = Difference(unregistered, registered);
    Snapshot cls = Within(written, kClassKey);
    for (const auto& [k, v] : Within(written, kProgIdKey)) cls[k] = v;
    const std::wstring server = kClassKey + L"\\inprocserver32|";
    EXPECT_EQ(L"1:" + Lower(ServerPath()), Lower(cls[server]));
    cls.erase(server);
    EXPECT_EQ((Snapshot{{kClassKey + L"\\", L""},
                        {kClassKey + L"|", L"1:Quorin.clsMachine"},
                        {kClassKey + L"\\inprocserver32\\", L""},
                        {kClassKey + L"\\inprocserver32|threadingmodel", L"1:Apartment"},
                        {kClassKey + L"\\progid\\", L""},
                        {kClassKey + L"\\progid|", L"1:Quorin.clsMachine"},
                        {kClassKey + L"\\typelib\\", L""},
                        {kClassKey + L"\\typelib|", L"1:" + kLibid},
                        {kClassKey + L"\\version\\", L""},
                        {kClassKey + L"\\version|", L"1:1.0"},
                        {kProgIdKey + L"\\", L""},
                        {kProgIdKey + L"|", L"1:Quorin.clsMachine"},
                        {kProgIdKey + L"\\clsid\\", L""},
                        {kProgIdKey + L"\\clsid|", L"1:" + kClsid}}),
              cls);
    // The rest belongs to the type library and its interface (also seen through the 32-bit view).
    const std::wstring library = Lower(kClasses + L"\\TypeLib\\" + kLibid);
    for (const auto& [k, v] : written) {
        bool ours = Under(k, kClassKey) || Under(k, kProgIdKey) || Under(k, library);
        for (const wchar_t* view : {L"\\", L"\\Wow6432Node\\"})
            ours = ours || Under(k, Lower(kClasses + view + L"Interface\\" + kIid)) ||
                   Under(k, Lower(kClasses + view + L"TypeLib\\" + kLibid));
        EXPECT_TRUE(ours) << std::string(k.begin(), k.end());
    }
    const std::wstring win = sizeof(void*) == 8 ? L"win64" : L"win32";
    const auto file = written.find(library + L"\\1.0\\0\\" + win + L"|");
    ASSERT_NE(written.end(), file) << "the type library's " << std::string(win.begin(), win.end());
    EXPECT_EQ(L"1:" + Lower(ServerPath()), Lower(file->second));

    // Registering again gives back exactly what there was; twice is harmless, and so is
    // unregistering twice.
    ASSERT_EQ(0u, Regsvr32(L""));
    ExpectSame(registered, Classes());
    ASSERT_EQ(0u, Regsvr32(L""));
    ExpectSame(registered, Classes());
    ASSERT_EQ(0u, Regsvr32(L"/u"));
    ASSERT_EQ(0u, Regsvr32(L"/u"));
    ExpectSame(unregistered, Classes());
}

// Someone else's subkey, or a value of its own, keeps the class key and itself.
TEST_F(Registration, UnregisteringLeavesOtherEntriesOfTheClassKey) {
    const std::wstring appId = L"{0B1F5C3E-7A2D-4E66-9C1B-3D5E2F4A6B70}";
    const struct {
        const wchar_t* subkey;  // created empty
        const wchar_t* value;   // set to appId
        Snapshot left;
    } cases[] = {
        {L"Implemented Categories",
         nullptr,
         {{kClassKey + L"\\", L""}, {kClassKey + L"\\implemented categories\\", L""}}},
        {nullptr, L"AppID", {{kClassKey + L"\\", L""}, {kClassKey + L"|appid", L"1:" + appId}}},
    };
    for (const auto& c : cases) {
        if (&c != cases) {  // the fixture registered the driver for the first
            ASSERT_EQ(0u, Regsvr32(L""));
        }
        const std::wstring path =
            L"CLSID\\" + kClsid + (c.subkey ? std::wstring(L"\\") + c.subkey : L"");
        const quorin::RegKey key = CreateClassesKey(path);
        ASSERT_TRUE(key);
        if (c.value) {
            EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), c.value, 0, REG_SZ,
                                                    reinterpret_cast<const BYTE*>(appId.c_str()),
                                                    DWORD((appId.size() + 1) * sizeof(wchar_t))));
        }
        ASSERT_EQ(0u, Regsvr32(L"/u"));
        EXPECT_EQ(c.left, Within(Classes(), kClassKey));
        DeleteClassesTree(L"CLSID\\" + kClsid);
    }
}

TEST_F(Registration, FailureLeavesNoHalfWrittenClass) {
    ASSERT_EQ(0u, Regsvr32(L"/u"));
    const Snapshot unregistered = Classes();
    // A volatile ProgID key: the ProgID's CLSID subkey cannot be created under it, which is the
    // last step of registering.
    CreateClassesKey(L"Quorin.clsMachine", REG_OPTION_VOLATILE);

    HMODULE server = LoadLibraryW(ServerPath().c_str());
    ASSERT_TRUE(server);
    auto reg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(server, "DllRegisterServer")));
    ASSERT_TRUE(reg);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE), reg());
    FreeLibrary(server);

    Snapshot after = Classes();
    for (const auto& [k, v] : Within(after, kProgIdKey)) after.erase(k);
    ExpectSame(unregistered, after);
    DeleteClassesTree(L"Quorin.clsMachine");
}

// The exports, called directly as COM calls them.
struct Server {
    Server() : module(LoadLibraryW(ServerPath().c_str())) {}
    ~Server() {
        if (module) FreeLibrary(module);
    }
    template <class F>
    F* Export(const char* name) const {
        return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const {
        return Export<HRESULT STDAPICALLTYPE(REFCLSID, REFIID, void**)>("DllGetClassObject")(
            clsid, riid, ppv);
    }
    HRESULT CanUnloadNow() const { return Export<HRESULT STDAPICALLTYPE()>("DllCanUnloadNow")(); }
    HMODULE module;
};

const CLSID kClsidClsMachine = {
    0x868de1eb, 0x2ca2, 0x43c2, {0x9d, 0x8c, 0xe5, 0xd1, 0x01, 0x82, 0xa9, 0x37}};

TEST(ServerExports, UnloadAnswersFollowObjectsAndLocks) {
    InFreshApartment([] {
        Server server;
        ASSERT_TRUE(server.module);
        EXPECT_EQ(S_OK, server.CanUnloadNow());

        ComPtr<IClassFactory> factory;
        ASSERT_EQ(S_OK,
                  server.GetClassObject(kClsidClsMachine, IID_IClassFactory, factory.put_void()));
        ComPtr<IUnknown> object;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, object.put_void()));
        factory.reset();
        EXPECT_EQ(S_FALSE, server.CanUnloadNow());  // the object
        object.reset();
        EXPECT_EQ(S_OK, server.CanUnloadNow());

        ASSERT_EQ(S_OK,
                  server.GetClassObject(kClsidClsMachine, IID_IClassFactory, factory.put_void()));
        EXPECT_EQ(S_OK, factory->LockServer(TRUE));
        factory.reset();
        EXPECT_EQ(S_FALSE, server.CanUnloadNow());  // the lock
        ASSERT_EQ(S_OK,
                  server.GetClassObject(kClsidClsMachine, IID_IClassFactory, factory.put_void()));
        EXPECT_EQ(S_OK, factory->LockServer(FALSE));
        factory.reset();
        EXPECT_EQ(S_OK, server.CanUnloadNow());

        // An unlock without a lock changes nothing: neither the reference still held nor a lock
        // taken afterwards is cancelled by it.
        ASSERT_EQ(S_OK,
                  server.GetClassObject(kClsidClsMachine, IID_IClassFactory, factory.put_void()));
        EXPECT_EQ(S_OK, factory->LockServer(FALSE));
        EXPECT_EQ(S_FALSE, server.CanUnloadNow());  // the reference
        EXPECT_EQ(S_OK, factory->LockServer(FALSE));
        EXPECT_EQ(S_OK, factory->LockServer(TRUE));
        factory.reset();
        EXPECT_EQ(S_FALSE, server.CanUnloadNow());  // the lock
        ASSERT_EQ(S_OK,
                  server.GetClassObject(kClsidClsMachine, IID_IClassFactory, factory.put_void()));
        EXPECT_EQ(S_OK, factory->LockServer(FALSE));
        factory.reset();
        EXPECT_EQ(S_OK, server.CanUnloadNow());
    });
}

TEST(ServerExports, ApartmentDeviceControlCountsUntilItsApartmentEnds) {
    Server server;
    InFreshApartment([&] {
        FreshClock();
        ComPtr<IMachine> machine = CreateDriver();
        ASSERT_TRUE(machine);
        ComPtr<_Collection> col;
        Bstr empty(L""), msg(L"");
        VARIANT_BOOL result = 1;
        ASSERT_EQ(S_OK, machine->funcRegister(col.put(), VARIANT_TRUE, 1, 1, empty.get(),
                                              empty.get(), 1, 1, msg.inout(), &result));
        col.reset();
        machine.reset();
        EXPECT_EQ(S_FALSE, server.CanUnloadNow());  // this apartment's device control
    });
    EXPECT_EQ(S_OK, server.CanUnloadNow());
}

// The driver's calls of the platform's type-library loaders, counted while this lives by putting
// counting ones in the driver module's import table: its own library (from its file or the
// registry) and the host's.
class TypeLibLoads {
  public:
    explicit TypeLibLoads(HMODULE driver) {
        own = host = 0;
        HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
        loadEx_ = Patch(driver, GetProcAddress(oleaut, "LoadTypeLibEx"), &CountedLoadEx);
        loadReg_ = Patch(driver, GetProcAddress(oleaut, "LoadRegTypeLib"), &CountedLoadReg);
        EXPECT_TRUE(loadEx_.slot && loadReg_.slot) << "the driver imports both loaders";
        realEx_ = reinterpret_cast<LoadEx>(loadEx_.original);
        realReg_ = reinterpret_cast<LoadReg>(loadReg_.original);
    }
    TypeLibLoads(const TypeLibLoads&) = delete;
    TypeLibLoads& operator=(const TypeLibLoads&) = delete;
    ~TypeLibLoads() {
        Restore(loadReg_);
        Restore(loadEx_);
    }

    static inline int own = 0, host = 0;

  private:
    using LoadEx = HRESULT(WINAPI*)(LPCOLESTR, REGKIND, ITypeLib**);
    using LoadReg = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, ITypeLib**);
    struct Patched {
        void** slot = nullptr;
        void* original = nullptr;
    };

    static HRESULT WINAPI CountedLoadEx(LPCOLESTR file, REGKIND kind, ITypeLib** lib) {
        ++own;  // the driver reads no other library from a file
        return realEx_(file, kind, lib);
    }
    static HRESULT WINAPI CountedLoadReg(REFGUID libid, WORD major, WORD minor, LCID lcid,
                                         ITypeLib** lib) {
        ++(GuidString(libid) == kLibid ? own : host);
        return realReg_(libid, major, minor, lcid, lib);
    }

    static void Write(void** slot, void* value) {
        DWORD was = 0;
        VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &was);
        *slot = value;
        VirtualProtect(slot, sizeof *slot, was, &was);
    }
    // Replaces the module's import of `target` with `counted`.
    template <class F>
    static Patched Patch(HMODULE module, FARPROC target, F* counted) {
        auto* base = reinterpret_cast<BYTE*>(module);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             d->Name; ++d) {
            for (auto* t = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
                 t->u1.Function; ++t) {
                if (t->u1.Function != reinterpret_cast<ULONG_PTR>(target)) continue;
                Patched p{reinterpret_cast<void**>(&t->u1.Function),
                          reinterpret_cast<void*>(target)};
                Write(p.slot, reinterpret_cast<void*>(counted));
                return p;
            }
        }
        return {};
    }
    static void Restore(const Patched& p) {
        if (p.slot) Write(p.slot, p.original);
    }

    Patched loadEx_, loadReg_;
    static inline LoadEx realEx_ = nullptr;
    static inline LoadReg realReg_ = nullptr;
};

// Late-bound calls read the driver's type library once for the object, not once a call, and the
// host's once; the object lets go of both when it goes, so that the module can unload.
TEST(ServerExports, TypeLibrariesAreLoadedOncePerObjectAndReleasedWithIt) {
    InFreshApartment([] {
        Server server;
        ASSERT_TRUE(server.module);
        ASSERT_EQ(S_OK, server.CanUnloadNow());
        // The platform keeps one instance of a library while anyone holds it: the driver's hold
        // shows in its count.
        ComPtr<ITypeLib> lib;
        ASSERT_EQ(S_OK, LoadTypeLibEx(ServerPath().c_str(), REGKIND_NONE, lib.put()));
        const ULONG libRefs = RefCount(lib.get());
        {
            const TypeLibLoads loads(server.module);
            ComPtr<IMachine> machine = CreateDriver();
            ASSERT_TRUE(machine);
            ComPtr<_clsMachine> def = DefaultInterface(machine.get());
            const ULONG refs = RefCount(machine.get());
            Bstr ip(L"");
            for (int i = 0; i < 250; ++i) {  // four late-bound calls a round
                ComPtr<ITypeInfo> info;
                EXPECT_EQ(S_OK, def->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()));
                EXPECT_EQ(0x60030005, IdOf(machine.get(), L"delCardData"));  // the host's name
                VARIANT_BOOL result = 1;
                EXPECT_EQ(S_OK, CallByName(def.get(), L"IMachine_delCardData",
                                           {view::Bool(VARIANT_TRUE), view::Text(ip.get()),
                                            view::I2(1), view::I2(1)},
                                           &result));
                EXPECT_EQ(VARIANT_FALSE, result);
            }
            EXPECT_EQ(1, TypeLibLoads::own);
            EXPECT_EQ(1, TypeLibLoads::host);
            EXPECT_EQ(refs, RefCount(machine.get()));
            EXPECT_LT(libRefs, RefCount(lib.get())) << "the object holds the library";
        }
        EXPECT_EQ(libRefs, RefCount(lib.get()));
        lib.reset();
        EXPECT_EQ(S_OK, server.CanUnloadNow());
    });
}

TEST(ServerExports, ClassObjectOnlyForClsMachineAndNoAggregation) {
    Server server;
    for (const char* name :
         {"DllRegisterServer", "DllUnregisterServer", "DllGetClassObject", "DllCanUnloadNow"})
        EXPECT_TRUE(GetProcAddress(server.module, name)) << name;

    const CLSID others[] = {
        {0x00853a19, 0xbd51, 0x419b, {0x92, 0x69, 0x2d, 0xab, 0xe5, 0x7e, 0xb6, 0x1f}},
        {0x652e4486, 0x6eb5, 0x4fb9, {0xb0, 0x0d, 0xd5, 0x00, 0x42, 0xee, 0xbb, 0x8f}},
        CLSID_NULL};
    for (const CLSID& other : others) {
        void* ppv = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, server.GetClassObject(other, IID_IClassFactory, &ppv));
        EXPECT_EQ(nullptr, ppv);
    }
    EXPECT_EQ(E_POINTER, server.GetClassObject(kClsidClsMachine, IID_IClassFactory, nullptr));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, server.GetClassObject(kClsidClsMachine, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
    ComPtr<IUnknown> object;
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              factory->CreateInstance(reinterpret_cast<IUnknown*>(factory.get()), IID_IUnknown,
                                      object.put_void()));
    EXPECT_FALSE(object);
}

}  // namespace
