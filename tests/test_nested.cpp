// What a host meets when its own code calls the driver again on the same thread while an
// operation lets the thread process its messages (a timer, a posted message, a window procedure):
// another working operation is refused before it does anything, and the running one ends exactly
// as if the call had never come; the stubs answer as ever; other threads are not affected. And
// what a host meets when the driver runs out of memory: no exception leaves a COM method.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "standins/collection/collection_probe.h"
#include "standins/pelt/pelt_probe.h"
#include "standins/recordset/recordset.h"
#include "tests/support.h"

namespace {

using namespace qt;

// Two clocks: the outer operations use the first, the nested ones the second.
const char kSite[] = R"({"devices": [
  {"port": 1, "machine": 1,
   "log": [{"person": 11, "time": "2026-01-05T08:30"}, {"person": 12, "time": "2026-01-05T08:31"},
           {"person": 13, "time": "2026-01-05T08:32"}],
   "enrollments": [{"person": 7, "template": {"seed": 3}}]},
  {"port": 2, "machine": 5,
   "log": [{"person": 21, "time": "2026-02-01T09:00"}, {"person": 22, "time": "2026-02-01T09:01"}],
   "enrollments": [{"person": 7, "password": 99}]}]})";

const wchar_t kRefusal[] =
    L"Another operation of the Quorin driver is running on this thread (the call came while that "
    L"operation let the thread process its messages); call again when it has ended";

enum class Op { Discovery, Download, Backup, Restore, WriteCard, DelCard };
// IMachine's names, in the order of Op.
const wchar_t* const kNames[] = {L"funcRegister", L"DownloadCarddata", L"funcBackFingure",
                                 L"funcReWrite",  L"funcWriteCard",    L"delCardData"};
const wchar_t* NameOf(Op op) {
    return kNames[static_cast<int>(op)];
}
enum class Way { Vtable, Invoke };

// What a call gave back, and what it did meanwhile: records are what the collection in col or
// cdata holds afterwards.
struct Got : Outcome {
    bool replaced = false;  // col or cdata refers to another collection afterwards
    std::string recordset;  // the calls the recordset received
    size_t rows = 0;        // the recordset's rows afterwards
};

std::string Describe(const Got& g) {
    std::ostringstream out;
    out << "hr=" << std::hex << g.hr << std::dec << " result=" << g.result << " msg=" << Utf8(g.msg)
        << " records=" << g.records << " replaced=" << g.replaced << " rows=" << g.rows
        << " recordset=[" << g.recordset << "] device=[" << g.device << "]";
    return out.str();
}

// Calls op on the clock at (port, machine) for person 7, through the vtable or through Invoke by
// name with script variables (VT_BYREF|VT_VARIANT), as VBScript passes them. The collection and
// the recordset are new for each call; restore's recordset holds one password row.
Got Call(IMachine* machine, Op op, Way way, short port, short number) {
    clocksim::Scenario& clock = *ClockScenario();
    const size_t callsBefore = clock.calls.size();
    ComPtr<_Collection> col = NewCollection();
    _Collection* const passed = col.get();
    ComPtr<RecordsetStandin> rs = RecordsetStandin::Create();
    if (op == Op::Restore)
        rs->rows = {{{L"iFingerprintNO", Variant::I2(10)},
                     {L"npassword", Variant::Text(L"1234")},
                     {L"bFingerprint", Variant::Bytes(nullptr, 0)}}};
    Bstr ip(L""), person(L"7");
    Got got;
    if (way == Way::Vtable) {
        Bstr msg(L"caller's text");
        VARIANT_BOOL* r = &got.result;
        _Collection* slot = col.detach();
        _ADORecordset* row = rs.get();
        switch (op) {
            case Op::Discovery:
                got.hr = machine->funcRegister(&slot, -1, port, port, ip.get(), ip.get(), 1, number,
                                               msg.inout(), r);
                break;
            case Op::Download:
                got.hr =
                    machine->DownloadCarddata(-1, ip.get(), port, number, &slot, msg.inout(), r);
                break;
            case Op::Backup:
                got.hr = machine->funcBackFingure(-1, ip.get(), port, number, person.get(), &row,
                                                  msg.inout(), r);
                break;
            case Op::Restore:
                got.hr = machine->funcReWrite(-1, ip.get(), port, number, person.get(), row,
                                              msg.inout(), r);
                break;
            case Op::WriteCard:
                got.hr = machine->funcWriteCard(-1, ip.get(), port, number, slot, msg.inout(), r);
                break;
            case Op::DelCard:
                got.hr = machine->delCardData(-1, ip.get(), port, number, r);
                break;
        }
        col = ComPtr<_Collection>::adopt(slot);
        got.msg = Text(msg.get());
    } else {
        Variant msg = Variant::Text(L"caller's text");
        Variant object = op == Op::Backup || op == Op::Restore ? Variant::Dispatch(rs.get())
                                                               : Variant::Dispatch(col.get());
        const VARIANT objectRef = view::Ref(VT_BYREF | VT_VARIANT, object.get()),
                      msgRef = view::Ref(VT_BYREF | VT_VARIANT, msg.get());
        std::vector<VARIANT> args;
        if (op == Op::Discovery) {
            args = {objectRef,      view::Bool(-1),       view::I2(port),
                    view::I2(port), view::Text(ip.get()), view::Text(ip.get()),
                    view::I2(1),    view::I2(number),     msgRef};
        } else {
            args = {view::Bool(-1), view::Text(ip.get()), view::I2(port), view::I2(number)};
            if (op == Op::Backup || op == Op::Restore) args.push_back(view::Text(person.get()));
            if (op != Op::DelCard) args.insert(args.end(), {objectRef, msgRef});
        }
        got.hr = CallByName(machine, NameOf(op), args, &got.result);
        if (op != Op::Backup && op != Op::Restore && V_VT(object.get()) == VT_DISPATCH)
            V_DISPATCH(object.get())->QueryInterface(__uuidof(_Collection), col.put_void());
        got.msg = V_VT(msg.get()) == VT_BSTR ? Text(V_BSTR(msg.get())) : L"<not text>";
    }
    got.replaced = col.get() != passed;
    got.records = col ? CountOf(col.get()) : -1;
    got.recordset = rs->Trace();
    got.rows = rs->rows.size();
    got.device = CallTrace(
        std::vector<clocksim::CallRecord>(clock.calls.begin() + callsBefore, clock.calls.end()));
    return got;
}

// A message-only window of the calling thread whose procedure runs the work handed to Post when
// the thread dispatches its messages: host code that runs during a yield.
class HostWindow {
  public:
    HostWindow() {
        static const ATOM atom = [] {
            WNDCLASSEXW wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = Procedure;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"QuorinTestHostWindow";
            return RegisterClassExW(&wc);
        }();
        EXPECT_NE(0, atom);
        window_ = CreateWindowExW(0, L"QuorinTestHostWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
        EXPECT_NE(nullptr, window_);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;
    ~HostWindow() { DestroyWindow(window_); }

    // `work` runs once, when the thread next dispatches its messages.
    void Post(std::function<void()> work) {
        work_ = std::move(work);
        ran_ = false;
        EXPECT_TRUE(PostMessageW(window_, kWork, 0, 0));
    }
    bool ran() const { return ran_; }

  private:
    static constexpr UINT kWork = WM_APP + 7;
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<HostWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message != kWork || !self) return DefWindowProcW(window, message, wParam, lParam);
        self->ran_ = true;
        std::function<void()> work = std::move(self->work_);
        if (work) work();
        return 0;
    }

    HWND window_ = nullptr;
    std::function<void()> work_;
    bool ran_ = false;
};

void LoadSite() {
    static const std::wstring site = TempFile(L"nested-site.json", kSite);
    ASSERT_EQ(S_OK, ClockLoadScenario(site.c_str()));
}

class Nested : public testing::Test {
  protected:
    void SetUp() override {
        PeltReset();
        driver_ = CreateDriver();
        ASSERT_TRUE(driver_);
    }
    void TearDown() override { EXPECT_EQ(0, PeltLiveRecords()); }

    // The outer operation on the first clock, alone.
    Got Outer(Op op, Way way) {
        LoadSite();
        return Call(driver_.get(), op, way, 1, 1);
    }
    // The same with `nested` made on the second clock by the host's window during the outer's
    // first yield, through another driver object of the apartment.
    Got OuterWithNested(Op outer, Way way, Op nested, Got& inner) {
        LoadSite();
        ComPtr<IMachine> other = CreateDriver();
        window_.Post([&] { inner = Call(other.get(), nested, way, 2, 5); });
        Got got = Call(driver_.get(), outer, way, 1, 1);
        EXPECT_TRUE(window_.ran()) << "the outer operation did not yield";
        return got;
    }

    ComPtr<IMachine> driver_;
    HostWindow window_;
};

TEST_F(Nested, AnotherOperationDuringAYieldIsRefusedAndTheRunningOneEndsAsAlone) {
    struct Refused {
        Op op;
        std::wstring msg;    // strMsg after the refusal
        VARIANT_BOOL alone;  // the same call's result once the outer has ended
    };
    const Refused nested[] = {
        {Op::Discovery, kRefusal, VARIANT_TRUE},
        {Op::Download, DownloadFailureMessage(L"5"), VARIANT_TRUE},
        {Op::Backup, L"caller's text", VARIANT_TRUE},
        {Op::Restore, L"", VARIANT_TRUE},
    };
    for (Way way : {Way::Vtable, Way::Invoke}) {
        for (Op outer : {Op::Download, Op::Backup, Op::Restore}) {
            const Got alone = Outer(outer, way);
            ASSERT_EQ(VARIANT_TRUE, alone.result) << Describe(alone);
            for (const Refused& n : nested) {
                SCOPED_TRACE(Utf8(std::wstring(NameOf(n.op)) + L" inside " + NameOf(outer) +
                                  (way == Way::Vtable ? L" through the vtable" : L" by Invoke")));
                Got inner;
                const Got got = OuterWithNested(outer, way, n.op, inner);
                EXPECT_EQ(Describe(alone), Describe(got));
                EXPECT_EQ(S_OK, inner.hr);
                EXPECT_EQ(VARIANT_FALSE, inner.result);
                EXPECT_EQ(n.msg, inner.msg);
                EXPECT_EQ("", inner.device);
                EXPECT_FALSE(inner.replaced);
                EXPECT_EQ(0, inner.records);
                EXPECT_EQ("", inner.recordset);
                // Once the outer operation has ended, the same call runs.
                const Got after = Call(driver_.get(), n.op, way, 2, 5);
                EXPECT_EQ(n.alone, after.result) << Describe(after);
                EXPECT_NE("", after.device);
            }
        }
    }
}

TEST_F(Nested, StubsNestedAnswerAsEver) {
    for (Way way : {Way::Vtable, Way::Invoke}) {
        for (Op stub : {Op::WriteCard, Op::DelCard}) {
            SCOPED_TRACE(Utf8(NameOf(stub)));
            Got inner;
            OuterWithNested(Op::Download, way, stub, inner);
            EXPECT_EQ(S_OK, inner.hr);
            EXPECT_EQ(VARIANT_FALSE, inner.result);
            EXPECT_EQ("", inner.device);
            EXPECT_EQ(L"caller's text", inner.msg);
        }
    }
}

TEST_F(Nested, TheRefusedCallHasItsTraceLine) {
    const std::wstring file = TempFile(L"nested.trace", "");
    SetEnvironmentVariableW(L"QUORIN_TRACE", file.c_str());
    Got inner;
    OuterWithNested(Op::Download, Way::Vtable, Op::Download, inner);
    SetEnvironmentVariableW(L"QUORIN_TRACE", nullptr);
    std::ifstream in(Utf8(file));
    std::vector<std::string> operations;
    for (std::string line; std::getline(in, line);)
        if (line.find("\toperation\t") != std::string::npos) operations.push_back(line);
    // The nested call ends first.
    ASSERT_EQ(2u, operations.size());
    EXPECT_NE(std::string::npos, operations[0].find("iPort=I2 2, imachineno=I2 5"));
    EXPECT_NE(
        std::string::npos,
        operations[0].find("hr=0x00000000 result=BOOL False error=0x8001010A \"Another operation"))
        << operations[0];
    EXPECT_NE(std::string::npos, operations[1].find("hr=0x00000000 result=BOOL True\t"))
        << operations[1];
}

// The mark of a running operation goes with it, whichever way it ends.
TEST_F(Nested, AfterEveryWayOutTheNextOperationRuns) {
    struct WayOut {
        const char* what;
        DISPID fails;  // the device call that fails
        HRESULT hr;    // the outer call's answer
        VARIANT_BOOL result;
    };
    const WayOut cases[] = {
        {"ends in its handler", clocksim::kNextLogRecord, S_OK, VARIANT_FALSE},
        {"an error escapes its handler", clocksim::kDisconnect, DISP_E_EXCEPTION, VARIANT_FALSE},
    };
    for (const WayOut& c : cases) {
        SCOPED_TRACE(c.what);
        LoadSite();
        ClockScenario()->Fail(c.fails, DISP_E_EXCEPTION, L"Line noise");
        const Got failed = Call(driver_.get(), Op::Download, Way::Invoke, 1, 1);
        EXPECT_EQ(c.hr, failed.hr);
        EXPECT_EQ(c.result, failed.result);
        LoadSite();
        EXPECT_EQ(VARIANT_TRUE, Call(driver_.get(), Op::Download, Way::Vtable, 2, 5).result);
    }
}

// Two threads, each in its own apartment with its own driver, are both inside a download at once:
// neither is refused.
TEST(NestedThreads, OperationsOnTwoThreadsAtOnceBothRun) {
    LoadSite();
    HANDLE inside[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr),
                        CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    struct Seen {
        Got got;
        bool together = false;
    } seen[2];
    auto run = [&](int me, short port, short number) {
        CoInitialize(nullptr);
        {
            ComPtr<IMachine> machine = CreateDriver();
            HostWindow window;
            window.Post([&] {
                SetEvent(inside[me]);
                seen[me].together = WaitForSingleObject(inside[1 - me], 30000) == WAIT_OBJECT_0;
            });
            seen[me].got = Call(machine.get(), Op::Download, Way::Vtable, port, number);
        }
        CoUninitialize();
    };
    std::thread first(run, 0, 1, 1), second(run, 1, 2, 5);
    first.join();
    second.join();
    for (HANDLE h : inside) CloseHandle(h);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(seen[i].together);
        EXPECT_EQ(VARIANT_TRUE, seen[i].got.result) << Describe(seen[i].got);
        EXPECT_EQ(i == 0 ? 3 : 2, seen[i].got.records);
    }
}

// Quorin.dll's own malloc, replaced in its import table: after `skip` blocks served, the next
// block the driver's C++ runtime asks for fails, and those after it are served (so that the
// exception for it can be thrown). It fails as a request too large for what the process has left
// would (refused), or by throwing something that is no out-of-memory (thrown: an exception of a
// kind the driver has no handler of its own for). The platform's own allocations (strings,
// variants, type libraries) are left alone.
enum class Fault { Refused, Thrown };
class FailingMalloc {
  public:
    explicit FailingMalloc(Fault fault = Fault::Refused, int skip = 0)
        : slot_(ImportSlot(GetModuleHandleW(L"Quorin.dll"), "msvcrt.dll", "malloc")) {
        EXPECT_NE(nullptr, slot_) << "Quorin.dll imports no malloc from msvcrt.dll";
        failed_ = false;
        fault_ = fault;
        skip_ = skip;
        if (slot_) Swap(reinterpret_cast<void*>(&FailOnce));
    }
    FailingMalloc(const FailingMalloc&) = delete;
    FailingMalloc& operator=(const FailingMalloc&) = delete;
    ~FailingMalloc() {
        if (slot_) Swap(reinterpret_cast<void*>(original_));
    }
    // Whether the driver asked for the block that fails.
    bool failed() const { return failed_; }

  private:
    using Malloc = void*(__cdecl*)(size_t);
    static inline Malloc original_ = nullptr;
    static inline bool failed_ = false;
    static inline Fault fault_ = Fault::Refused;
    static inline int skip_ = 0;
    static void* __cdecl FailOnce(size_t n) {
        if (failed_ || skip_-- > 0) return original_(n);
        failed_ = true;
        if (fault_ == Fault::Thrown) throw std::runtime_error("not out of memory");
        return nullptr;
    }

    static void** ImportSlot(HMODULE module, const char* dll, const char* function) {
        if (!module) return nullptr;
        auto* base = reinterpret_cast<BYTE*>(module);
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             d->Name; ++d) {
            if (_stricmp(reinterpret_cast<char*>(base + d->Name), dll) != 0) continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
            for (; names->u1.AddressOfData; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                auto* byName =
                    reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<char*>(byName->Name), function) == 0)
                    return reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
        return nullptr;
    }
    void Swap(void* with) {
        DWORD was = 0;
        ASSERT_TRUE(VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &was));
        if (!original_) original_ = reinterpret_cast<Malloc>(*slot_);
        *slot_ = with;
        VirtualProtect(slot_, sizeof(void*), was, &was);
    }

    void** slot_;
};

// The faults a test injects. An exception thrown here passes through Quorin.dll's frames only
// where unwinding follows the system's tables, which span modules (x86_64); the i686 runtime, in
// each module its own copy, unwinds only through the frames of the module that threw.
#ifdef _WIN64
constexpr Fault kFaults[] = {Fault::Refused, Fault::Thrown};
#else
constexpr Fault kFaults[] = {Fault::Refused};
#endif

TEST(OutOfMemory, NoExceptionLeavesAComMethod) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    const DISPID download = IdOf(machine.get(), L"DownloadCarddata");
    HMODULE dll = GetModuleHandleW(L"Quorin.dll");
    auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
    ASSERT_NE(nullptr, registerServer);
    auto unregisterServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer")));
    ASSERT_NE(nullptr, unregisterServer);
    auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    ASSERT_NE(nullptr, getClassObject);
    CLSID clsid{};
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"Quorin.clsMachine", &clsid));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, getClassObject(clsid, IID_IClassFactory, factory.put_void()));
    ComPtr<_Collection> cdata = NewCollection();
    LoadSite();
    // An object keeps its type information once read: only a new one's first lookup needs memory.
    ComPtr<IMachine> fresh = CreateDriver(), freshForInfo = CreateDriver();
    ASSERT_TRUE(fresh && freshForInfo);

    // What the call answers when its allocation is refused, and when it throws.
    struct Case {
        const char* what;
        HRESULT refused, thrown;
        std::function<HRESULT()> call;
    };
    const Case cases[] = {
        {"GetIDsOfNames", E_OUTOFMEMORY, E_UNEXPECTED,
         [&] {
             LPOLESTR names[] = {const_cast<LPOLESTR>(L"DownloadCarddata")};
             DISPID id = 0;
             return fresh->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
         }},
        {"Invoke", E_OUTOFMEMORY, E_UNEXPECTED,
         [&] {
             Bstr ip(L""), msg(L"");
             _Collection* slot = cdata.get();
             std::vector<VARIANT> args = {view::Bool(-1),
                                          view::Text(ip.get()),
                                          view::I2(1),
                                          view::I2(1),
                                          view::Ref(VT_BYREF | VT_DISPATCH, &slot),
                                          view::Ref(VT_BYREF | VT_BSTR, msg.inout())};
             std::vector<VARIANT> reversed(args.rbegin(), args.rend());
             DISPPARAMS params = {reversed.data(), nullptr, UINT(reversed.size()), 0};
             Variant answer;
             return machine->Invoke(download, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                    &params, answer.get(), nullptr, nullptr);
         }},
        // The trace cannot read its configuration; the download goes on without it.
        {"DownloadCarddata", S_OK, S_OK,
         [&] {
             Bstr ip(L""), msg(L"");
             ComPtr<_Collection> records = NewCollection();
             _Collection* slot = records.get();
             VARIANT_BOOL result = 1;
             HRESULT hr =
                 machine->DownloadCarddata(-1, ip.get(), 1, 1, &slot, msg.inout(), &result);
             EXPECT_EQ(VARIANT_TRUE, result);
             EXPECT_EQ(3, CountOf(records.get()));
             return hr;
         }},
        {"GetTypeInfo", E_OUTOFMEMORY, E_UNEXPECTED,
         [&] {
             ComPtr<ITypeInfo> info;
             return freshForInfo->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put());
         }},
        // Objects are made by the runtime's new that returns nothing on any failure of its
        // allocation: out of memory, whatever the failure was.
        {"IClassFactory::CreateInstance", E_OUTOFMEMORY, E_OUTOFMEMORY,
         [&] {
             ComPtr<IMachine> created;
             return factory->CreateInstance(nullptr, __uuidof(IMachine), created.put_void());
         }},
        {"DllGetClassObject", E_OUTOFMEMORY, E_OUTOFMEMORY,
         [&] {
             ComPtr<IClassFactory> got;
             return getClassObject(clsid, IID_IClassFactory, got.put_void());
         }},
        {"DllRegisterServer", E_OUTOFMEMORY, E_UNEXPECTED, [&] { return registerServer(); }},
        // The module's path is its first allocation: nothing is unregistered.
        {"DllUnregisterServer", E_OUTOFMEMORY, E_UNEXPECTED, [&] { return unregisterServer(); }},
    };
    for (Fault fault : kFaults) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (fault == Fault::Thrown ? ", thrown" : ", refused"));
            HRESULT hr = S_OK;
            {
                FailingMalloc failing(fault);
                hr = c.call();
                EXPECT_TRUE(failing.failed());
            }
            EXPECT_EQ(fault == Fault::Thrown ? c.thrown : c.refused, hr);
        }
    }
    // The driver is whole afterwards, and the download's mark is gone.
    LoadSite();
    EXPECT_EQ(VARIANT_TRUE, Call(machine.get(), Op::Download, Way::Invoke, 1, 1).result);
}

// Refuses each allocation of a discovery whose connection fails with the device's error, in turn:
// the call answers the device's error, or the runtime's out of memory when the allocation was the
// run's. (Nothing but a refusal: where the allocation is that of the exception the driver
// throws, a foreign exception from it would end the process in the runtime.)
void RefuseEachAllocationOfADiscovery(IMachine* machine, const std::wstring& device) {
    // The thread's own slots of the driver are made first: the runtime cannot do without them.
    LoadSite();
    Call(machine, Op::Discovery, Way::Vtable, 1, 1);
    int inRun = 0, skip = 0;
    for (bool failed = true; failed && skip < 1000; ++skip) {
        SCOPED_TRACE(skip);
        LoadSite();
        ClockScenario()->Fail(clocksim::kConnectSerial, DISP_E_EXCEPTION, device);
        Got got;
        {
            FailingMalloc failing(Fault::Refused, skip);
            got = Call(machine, Op::Discovery, Way::Vtable, 1, 1);
            failed = failing.failed();
        }
        EXPECT_EQ(S_OK, got.hr);
        EXPECT_EQ(VARIANT_FALSE, got.result);
        EXPECT_EQ("ConnectSerial(1,1,38400)", got.device);
        if (got.msg == L"Out of memory")
            ++inRun;
        else
            EXPECT_EQ(device, got.msg);
    }
    EXPECT_LT(0, inRun) << "no allocation of the run was refused";
}

// An allocation refused inside an operation's run ends it in its handler with the runtime's
// out-of-memory error, which discovery hands back in strMsg. Every allocation of the call is
// refused in turn, up to the one where the device's error ("Line noise") is made; one refused
// before the run (the trace's setup) leaves the device's error. With the trace on, an allocation
// refused while a line of it is made costs that line and changes nothing of the call.
TEST(OutOfMemory, InsideAnOperationsRunIsTheRuntimesError) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    const std::wstring device = L"Line noise";
    const std::wstring trace = TempPath(L"out-of-memory.log");
    for (bool traced : {false, true}) {
        SCOPED_TRACE(traced ? "traced" : "not traced");
        SetEnvironmentVariableW(L"QUORIN_TRACE", traced ? trace.c_str() : nullptr);
        RefuseEachAllocationOfADiscovery(machine.get(), device);
    }
    // A download whose device fails and whose handler's Disconnect fails too: each allocation
    // refused in turn, the trace on, ends it failed, with the error that escaped the handler (the
    // Disconnect's, or out of memory where the refusal was the handler's own).
    int skip = 0;
    for (bool failed = true; failed && skip < 2000; ++skip) {
        SCOPED_TRACE(skip);
        LoadSite();
        ClockScenario()->Fail(clocksim::kStartLogRead, DISP_E_EXCEPTION, device);
        ClockScenario()->Fail(clocksim::kDisconnect, DISP_E_EXCEPTION, L"Gone");
        Got got;
        {
            FailingMalloc failing(Fault::Refused, skip);
            got = Call(machine.get(), Op::Download, Way::Vtable, 1, 1);
            failed = failing.failed();
        }
        EXPECT_TRUE(got.hr == E_FAIL || got.hr == HRESULT(0x800A0007)) << std::hex << got.hr;
        EXPECT_EQ(VARIANT_FALSE, got.result);
    }
    EXPECT_LT(10, skip);
    SetEnvironmentVariableW(L"QUORIN_TRACE", nullptr);
    DeleteFileW(trace.c_str());
}

// A template restored with each allocation of the call refused in turn: the restore either writes
// it, or ends in its handler (False, and no text, as restore answers any error); never a failed
// call.
TEST(OutOfMemory, InsideARestoreOfATemplate) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    LoadSite();
    // The row that a backup of person 7's template fills.
    ComPtr<RecordsetStandin> rs = RecordsetStandin::Create();
    _ADORecordset* row = rs.get();
    Bstr ip(L""), person(L"7"), backupMsg(L"");
    VARIANT_BOOL result = 0;
    ASSERT_EQ(S_OK, machine->funcBackFingure(-1, ip.get(), 1, 1, person.get(), &row,
                                             backupMsg.inout(), &result));
    ASSERT_EQ(VARIANT_TRUE, result);
    int refusedInRun = 0, skip = 0;
    for (bool failed = true; failed && skip < 2000; ++skip) {
        SCOPED_TRACE(skip);
        LoadSite();
        Bstr msg(L"");
        HRESULT hr = E_FAIL;
        {
            FailingMalloc failing(Fault::Refused, skip);
            hr = machine->funcReWrite(-1, ip.get(), 1, 1, person.get(), rs.get(), msg.inout(),
                                      &result);
            failed = failing.failed();
        }
        EXPECT_EQ(S_OK, hr);
        EXPECT_TRUE(result == VARIANT_TRUE || result == VARIANT_FALSE);
        if (result == VARIANT_FALSE) ++refusedInRun;
        EXPECT_EQ(L"", Text(msg.get()));  // restore hands back no text, failed or not
    }
    EXPECT_LT(0, refusedInRun);
}

}  // namespace
