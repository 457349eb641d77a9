// What any caller may hand the operations. An object of another kind where the contract declares
// a recordset or a collection, through the vtable and through Invoke: the operation asks it for
// that interface, calls nothing else on it and ends in its handler with a type mismatch. A
// script's variables, passed by reference as variants for strMsg and the objects, carried in and
// back out in the declared types. And the text a caller passes in strMsg, freed when an operation
// replaces it (this program runs with OANOCACHE=1, so that SysFreeString reaches the task
// allocator, where a malloc spy sees it).
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "com/object.h"
#include "standins/collection/collection_probe.h"
#include "standins/pelt/pelt_probe.h"
#include "standins/recordset/recordset.h"
#include "tests/support.h"

namespace {

using namespace qt;

enum class Op { Backup, Restore, Download, Discovery, WriteCard };
const wchar_t* const kNames[] = {L"funcBackFingure", L"funcReWrite", L"DownloadCarddata",
                                 L"funcRegister", L"funcWriteCard"};

// How the interface argument reaches the operation: through IMachine's vtable, or by name through
// Invoke as VT_BYREF|VT_DISPATCH or as a VT_DISPATCH by value.
enum class Way { Vtable, ByReference, ByValue };

struct Seen : Outcome {
    ComPtr<_Collection> col;  // what discovery left in col
};

// The device of every call here: machine 1 on port 1, holding person 7's template and two swipes.
clocksim::Scenario& Bench() {
    clocksim::Scenario& clock = FreshClock();
    clocksim::Device& device = clock.At(1, 1);
    device.enrollments[{7, 0}] = clocksim::Enrollment{};
    clocksim::LogRecord swipe;
    swipe.person = 7;
    swipe.year = 2008;
    swipe.month = swipe.day = 1;
    device.log = {swipe, swipe};
    return clock;
}

// The arguments of op in call order for person 7 on port 1, machine 1, with these for its
// recordset or collection and for strMsg; ip and person are borrowed.
std::vector<VARIANT> Arguments(Op op, const VARIANT& object, const VARIANT& msg, BSTR ip,
                               BSTR person) {
    if (op == Op::Discovery)
        return {object,         view::Bool(-1), view::I2(1), view::I2(1), view::Text(ip),
                view::Text(ip), view::I2(1),    view::I2(1), msg};
    std::vector<VARIANT> args = {view::Bool(-1), view::Text(ip), view::I2(1), view::I2(1)};
    if (op == Op::Backup || op == Op::Restore) args.push_back(view::Text(person));
    args.insert(args.end(), {object, msg});
    return args;
}

// Calls op for person 7 on port 1, machine 1, with `object` as its recordset or collection and
// `msg` as strMsg. The caller keeps its reference to the object: discovery, which releases what
// col holds, is handed one of its own.
Seen Call(IMachine* machine, Op op, Way way, IDispatch* object, BSTR* msg) {
    Seen seen;
    Bstr ip(L""), person(L"7");
    IDispatch* slot = object;
    if (op == Op::Discovery && object && way != Way::ByValue) object->AddRef();
    auto* rs = reinterpret_cast<_ADORecordset**>(&slot);
    auto* col = reinterpret_cast<_Collection**>(&slot);
    if (way == Way::Vtable) {
        VARIANT_BOOL* r = &seen.result;
        switch (op) {
            case Op::Backup:
                seen.hr = machine->funcBackFingure(-1, ip.get(), 1, 1, person.get(), rs, msg, r);
                break;
            case Op::Restore:
                seen.hr = machine->funcReWrite(-1, ip.get(), 1, 1, person.get(), *rs, msg, r);
                break;
            case Op::Download:
                seen.hr = machine->DownloadCarddata(-1, ip.get(), 1, 1, col, msg, r);
                break;
            case Op::Discovery:
                seen.hr = machine->funcRegister(col, -1, 1, 1, ip.get(), ip.get(), 1, 1, msg, r);
                break;
            case Op::WriteCard:
                seen.hr = machine->funcWriteCard(-1, ip.get(), 1, 1, *col, msg, r);
                break;
        }
    } else {
        const VARIANT arg = way == Way::ByReference ? view::Ref(VT_BYREF | VT_DISPATCH, &slot)
                                                    : view::Dispatch(object);
        const std::vector<VARIANT> args =
            Arguments(op, arg, view::Ref(VT_BYREF | VT_BSTR, msg), ip.get(), person.get());
        seen.hr = CallByName(machine, kNames[static_cast<int>(op)], args, &seen.result);
    }
    if (op == Op::Discovery && way != Way::ByValue) seen.col = ComPtr<_Collection>::adopt(*col);
    seen.msg = Text(*msg);
    seen.device = CallTrace(ClockScenario()->calls);
    return seen;
}

Seen Call(IMachine* machine, Op op, Way way, IDispatch* object) {
    Bench();
    Bstr msg(L"caller's text");
    return Call(machine, op, way, object, msg.inout());
}

std::string Describe(Op op, Way way, const char* object) {
    const char* ways[] = {"vtable", "Invoke by reference", "Invoke by value"};
    std::wstring name = kNames[static_cast<int>(op)];
    return std::string(name.begin(), name.end()) + " through " + ways[static_cast<int>(way)] +
           " with " + object;
}

// A host that passes no variable at all where the object is taken by reference (a null pointer)
// is answered as one whose variable holds Nothing; except by discovery, which has nowhere to put
// its collection, and ends before the device with "Object variable ... not set".
TEST(WrongObject, NoVariableAtAllIsAnsweredAsNothing) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    Bstr ip(L""), person(L"7");
    Outcome notSet;
    notSet.hr = S_OK;
    notSet.result = VARIANT_FALSE;
    notSet.msg = L"Object variable or With block variable not set";
    struct Case {
        Op op;
        std::function<HRESULT(BSTR*, VARIANT_BOOL*)> call;
        bool likeNothing;
    };
    const Case cases[] = {
        {Op::Backup,
         [&](BSTR* msg, VARIANT_BOOL* r) {
             return machine->funcBackFingure(-1, ip.get(), 1, 1, person.get(), nullptr, msg, r);
         },
         true},
        {Op::Download,
         [&](BSTR* msg, VARIANT_BOOL* r) {
             return machine->DownloadCarddata(-1, ip.get(), 1, 1, nullptr, msg, r);
         },
         true},
        {Op::Discovery,
         [&](BSTR* msg, VARIANT_BOOL* r) {
             return machine->funcRegister(nullptr, -1, 1, 1, ip.get(), ip.get(), 1, 1, msg, r);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.op));
        Seen nothing = Call(machine.get(), c.op, Way::Vtable, nullptr);
        Bench();
        Bstr msg(L"caller's text");
        Outcome none;
        none.hr = c.call(msg.inout(), &none.result);
        none.msg = Text(msg.get());
        none.device = CallTrace(ClockScenario()->calls);
        EXPECT_EQ(c.likeNothing ? static_cast<const Outcome&>(nothing) : notSet, none);
        EXPECT_EQ(VARIANT_FALSE, none.result);
    }
}

// A host that passes no variable for strMsg gets no text, and the operation runs as ever: here a
// discovery whose device fails, which would write one.
TEST(StrMsg, NoVariableAtAllIsLeftAlone) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    Bench();
    ClockScenario()->Fail(clocksim::kConnectSerial, E_FAIL);
    Bstr none(L"");
    _Collection* col = nullptr;
    VARIANT_BOOL result = 1;
    EXPECT_EQ(S_OK, machine->funcRegister(&col, -1, 1, 1, none.get(), none.get(), 1, 1, nullptr,
                                          &result));
    EXPECT_EQ(VARIANT_FALSE, result);
    EXPECT_EQ("ConnectSerial(1,1,38400)", CallTrace(ClockScenario()->calls));
    ASSERT_TRUE(col);
    col->Release();
}

TEST(WrongObject, IsAskedForTheDeclaredInterfaceAndNothingElse) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    const ULONG machineRefs = RefCount(machine.get());
    const long collections = VbCollectionLiveObjects();
    PeltReset();
    const GUID recordset = __uuidof(_ADORecordset), collection = __uuidof(_Collection);
    const Way all[] = {Way::Vtable, Way::ByReference, Way::ByValue};

    struct Case {
        Op op;
        std::vector<Way> ways;
        HRESULT hr;
        VARIANT_BOOL result;  // 1 when none came back
        std::wstring msg;
        const char* device;
        std::vector<GUID> asked;  // of the object, in order
    };
    const Case cases[] = {
        {Op::Backup, {all, all + 3}, S_OK, VARIANT_FALSE, L"caller's text", "", {recordset}},
        {Op::Restore, {Way::Vtable}, S_OK, VARIANT_FALSE, L"", "", {recordset}},
        // For an [in] object argument the platform asks first, and refuses.
        {Op::Restore, {Way::ByValue}, E_NOINTERFACE, 1, L"caller's text", "", {recordset}},
        {Op::Download,
         {all, all + 3},
         S_OK,
         VARIANT_FALSE,
         DownloadFailureMessage(L"1"),
         "Disconnect()",
         {collection}},
        // Discovery only releases what col held and hands back a new collection of its own.
        {Op::Discovery,
         {all, all + 3},
         S_OK,
         VARIANT_TRUE,
         L"caller's text",
         "ConnectSerial(1,1,38400)",
         {}},
    };
    for (const Case& c : cases) {
        const bool wantsRecordset = c.op == Op::Backup || c.op == Op::Restore;
        for (Way way : c.ways) {
            // Objects of another kind: one that records every call (a recordset where a collection
            // is declared, one that answers no recordset interface where a recordset is), and the
            // host's collection where a recordset is declared.
            ComPtr<RecordsetStandin> probe = RecordsetStandin::Create();
            probe->isRecordset = !wantsRecordset;
            ComPtr<_Collection> other = NewCollection();
            std::vector<IDispatch*> objects = {probe.get()};
            if (wantsRecordset) objects.push_back(other.get());
            probe->queried.clear();
            VbCollectionResetJournal();
            for (IDispatch* object : objects) {
                SCOPED_TRACE(
                    Describe(c.op, way, object == probe.get() ? "a recorder" : "a collection"));
                const ULONG refs = RefCount(object);
                Seen seen = Call(machine.get(), c.op, way, object);
                EXPECT_EQ(c.hr, seen.hr);
                EXPECT_EQ(c.result, seen.result);
                EXPECT_EQ(c.msg, seen.msg);
                EXPECT_EQ(c.device, seen.device);
                if (c.op == Op::Discovery && way != Way::ByValue) {
                    ASSERT_TRUE(seen.col);
                    EXPECT_NE(static_cast<void*>(object), static_cast<void*>(seen.col.get()));
                    EXPECT_EQ(1, CountOf(seen.col.get()));
                }
                seen.col.reset();
                EXPECT_EQ(refs, RefCount(object));
            }
            SCOPED_TRACE(Describe(c.op, way, "objects of another kind"));
            EXPECT_EQ("", probe->Trace());
            EXPECT_EQ(c.asked, probe->queried);
            if (wantsRecordset) {
                EXPECT_EQ(0, CountOf(other.get()));
                EXPECT_TRUE(VbCollectionAddJournal()->empty());
            }
        }
    }
    EXPECT_EQ(machineRefs, RefCount(machine.get()));
    EXPECT_EQ(collections, VbCollectionLiveObjects());
    EXPECT_EQ(0, PeltLiveRecords());
    EXPECT_EQ(0, RecordsetStandin::LiveChildren());
}

// Sees the task allocator's blocks allocated and freed while it is registered, each allocation
// by its serial number, so that a block's address used again is not taken for the earlier one.
// It lives as long as the program: the platform may keep it until the last block it saw
// allocated is freed.
class FreeSpy final : public IMallocSpy {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = riid == IID_IUnknown || riid == IID_IMallocSpy ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T cb) override {
        std::lock_guard<std::mutex> hold(lock_);
        request_ = cb;
        return cb;
    }
    void* STDMETHODCALLTYPE PostAlloc(void* p) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (p) live_[static_cast<BYTE*>(p)] = {request_, ++serial_};
        return p;
    }
    void* STDMETHODCALLTYPE PreFree(void* p, BOOL) override {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = live_.find(static_cast<BYTE*>(p));
        if (it != live_.end()) {
            freed_.push_back(it->second.serial);
            live_.erase(it);
        }
        return p;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* p, SIZE_T cb, void** out, BOOL) override {
        *out = p;
        return cb;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* p, BOOL) override { return p; }
    void* STDMETHODCALLTYPE PreGetSize(void* p, BOOL) override { return p; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T cb, BOOL) override { return cb; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* p, BOOL) override { return p; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

    // The allocation that holds this string now; 0 for none seen.
    long BlockOf(BSTR s) {
        std::lock_guard<std::mutex> hold(lock_);
        const BYTE* text = reinterpret_cast<const BYTE*>(s);
        auto it = live_.upper_bound(const_cast<BYTE*>(text));
        if (it == live_.begin()) return 0;
        --it;
        return text < it->first + it->second.size ? it->second.serial : 0;
    }
    int TimesFreed(long block) {
        std::lock_guard<std::mutex> hold(lock_);
        return static_cast<int>(std::count(freed_.begin(), freed_.end(), block));
    }

  private:
    struct Block {
        SIZE_T size;
        long serial;
    };
    std::mutex lock_;
    SIZE_T request_ = 0;
    long serial_ = 0;
    std::map<BYTE*, Block> live_;
    std::vector<long> freed_;
};

// The spy, registered on first use for the rest of the program; SysFreeString must reach it.
FreeSpy& Spy() {
    static FreeSpy spy;
    static const HRESULT registered = CoRegisterMallocSpy(&spy);
    EXPECT_EQ(S_OK, registered);
    BSTR own = SysAllocString(L"own text");
    const long block = spy.BlockOf(own);
    SysFreeString(own);
    EXPECT_EQ(1, spy.TimesFreed(block)) << "SysFreeString does not reach the task allocator: the "
                                           "string cache is on (set OANOCACHE=1)";
    return spy;
}

TEST(StrMsg, TheCallersTextIsFreedWhenAnOperationReplacesIt) {
    FreeSpy& spy = Spy();
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    ComPtr<_Collection> cdata = NewCollection();
    ComPtr<RecordsetStandin> rs = RecordsetStandin::Create();
    struct Case {
        const char* what;
        Op op;
        Way way;
        bool replaced;
    };
    const Case cases[] = {
        {"download", Op::Download, Way::Vtable, true},
        {"download by name", Op::Download, Way::ByReference, true},
        {"restore", Op::Restore, Way::Vtable, true},
        {"discovery ending in its handler", Op::Discovery, Way::Vtable, true},
        {"backup leaves it", Op::Backup, Way::Vtable, false},
        {"writing a card leaves it", Op::WriteCard, Way::Vtable, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BSTR msg = SysAllocString(L"caller's text");
        const BSTR passed = msg;
        const long block = spy.BlockOf(msg);
        ASSERT_NE(0, block);
        IDispatch* object = c.op == Op::Backup || c.op == Op::Restore
                                ? static_cast<IDispatch*>(rs.get())
                            : c.op == Op::Discovery ? nullptr
                                                    : cdata.get();
        Bench();
        if (c.op == Op::Discovery) ClockScenario()->Fail(clocksim::kConnectSerial, E_FAIL);
        Seen seen = Call(machine.get(), c.op, c.way, object, &msg);
        EXPECT_EQ(S_OK, seen.hr);
        EXPECT_EQ(c.replaced ? 1 : 0, spy.TimesFreed(block));
        EXPECT_EQ(c.replaced, msg != passed);
        EXPECT_NE(0, spy.BlockOf(msg)) << "the text handed back is alive";
        SysFreeString(msg);
    }
}

// What a script's variable holds before the call.
enum class Held { Text, Empty, Number, Null, Nothing, OldCollection, Collection, Recordset };

// The variable of a script (VBScript, PowerShell's [ref]) that the call gets by reference, as a
// VT_BYREF|VT_VARIANT pointing here.
struct ScriptVariable {
    ScriptVariable(Held held, IDispatch* object) {
        switch (held) {
            case Held::Text:
                value = Variant::Text(L"caller's text");
                break;
            case Held::Empty:
                break;
            case Held::Number:
                value = Variant::I4(5);
                break;
            case Held::Null:
                value = Variant::Null();
                break;
            default:  // an object, or Nothing
                value = Variant::Dispatch(object);
        }
        before = *value.get();
    }
    VARIANT ByReference() { return view::Ref(VT_BYREF | VT_VARIANT, value.get()); }
    // Whether the variable still holds exactly what it held before the call.
    bool Untouched() const {
        return V_VT(value.get()) == V_VT(&before) && V_BYREF(value.get()) == V_BYREF(&before);
    }
    Variant value;
    VARIANT before;  // a shallow copy: the type and the pointer or number held
};

TEST(VariantByReference, CarriesStrMsgAndTheObjectInAndBackInTheDeclaredTypes) {
    FreeSpy& spy = Spy();
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    const long collections = VbCollectionLiveObjects();
    struct Case {
        const char* what;
        Op op;
        Held msg, object;
        HRESULT hr;
        const wchar_t* msgAfter;  // the text strMsg holds after a call that ran
        UINT argErr;              // the argument refused, by its index in rgvarg
    };
    const Case cases[] = {
        {"download, text", Op::Download, Held::Text, Held::Collection, S_OK, L"", 0},
        {"download, unassigned", Op::Download, Held::Empty, Held::Collection, S_OK, L"", 0},
        {"download, a number", Op::Download, Held::Number, Held::Collection, S_OK, L"", 0},
        {"discovery into Nothing", Op::Discovery, Held::Text, Held::Nothing, S_OK, L"caller's text",
         0},
        {"discovery over a collection", Op::Discovery, Held::Text, Held::OldCollection, S_OK,
         L"caller's text", 0},
        {"backup, a number", Op::Backup, Held::Number, Held::Recordset, S_OK, L"5", 0},
        // The platform's conversions decide what is refused, and nothing is called then.
        {"Null is no text", Op::Download, Held::Null, Held::Collection, DISP_E_TYPEMISMATCH,
         nullptr, 0},
        {"text is no collection", Op::Discovery, Held::Text, Held::Text, DISP_E_TYPEMISMATCH,
         nullptr, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench();
        ComPtr<_Collection> collection = NewCollection();
        ComPtr<RecordsetStandin> rs = RecordsetStandin::Create();
        IDispatch* object = c.object == Held::Recordset ? static_cast<IDispatch*>(rs.get())
                            : c.object == Held::Nothing ? nullptr
                                                        : collection.get();
        const ULONG refs = object ? RefCount(object) : 0;
        {
            ScriptVariable msg(c.msg, nullptr), target(c.object, object);
            const long text = c.msg == Held::Text ? spy.BlockOf(V_BSTR(msg.value.get())) : 0;
            Bstr ip(L""), person(L"7");
            const std::vector<VARIANT> args =
                Arguments(c.op, target.ByReference(), msg.ByReference(), ip.get(), person.get());
            VARIANT_BOOL result = 1;
            UINT argErr = 99;
            EXPECT_EQ(c.hr, CallByName(machine.get(), kNames[static_cast<int>(c.op)], args, &result,
                                       nullptr, &argErr));
            if (FAILED(c.hr)) {
                EXPECT_EQ(c.argErr, argErr);
                EXPECT_TRUE(msg.Untouched());
                EXPECT_TRUE(target.Untouched());
                EXPECT_EQ("", CallTrace(ClockScenario()->calls));
                continue;
            }
            EXPECT_EQ(VARIANT_TRUE, result);
            ASSERT_EQ(VT_BSTR, V_VT(msg.value.get()));
            EXPECT_EQ(c.msgAfter, Text(V_BSTR(msg.value.get())));
            if (text) {
                const bool replaced = std::wstring(c.msgAfter) != L"caller's text";
                EXPECT_EQ(replaced ? 1 : 0, spy.TimesFreed(text));
            }
            ASSERT_EQ(VT_DISPATCH, V_VT(target.value.get()));
            IDispatch* after = V_DISPATCH(target.value.get());
            if (c.op == Op::Discovery) {
                // A new collection, held by the variable alone, with the device found.
                ASSERT_TRUE(after);
                EXPECT_NE(static_cast<IDispatch*>(collection.get()), after);
                EXPECT_EQ(1u, RefCount(after));
                ComPtr<_Collection> found;
                ASSERT_EQ(S_OK, after->QueryInterface(__uuidof(_Collection), found.put_void()));
                EXPECT_EQ(1, CountOf(found.get()));
            } else {
                // The caller's own object, never a wrapper, with the variable's reference.
                EXPECT_EQ(object, after);
                EXPECT_EQ(refs + 1, RefCount(object));
            }
        }
        // The variables gone, every object has only the references it had before.
        if (object) {
            EXPECT_EQ(refs, RefCount(object));
        }
        if (c.op == Op::Download) {
            EXPECT_EQ(2, CountOf(collection.get()));
        }
        if (c.op == Op::Backup) {
            EXPECT_EQ(1u, rs->rows.size());
        }
    }
    EXPECT_EQ(collections, VbCollectionLiveObjects());
}

// JScript and other callers pass values, not variables: the call goes through on copies of them,
// and what the caller passed comes back as it was, its string alive and its object with the
// references it had.
TEST(VariantByReference, ValuesGoInAndNothingComesBack) {
    FreeSpy& spy = Spy();
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    const long collections = VbCollectionLiveObjects();
    for (Op op : {Op::Download, Op::Discovery}) {
        SCOPED_TRACE(op == Op::Download ? "download" : "discovery");
        Bench();
        ComPtr<_Collection> passed = NewCollection();
        const ULONG refs = RefCount(passed.get());
        // The caller's arguments, cleared by the caller afterwards.
        Variant msg = Variant::Text(L"caller's text"), collection = Variant::Dispatch(passed.get());
        const BSTR text = V_BSTR(msg.get());
        const long block = spy.BlockOf(text);
        Bstr ip(L"");
        VARIANT_BOOL result = 1;
        const std::vector<VARIANT> args =
            Arguments(op, *collection.get(), *msg.get(), ip.get(), nullptr);
        EXPECT_EQ(S_OK, CallByName(machine.get(), kNames[static_cast<int>(op)], args, &result));
        EXPECT_EQ(VARIANT_TRUE, result);
        EXPECT_EQ(0, spy.TimesFreed(block));
        EXPECT_EQ(L"caller's text", Text(text));
        EXPECT_EQ(refs + 1, RefCount(passed.get()));
        EXPECT_EQ(op == Op::Download ? 2 : 0, CountOf(passed.get()));
    }
    EXPECT_EQ(collections, VbCollectionLiveObjects()) << "discovery's new collection was dropped";
}

}  // namespace

namespace {

// An object whose default value (DISPID_VALUE) is a text, as a script's object with a default
// property is: the platform's conversion to text reads it. It counts the references it holds.
class TextValue final
    : public quorin::Object<TextValue,
                            quorin::Exposes<quorin::NoTypeInfo<IDispatch>, IID_IDispatch>> {
  public:
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || !result)
            return DISP_E_MEMBERNOTFOUND;
        *result = Variant::Text(L"5").detach();
        return S_OK;
    }
};

// A script's variable of another type than the declared one goes through the platform's
// conversion into a copy, and the outcome goes back into the variable: what the variable held
// (its text, its reference to an object) is released exactly once, whether the operation ends
// normally, in its handler or with an error that escapes its handler (DISP_E_EXCEPTION).
TEST(VariantByReference, WhatTheVariableHeldIsReleasedOnceOnEveryWayOut) {
    FreeSpy& spy = Spy();
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    enum class End { Normally, InHandler, Escaping };
    enum class Param { StrMsgText, StrMsgObject, Col, Cdata, RsData };
    struct Case {
        const char* what;
        Param param;
        Op op;
        End end;
    };
    const Case cases[] = {
        {"strMsg, text, download", Param::StrMsgText, Op::Download, End::Normally},
        {"strMsg, text, download in its handler", Param::StrMsgText, Op::Download, End::InHandler},
        {"strMsg, text, download escaping", Param::StrMsgText, Op::Download, End::Escaping},
        {"strMsg, object, download", Param::StrMsgObject, Op::Download, End::Normally},
        {"strMsg, object, download in its handler", Param::StrMsgObject, Op::Download,
         End::InHandler},
        {"strMsg, object, download escaping", Param::StrMsgObject, Op::Download, End::Escaping},
        {"strMsg, object, discovery in its handler", Param::StrMsgObject, Op::Discovery,
         End::InHandler},
        {"cdata as IUnknown, download", Param::Cdata, Op::Download, End::Normally},
        {"cdata as IUnknown, download in its handler", Param::Cdata, Op::Download, End::InHandler},
        {"cdata as IUnknown, download escaping", Param::Cdata, Op::Download, End::Escaping},
        {"col as IUnknown, discovery", Param::Col, Op::Discovery, End::Normally},
        {"col as IUnknown, discovery in its handler", Param::Col, Op::Discovery, End::InHandler},
        {"rsData as IUnknown, backup", Param::RsData, Op::Backup, End::Normally},
        {"rsData as IUnknown, backup in its handler", Param::RsData, Op::Backup, End::InHandler},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        clocksim::Scenario& clock = Bench();
        if (c.end != End::Normally) {
            const DISPID fails = c.op == Op::Download    ? clocksim::kNextLogRecord
                                 : c.op == Op::Discovery ? clocksim::kConnectSerial
                                                         : clocksim::kReadEnrollment;
            clock.Fail(fails, DISP_E_EXCEPTION, L"Line noise");
        }
        if (c.end == End::Escaping) clock.Fail(clocksim::kDisconnect, DISP_E_EXCEPTION, L"Gone");

        ComPtr<_Collection> collection = NewCollection();
        ComPtr<RecordsetStandin> rs = RecordsetStandin::Create();
        ComPtr<TextValue> valued;
        ASSERT_EQ(S_OK, quorin::CreateInstance<TextValue>(IID_IDispatch, valued.put_void()));
        IUnknown* const held = c.param == Param::RsData ? static_cast<IUnknown*>(rs.get())
                               : c.param == Param::StrMsgObject
                                   ? static_cast<IUnknown*>(valued.get())
                                   : static_cast<IUnknown*>(collection.get());
        const ULONG refs = RefCount(held);
        long text = 0;
        {
            Variant msg = c.param == Param::StrMsgText     ? Variant::Text(L"caller's text")
                          : c.param == Param::StrMsgObject ? Variant::Dispatch(valued.get())
                                                           : Variant::Text(L"");
            if (c.param == Param::StrMsgText) text = spy.BlockOf(V_BSTR(msg.get()));
            const bool objectHeld =
                c.param == Param::Col || c.param == Param::Cdata || c.param == Param::RsData;
            IDispatch* declared = c.op == Op::Backup ? static_cast<IDispatch*>(rs.get())
                                  : c.op == Op::Discovery
                                      ? nullptr
                                      : static_cast<IDispatch*>(collection.get());
            Variant object = objectHeld ? Variant::Unknown(held) : Variant::Dispatch(declared);
            Bstr ip(L""), person(L"7");
            const std::vector<VARIANT> args =
                Arguments(c.op, view::Ref(VT_BYREF | VT_VARIANT, object.get()),
                          view::Ref(VT_BYREF | VT_VARIANT, msg.get()), ip.get(), person.get());
            VARIANT_BOOL result = 1;
            const HRESULT hr =
                CallByName(machine.get(), kNames[static_cast<int>(c.op)], args, &result);
            EXPECT_EQ(c.end == End::Escaping ? DISP_E_EXCEPTION : S_OK, hr);
            if (c.end != End::Escaping) {
                EXPECT_EQ(c.end == End::Normally ? VARIANT_TRUE : VARIANT_FALSE, result);
            }
            // The outcome, in the declared types.
            ASSERT_EQ(VT_BSTR, V_VT(msg.get()));
            ASSERT_EQ(VT_DISPATCH, V_VT(object.get()));
            if (c.param == Param::Col) {
                EXPECT_NE(static_cast<void*>(held), static_cast<void*>(V_DISPATCH(object.get())));
            } else if (objectHeld) {
                EXPECT_EQ(static_cast<void*>(held), static_cast<void*>(V_DISPATCH(object.get())));
            }
            if (text) {
                EXPECT_EQ(1, spy.TimesFreed(text)) << "the caller's text";
            }
        }
        // The variables gone, the object has the references it had before: the one the
        // variable held was released, once.
        EXPECT_EQ(refs, RefCount(held));
    }
}

}  // namespace
