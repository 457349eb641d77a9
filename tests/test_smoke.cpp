// Every path of the DLL where the binary interface of its kind shows, once each, in one process:
// where 32-bit programs run only emulated (each process start costing tens of seconds) tools/test
// runs this program alone on the shipped i686 DLL; everywhere else it runs with the whole suite.
// The servers' registration in the registry view of this kind; the exports and the class factory
// as COM calls them; the six operations through both vtables, at the slots and in the calling
// convention that the type libraries give a host, and through Invoke by name with a script's
// variables by reference; their records, rows, messages, device calls and references.
//
// On i686 every call into the driver goes through a thunk that checks the stack pointer: a
// stdcall callee takes its arguments off the stack, and a method compiled in another calling
// convention leaves the stack pointer moved.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "operations/template.h"
#include "standins/collection/collection_probe.h"
#include "standins/pelt/pelt_probe.h"
#include "standins/recordset/recordset.h"
#include "tests/registry.h"
#include "tests/support.h"
#include "tests/typelib_expect.h"

namespace {

using namespace qt;

#if defined(__i386__)
// Calls fn with `count` stack words (words[0] pushed last, the first argument) and ECX holding
// the first, so that a method compiled as thiscall still finds its object and returns: its fault
// then shows as the stack pointer it leaves instead of a crash. *moved: the stack pointer after
// the call less the one before the arguments were pushed, 0 for a stdcall callee. The stack is
// put back either way.
extern "C" __attribute__((naked)) uint32_t CallStdcall(const void*, const uint32_t*, uint32_t,
                                                       int32_t*) {
    asm("push %ebp\n"
        "mov %esp, %ebp\n"
        "push %ebx\n"
        "push %esi\n"
        "push %edi\n"
        "mov 12(%ebp), %esi\n"
        "mov 16(%ebp), %ebx\n"
        "mov %esp, %edi\n"
        "1: test %ebx, %ebx\n"
        "jz 2f\n"
        "dec %ebx\n"
        "push (%esi,%ebx,4)\n"
        "jmp 1b\n"
        "2: mov (%esp), %ecx\n"
        "call *8(%ebp)\n"
        "mov %esp, %ecx\n"
        "sub %edi, %ecx\n"
        "mov 20(%ebp), %edx\n"
        "mov %ecx, (%edx)\n"
        "mov %edi, %esp\n"
        "pop %edi\n"
        "pop %esi\n"
        "pop %ebx\n"
        "pop %ebp\n"
        "ret\n");
}

template <class T>
uint32_t Word(T value) {
    static_assert(sizeof(T) <= 4, "one stack word per argument");
    if constexpr (std::is_pointer_v<T>)
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
    else
        return static_cast<uint32_t>(value);
}
#endif

// Calls a function of the driver (an export, or a method with its object first) as a host calls
// it: stdcall, which on i686 must leave the stack pointer where it was before the arguments.
template <class R, class... A>
R Into(const char* what, const void* fn, A... args) {
#if defined(__i386__)
    const std::array<uint32_t, sizeof...(A)> words = {Word(args)...};
    int32_t moved = 0;
    const uint32_t r = CallStdcall(fn, words.data(), words.size(), &moved);
    EXPECT_EQ(0, moved) << what << " left the stack pointer moved by " << moved << " bytes";
    return static_cast<R>(r);
#else
    (void)what;
    return reinterpret_cast<R(STDMETHODCALLTYPE*)(A...)>(const_cast<void*>(fn))(args...);
#endif
}

// Calls the method in that slot of the object's vtable.
template <class R = HRESULT, class I, class... A>
R Method(const char* what, I* object, unsigned slot, A... args) {
    const void* const* vtable = *reinterpret_cast<const void* const* const*>(object);
    return Into<R>(what, vtable[slot], object, args...);
}

// A reference to an interface of the driver, released through a checked call.
class DriverRef {
  public:
    DriverRef() = default;
    DriverRef(const DriverRef&) = delete;
    DriverRef& operator=(const DriverRef&) = delete;
    ~DriverRef() { reset(); }
    void reset() {
        if (p_) Method<ULONG>("Release", std::exchange(p_, nullptr), 2);
    }
    void** put() {
        reset();
        return reinterpret_cast<void**>(&p_);
    }
    IUnknown* get() const { return p_; }

  private:
    IUnknown* p_ = nullptr;
};

// The object's reference count, by a checked AddRef and Release.
ULONG Refs(IUnknown* object) {
    Method<ULONG>("AddRef", object, 1);
    return Method<ULONG>("Release", object, 2);
}

std::wstring Beside(const wchar_t* file) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path = self;
    return path.substr(0, path.find_last_of(L'\\') + 1) + file;
}

// The driver's exports, from the file the registration names, as COM calls them.
struct Exports {
    Exports() {
        HMODULE module = LoadLibraryW(Beside(L"Quorin.dll").c_str());
        EXPECT_TRUE(module);
        getClassObject = reinterpret_cast<const void*>(GetProcAddress(module, "DllGetClassObject"));
        canUnloadNow = reinterpret_cast<const void*>(GetProcAddress(module, "DllCanUnloadNow"));
    }
    HRESULT CanUnloadNow() const { return Into<HRESULT>("DllCanUnloadNow", canUnloadNow); }
    // The class object, and a new clsMachine from it asked for iid.
    HRESULT ClassObject(DriverRef& factory) const {
        CLSID clsid{};
        EXPECT_EQ(S_OK, CLSIDFromProgID(L"Quorin.clsMachine", &clsid));
        return Into<HRESULT>("DllGetClassObject", getClassObject, &clsid, &IID_IClassFactory,
                             factory.put());
    }
    HRESULT Create(REFIID iid, DriverRef& object) const {
        DriverRef factory;
        const HRESULT hr = ClassObject(factory);
        if (FAILED(hr)) return hr;
        return Method("IClassFactory::CreateInstance", factory.get(), 3,
                      static_cast<IUnknown*>(nullptr), &iid, object.put());
    }
    const void* getClassObject = nullptr;
    const void* canUnloadNow = nullptr;
};
const Exports& Driver() {
    static const Exports exports;
    return exports;
}

// The default value of HKLM\Software\Classes\<path> in a view, as "type:data" (empty for none).
std::wstring DefaultValue(const std::wstring& path, REGSAM view) {
    quorin::RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\" + path).c_str(), 0,
                      KEY_READ | view, key.put()) != ERROR_SUCCESS)
        return L"";
    Snapshot s;
    Walk(key.get(), L"", view, s);
    return s[L"|"];
}

TEST(Smoke, EveryServerIsRegisteredInTheViewOfItsKind) {
    const struct {
        const wchar_t* progId;
        const wchar_t* file;
    } servers[] = {{L"Quorin.clsMachine", L"Quorin.dll"},
                   {L"ClockLinkCtl.ClockCtl", L"ClockSim.dll"},
                   {L"VBA.Collection", L"VbCollection.dll"},
                   {L"PeltMachine.CardRecord", L"PeltMachine.dll"}};
    for (const auto& server : servers) {
        SCOPED_TRACE(Utf8(server.progId));
        CLSID clsid{};
        ASSERT_EQ(S_OK, CLSIDFromProgID(server.progId, &clsid));
        const std::wstring key = L"CLSID\\" + GuidString(clsid) + L"\\InprocServer32";
        EXPECT_EQ(Lower(L"1:" + Beside(server.file)), Lower(DefaultValue(key, kHostView)));
        EXPECT_EQ(L"", DefaultValue(key, kOtherView)) << "hosts of the other kind would load it";
    }
    const wchar_t* win = sizeof(void*) == 4 ? L"win32" : L"win64";
    EXPECT_EQ(Lower(L"1:" + Beside(L"Quorin.dll")),
              Lower(DefaultValue(
                  std::wstring(L"TypeLib\\{D6E5994A-10CC-4129-81B8-78876DBEFBFF}\\1.0\\0\\") + win,
                  kHostView)));
}

TEST(Smoke, ClassFactoryAndUnloadingAsComCallsThem) {
    InFreshApartment([] {
        const Exports& server = Driver();
        ASSERT_TRUE(server.getClassObject && server.canUnloadNow);
        EXPECT_EQ(S_OK, server.CanUnloadNow());
        DriverRef factory, machine, def;
        ASSERT_EQ(S_OK, server.ClassObject(factory));
        EXPECT_EQ(S_FALSE, server.CanUnloadNow());  // the factory
        EXPECT_EQ(S_OK, Method("LockServer", factory.get(), 4, TRUE));
        factory.reset();
        EXPECT_EQ(S_FALSE, server.CanUnloadNow());  // the lock
        ASSERT_EQ(S_OK, server.ClassObject(factory));
        EXPECT_EQ(S_OK, Method("LockServer", factory.get(), 4, FALSE));
        EXPECT_EQ(S_OK,
                  Method("IClassFactory::CreateInstance", factory.get(), 3,
                         static_cast<IUnknown*>(nullptr), &__uuidof(IMachine), machine.put()));
        factory.reset();
        EXPECT_EQ(S_FALSE, server.CanUnloadNow());  // the object
        ASSERT_TRUE(machine.get());
        EXPECT_EQ(1u, Refs(machine.get()));
        EXPECT_EQ(S_OK,
                  Method("QueryInterface", machine.get(), 0, &__uuidof(_clsMachine), def.put()));
        EXPECT_EQ(2u, Refs(machine.get()));
        def.reset();
        machine.reset();
        EXPECT_EQ(S_OK, server.CanUnloadNow());
    });
}

enum Op { kDiscovery, kBackup, kRestore, kDownload, kWriteCard, kDelete };
const wchar_t* const kNames[] = {L"funcRegister",     L"funcBackFingure", L"funcReWrite",
                                 L"DownloadCarddata", L"funcWriteCard",   L"delCardData"};
// The operations' dispatch identifiers follow in that order.
constexpr MEMBERID kFirstId = 0x60030000;

std::array<int32_t, 460> Fingerprint() {
    std::array<int32_t, 460> t{};
    for (int i = 0; i < 460; ++i) t[i] = (i % 2 ? -1 : 1) * (i * 4099 + 17);
    return t;
}

// Machine 1 on port 1, with two swipes and person 7's template.
void Site() {
    clocksim::Device& device = FreshClock().At(1, 1);
    device.log = {{101, 2026, 1, 5, 8, 30, {}, {}, {}, {}},
                  {102, 2026, 12, 31, 23, 0, {}, {}, {}, {}}};
    clocksim::Enrollment e;
    e.templ = Fingerprint();
    device.enrollments[{7, 0}] = e;
}

// That minute of that day: the whole days since 30 December 1899 and the fraction of a day.
DATE At(WORD year, WORD month, WORD day, WORD hour, WORD minute) {
    SYSTEMTIME t = {year, month, 0, day, 0, 0, 0, 0};
    DATE date = 0;
    SystemTimeToVariantTime(&t, &date);
    return date + (hour * 60 + minute) / 1440.0;
}

// What the host holds around one pass of the six operations.
struct Host {
    ComPtr<RecordsetStandin> rs = RecordsetStandin::Create();  // backup fills it, restore reads it
    ComPtr<_Collection> cards = NewCollection();  // download fills it, funcWriteCard gets it
    ComPtr<_Collection> found;                    // what discovery hands back
};

struct Seen {
    HRESULT hr = E_UNEXPECTED;
    VARIANT_BOOL result = 1;  // neither True nor False: none came back
    std::wstring msg;
};

// The vtable half of a dual interface's description, where a host's compiler takes its slots.
ComPtr<ITypeInfo> VtableOf(ITypeInfo* dual) {
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> vtable;
    EXPECT_EQ(S_OK, dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref));
    EXPECT_EQ(S_OK, dual->GetRefTypeInfo(ref, vtable.put()));
    return vtable;
}

// The slot of the method with this identifier (0, with a failure, when there is none); every
// method there is stdcall.
unsigned Slot(ITypeInfo* vtable, MEMBERID id) {
    for (UINT i = 0;; ++i) {
        FUNCDESC* f = nullptr;
        if (!vtable || FAILED(vtable->GetFuncDesc(i, &f))) break;
        const bool match = f->memid == id;
        const unsigned slot = f->oVft / sizeof(void*);
        const CALLCONV convention = f->callconv;
        vtable->ReleaseFuncDesc(f);
        if (!match) continue;
        EXPECT_EQ(CC_STDCALL, convention);
        return slot;
    }
    ADD_FAILURE() << "no method " << std::hex << id;
    return 0;
}

// Calls op through a vtable, at the slot its description gives, with strMsg the caller's text.
Seen ByVtable(IUnknown* itf, ITypeInfo* vtable, Op op, Host& host) {
    Seen seen;
    const unsigned slot = Slot(vtable, kFirstId + op);
    if (!slot) return seen;
    const std::string what = Utf8(kNames[op]);
    Bstr ip(L""), person(L"7"), msg(L"caller's text");
    VARIANT_BOOL* r = &seen.result;
    _ADORecordset* rs = host.rs.get();
    _Collection* col = op == kDiscovery ? nullptr : host.cards.get();
    const char* w = what.c_str();
    const short one = 1;
    switch (op) {
        case kDiscovery:
            seen.hr = Method(w, itf, slot, &col, VARIANT_TRUE, one, one, ip.get(), ip.get(), one,
                             one, msg.inout(), r);
            host.found = ComPtr<_Collection>::adopt(col);
            break;
        case kBackup:
            seen.hr = Method(w, itf, slot, VARIANT_TRUE, ip.get(), one, one, person.get(), &rs,
                             msg.inout(), r);
            EXPECT_EQ(host.rs.get(), rs);
            break;
        case kRestore:
            seen.hr = Method(w, itf, slot, VARIANT_TRUE, ip.get(), one, one, person.get(), rs,
                             msg.inout(), r);
            break;
        case kDownload:
            seen.hr = Method(w, itf, slot, VARIANT_TRUE, ip.get(), one, one, &col, msg.inout(), r);
            EXPECT_EQ(host.cards.get(), col);
            break;
        case kWriteCard:
            seen.hr = Method(w, itf, slot, VARIANT_TRUE, ip.get(), one, one, col, msg.inout(), r);
            break;
        case kDelete:
            seen.hr = Method(w, itf, slot, VARIANT_TRUE, ip.get(), one, one, r);
            break;
    }
    seen.msg = Text(msg.get());
    return seen;
}

// Calls op by name through Invoke as a script does with its variables: every argument a variant
// by reference (VT_BYREF|VT_VARIANT) to a variable of its own, where the objects and strMsg come
// back.
Seen ByName(IUnknown* d, Op op, Host& host) {
    const Variant on = Variant::Bool(true), one = Variant::I2(1), ip = Variant::Text(L""),
                  person = Variant::Text(L"7"), msg = Variant::Text(L"caller's text");
    std::vector<Variant> vars;  // in call order
    switch (op) {
        case kDiscovery:
            vars = {Variant::Dispatch(nullptr), on, one, one, ip, ip, one, one, msg};
            break;
        case kBackup:
        case kRestore:
            vars = {on, ip, one, one, person, Variant::Dispatch(host.rs.get()), msg};
            break;
        case kDownload:
        case kWriteCard:
            vars = {on, ip, one, one, Variant::Dispatch(host.cards.get()), msg};
            break;
        case kDelete:
            vars = {on, ip, one, one};
            break;
    }
    std::vector<VARIANT> args;  // reversed, as DISPPARAMS holds them
    for (auto it = vars.rbegin(); it != vars.rend(); ++it)
        args.push_back(view::Ref(VT_BYREF | VT_VARIANT, it->get()));

    Seen seen;
    LPOLESTR name = const_cast<LPOLESTR>(kNames[op]);
    DISPID id = 0;
    EXPECT_EQ(S_OK, Method("GetIDsOfNames", d, 5, &IID_NULL, &name, 1u, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(kFirstId + op, id);
    DISPPARAMS params = {args.data(), nullptr, UINT(args.size()), 0};
    Variant answer;
    UINT argErr = 0;
    seen.hr = Method("Invoke", d, 6, id, &IID_NULL, LOCALE_USER_DEFAULT, WORD(DISPATCH_METHOD),
                     &params, answer.get(), static_cast<EXCEPINFO*>(nullptr), &argErr);
    if (answer.vt() == VT_BOOL) seen.result = V_BOOL(answer.get());
    if (op == kDelete) return seen;
    EXPECT_EQ(VT_BSTR, vars.back().vt());
    seen.msg = vars.back().text();
    // The objects, in the variables, as the operation left them.
    const Variant& object = vars[op == kDiscovery                      ? 0
                                 : op == kDownload || op == kWriteCard ? 4
                                                                       : 5];
    EXPECT_EQ(VT_DISPATCH, object.vt());
    IDispatch* const held = object.vt() == VT_DISPATCH ? V_DISPATCH(object.get()) : nullptr;
    if (op == kDiscovery) {
        if (held) {
            EXPECT_EQ(S_OK, held->QueryInterface(__uuidof(_Collection), host.found.put_void()));
        }
    } else {
        EXPECT_EQ(op == kBackup || op == kRestore ? static_cast<IDispatch*>(host.rs.get())
                                                  : host.cards.get(),
                  held);
    }
    return seen;
}

// What each operation hands back, however it was called.
void ExpectOutcome(Op op, const Seen& seen, Host& host) {
    clocksim::Scenario& clock = *ClockScenario();
    EXPECT_EQ(S_OK, seen.hr);
    EXPECT_EQ(op < kWriteCard ? VARIANT_TRUE : VARIANT_FALSE, seen.result);
    if (op != kDelete) {
        EXPECT_EQ(op == kRestore || op == kDownload ? L"" : L"caller's text", seen.msg);
    }
    const std::array<int32_t, 460> fingerprint = Fingerprint();
    const std::vector<int32_t> packed(fingerprint.begin(), fingerprint.begin() + 459);
    const std::string device = CallTrace(clock.calls);
    switch (op) {
        case kDiscovery: {
            EXPECT_EQ("ConnectSerial(1,1,38400)", device);
            ASSERT_TRUE(host.found);
            EXPECT_EQ(1u, RefCount(host.found.get()));
            ASSERT_EQ(1, CountOf(host.found.get()));
            ComPtr<_FoundMachine> found;
            ASSERT_EQ(S_OK, ItemOf(host.found.get(), 1).query(found));
            Variant machine, port;
            EXPECT_EQ(S_OK, found->get_MachineNo(machine.put()));
            EXPECT_EQ(S_OK, found->get_Port(port.put()));
            EXPECT_EQ(VT_I2, machine.vt());
            EXPECT_EQ(1, V_I2(machine.get()));
            EXPECT_EQ(VT_I2, port.vt());
            EXPECT_EQ(1, V_I2(port.get()));
            break;
        }
        case kBackup: {
            EXPECT_EQ(
                "SerialPort(1) ConnectSerial(1,1,38400) ReadEnrollment(1,7,1,0,&1,&0,&0) "
                "Disconnect()",
                device);
            ASSERT_EQ(1u, host.rs->rows.size());
            Row& row = host.rs->rows[0];
            const std::pair<const wchar_t*, short> columns[] = {
                {L"cpsn_num", 7}, {L"iFingerprintNO", 0}, {L"imachineno", 1}};
            for (const auto& [column, value] : columns) {
                EXPECT_EQ(VT_I2, row[column].vt()) << Utf8(column);
                EXPECT_EQ(value, V_I2(row[column].get())) << Utf8(column);
            }
            const std::vector<BYTE> bytes = row[L"bFingerprint"].bytes();
            ASSERT_EQ(2296u, bytes.size());
            quorin::ops::TemplateBuffer read = {};
            quorin::ops::UnpackTemplate(bytes, read);
            EXPECT_EQ(packed, std::vector<int32_t>(read, read + 459));
            break;
        }
        case kRestore: {
            EXPECT_EQ(
                "ConnectSerial(1,1,38400) ConnectSerial(1,1,38400) "
                "WriteEnrollment(1,7,1,0,1,&17,0) Disconnect()",
                device);
            ASSERT_EQ(1u, clock.written.size());
            const clocksim::WrittenEnrollment& written = clock.written[0];
            EXPECT_EQ(7, written.person);
            EXPECT_EQ(0, written.backup);
            EXPECT_EQ(packed, std::vector<int32_t>(written.templ.begin(), written.templ.end() - 1));
            EXPECT_EQ(0, written.templ[459]);
            break;
        }
        case kDownload: {
            // Each NextLogRecord gets the variables as the previous record left them.
            EXPECT_EQ(
                "SerialPort(1) ConnectSerial(1,1,38400) StartLogRead(1) "
                "NextLogRecord(1,&1,&0,&1,&0,&0,&0,&0,&0,&0,&0) "
                "NextLogRecord(1,&1,&101,&1,&0,&0,&2026,&1,&5,&8,&30) "
                "NextLogRecord(1,&1,&102,&1,&0,&0,&2026,&12,&31,&23,&0) AfterLogRead(1) "
                "Disconnect()",
                device);
            ASSERT_EQ(2, CountOf(host.cards.get()));
            const std::pair<LONG, DATE> cards[] = {{101, At(2026, 1, 5, 8, 30)},
                                                   {102, At(2026, 12, 31, 23, 0)}};
            for (long i = 1; i <= 2; ++i) {
                ComPtr<_CardRecord> card;
                ASSERT_EQ(S_OK, ItemOf(host.cards.get(), i).query(card));
                Variant person, time;
                EXPECT_EQ(S_OK, card->get_PersonNo(person.put()));
                EXPECT_EQ(S_OK, card->get_SwipeTime(time.put()));
                EXPECT_EQ(VT_I4, person.vt());
                EXPECT_EQ(cards[i - 1].first, V_I4(person.get()));
                EXPECT_EQ(VT_DATE, time.vt());
                EXPECT_DOUBLE_EQ(cards[i - 1].second, V_DATE(time.get()));
            }
            break;
        }
        case kWriteCard:
        case kDelete:
            EXPECT_EQ("", device);
            break;
    }
}

// The six operations in turn, each called by `call`; what each hands back, and every reference
// the way it was afterwards. Once the host's objects are gone, so is every record.
template <class Call>
void SixOperations(IUnknown* driver, Call call) {
    Site();
    const long collections = VbCollectionLiveObjects();
    {
        Host host;
        const ULONG driverRefs = Refs(driver);
        for (Op op : {kDiscovery, kBackup, kRestore, kDownload, kWriteCard, kDelete}) {
            SCOPED_TRACE(Utf8(kNames[op]));
            clocksim::Scenario& clock = *ClockScenario();
            clock.calls.clear();
            clock.written.clear();
            ExpectOutcome(op, call(op, host), host);
            EXPECT_EQ(driverRefs, Refs(driver));
            EXPECT_EQ(1u, RefCount(static_cast<_ADORecordset*>(host.rs.get())));
            EXPECT_EQ(1u, RefCount(host.cards.get()));
        }
    }
    EXPECT_EQ(collections, VbCollectionLiveObjects());
    EXPECT_EQ(0, PeltLiveRecords());
    EXPECT_EQ(0, RecordsetStandin::LiveChildren());
}

TEST(Smoke, SixOperationsThroughBothVtablesAtTheSlotsTheLibrariesGive) {
    InFreshApartment([] {
        DriverRef machine, def;
        ASSERT_EQ(S_OK, Driver().Create(__uuidof(IMachine), machine));
        ASSERT_EQ(S_OK,
                  Method("QueryInterface", machine.get(), 0, &__uuidof(_clsMachine), def.put()));
        // IMachine as the host's library describes it, _clsMachine as the driver hands it out.
        ComPtr<ITypeLib> hostLibrary;
        CLSID pelt{};
        ASSERT_EQ(S_OK, CLSIDFromString(L"{7BA2C82C-26EC-4238-A7E2-432E99B4C731}", &pelt));
        ASSERT_EQ(S_OK, LoadRegTypeLib(pelt, 1, 1, 0, hostLibrary.put()));
        ComPtr<ITypeInfo> hostDual, ownDual;
        ASSERT_EQ(S_OK, hostLibrary->GetTypeInfoOfGuid(__uuidof(IMachine), hostDual.put()));
        UINT count = 0;
        EXPECT_EQ(S_OK, Method("GetTypeInfoCount", def.get(), 3, &count));
        EXPECT_EQ(1u, count);
        ASSERT_EQ(S_OK, Method("GetTypeInfo", def.get(), 4, 0u, LCID(0), ownDual.put()));
        const ComPtr<ITypeInfo> hostVtable = VtableOf(hostDual.get()),
                                ownVtable = VtableOf(ownDual.get());
        // After IDispatch; on _clsMachine after three entries of its own, which answer E_NOTIMPL.
        EXPECT_EQ(7u, Slot(hostVtable.get(), kFirstId));
        EXPECT_EQ(10u, Slot(ownVtable.get(), kFirstId));
        for (unsigned slot = 7; slot < 10; ++slot)
            EXPECT_EQ(E_NOTIMPL, Method("a reserved entry", def.get(), slot));

        const struct {
            const char* name;
            IUnknown* itf;
            ITypeInfo* vtable;
        } ways[] = {{"IMachine", machine.get(), hostVtable.get()},
                    {"_clsMachine", def.get(), ownVtable.get()}};
        for (const auto& way : ways) {
            SCOPED_TRACE(way.name);
            SixOperations(way.itf, [&](Op op, Host& host) {
                return ByVtable(way.itf, way.vtable, op, host);
            });
        }
    });
    // The apartment's device control ended with it.
    EXPECT_EQ(S_OK, Driver().CanUnloadNow());
}

TEST(Smoke, SixOperationsByNameWithScriptVariablesByReference) {
    InFreshApartment([] {
        // As a script host creates it.
        CLSID clsid{};
        ASSERT_EQ(S_OK, CLSIDFromProgID(L"Quorin.clsMachine", &clsid));
        DriverRef object;
        ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                         object.put()));
        SixOperations(object.get(),
                      [&](Op op, Host& host) { return ByName(object.get(), op, host); });
    });
    EXPECT_EQ(S_OK, Driver().CanUnloadNow());
}

}  // namespace
