// Late-bound calls as a scripting host makes them: names and dispatch identifiers of the default
// interface and of IMachine, and operations called by name through IDispatch::Invoke against the
// simulated clock, compared with the same calls through the IMachine vtable.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "standins/pelt/pelt_probe.h"
#include "tests/support.h"

namespace {

using namespace qt;

TEST(Dispatch, NamesOfBothInterfacesGiveTheSameDispatchIdentifiers) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    ComPtr<_clsMachine> def = DefaultInterface(machine.get());
    const wchar_t* host[] = {L"funcRegister",     L"funcBackFingure", L"funcReWrite",
                             L"DownloadCarddata", L"funcWriteCard",   L"delCardData"};
    for (int i = 0; i < 6; ++i) {
        const std::wstring own = std::wstring(L"IMachine_") + host[i];
        EXPECT_EQ(0x60030000 + i, IdOf(def.get(), own.c_str()));
        EXPECT_EQ(0x60030000 + i, IdOf(machine.get(), own.c_str()));
        EXPECT_EQ(0x60030000 + i, IdOf(machine.get(), host[i]));
        EXPECT_EQ(0x60030000 + i, IdOf(def.get(), host[i]));
    }
    EXPECT_EQ(DISP_E_UNKNOWNNAME, IdOf(def.get(), L"Reserved1"));
    EXPECT_EQ(DISP_E_UNKNOWNNAME, IdOf(def.get(), L"funcNothing"));
    LPOLESTR name[] = {const_cast<LPOLESTR>(L"IMachine_funcRegister")};
    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              def->GetIDsOfNames(IID_IUnknown, name, 1, LOCALE_USER_DEFAULT, &id));

    UINT count = 0;
    ASSERT_EQ(S_OK, def->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, def->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_EQ(__uuidof(_clsMachine), attr->guid);
    EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
    info->ReleaseTypeAttr(attr);
}

TEST(Dispatch, UndescribedEntriesAreNotReachableByIdentifier) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    ComPtr<_clsMachine> def = DefaultInterface(machine.get());
    for (DISPID id : {0x60030100, 0x60030101, 0x60030102, 0x60030006}) {
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        Variant result;
        EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
                  def->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none,
                              result.get(), nullptr, nullptr));
    }
    EXPECT_EQ(E_NOTIMPL, def->Reserved1());
    EXPECT_EQ(E_NOTIMPL, def->Reserved2());
    EXPECT_EQ(E_NOTIMPL, def->Reserved3());
}

// Pointers and counts that do not hold together are refused before anything reads them.
TEST(Dispatch, BrokenPointersAndCountsAreRefused) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    ComPtr<_clsMachine> def = DefaultInterface(machine.get());
    FreshClock();

    LPOLESTR name[] = {const_cast<LPOLESTR>(L"funcRegister")};
    LPOLESTR noName[] = {nullptr};
    DISPID id = 0;
    const struct {
        const char* what;
        LPOLESTR* names;
        UINT count;
        DISPID* ids;
        HRESULT hr;
    } lookups[] = {
        {"no name array", nullptr, 1, &id, E_POINTER}, {"no id array", name, 1, nullptr, E_POINTER},
        {"a null name", noName, 1, &id, E_POINTER},    {"no names", name, 0, &id, E_INVALIDARG},
        {"one good name", name, 1, &id, S_OK},
    };
    for (const auto& l : lookups) {
        SCOPED_TRACE(l.what);
        for (IDispatch* d :
             {static_cast<IDispatch*>(machine.get()), static_cast<IDispatch*>(def.get())})
            EXPECT_EQ(l.hr, d->GetIDsOfNames(IID_NULL, l.names, l.count, 0, l.ids));
    }

    VARIANT one = view::I2(1);
    DISPID named = 0;
    const struct {
        const char* what;
        DISPPARAMS params;
        HRESULT hr;
    } invokes[] = {
        {"arguments counted but not given", {nullptr, nullptr, 1, 0}, E_INVALIDARG},
        {"named arguments counted but not named", {&one, nullptr, 1, 1}, E_INVALIDARG},
        {"more named arguments than arguments", {&one, &named, 1, 2}, E_INVALIDARG},
        {"a call the platform refuses itself", {&one, nullptr, 1, 0}, DISP_E_BADPARAMCOUNT},
    };
    for (const auto& c : invokes) {
        SCOPED_TRACE(c.what);
        DISPPARAMS params = c.params;
        Variant result;
        EXPECT_EQ(c.hr, machine->Invoke(0x60030005, IID_NULL, 0, DISPATCH_METHOD, &params,
                                        result.get(), nullptr, nullptr));
    }
    Variant result;
    EXPECT_EQ(E_POINTER, machine->Invoke(0x60030005, IID_NULL, 0, DISPATCH_METHOD, nullptr,
                                         result.get(), nullptr, nullptr));
    DISPPARAMS none = {};
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, machine->Invoke(0x60030005, IID_IUnknown, 0, DISPATCH_METHOD,
                                                       &none, result.get(), nullptr, nullptr));

    // The rest of IDispatch, and every operation, with nowhere to write their answer.
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(E_POINTER, machine->GetTypeInfoCount(nullptr));
    EXPECT_EQ(E_POINTER, machine->GetTypeInfo(0, 0, nullptr));
    EXPECT_EQ(DISP_E_BADINDEX, machine->GetTypeInfo(1, 0, info.put()));
    EXPECT_FALSE(info);
    Bstr ip(L""), person(L"7"), msg(L"caller's text");
    _Collection* col = nullptr;
    ComPtr<_Collection> cards = NewCollection();
    const HRESULT answers[] = {
        machine->funcRegister(&col, -1, 1, 1, ip.get(), ip.get(), 1, 1, msg.inout(), nullptr),
        machine->funcBackFingure(-1, ip.get(), 1, 1, person.get(), nullptr, msg.inout(), nullptr),
        machine->funcReWrite(-1, ip.get(), 1, 1, person.get(), nullptr, msg.inout(), nullptr),
        machine->DownloadCarddata(-1, ip.get(), 1, 1, &col, msg.inout(), nullptr),
        machine->funcWriteCard(-1, ip.get(), 1, 1, cards.get(), msg.inout(), nullptr),
        machine->delCardData(-1, ip.get(), 1, 1, nullptr),
    };
    for (HRESULT hr : answers) EXPECT_EQ(E_POINTER, hr);
    EXPECT_EQ(nullptr, col);
    EXPECT_EQ(L"caller's text", Text(msg.get()));
    EXPECT_TRUE(ClockScenario()->calls.empty());
}

// What one call left behind: its answers, the device calls and the records it handed over.
struct Seen : Outcome {
    std::vector<PutRecord> puts;
    bool operator==(const Seen& o) const {
        return static_cast<const Outcome&>(*this) == o && puts == o.puts;
    }
};

void PrintTo(const Seen& s, std::ostream* os) {
    PrintTo(static_cast<const Outcome&>(s), os);
    *os << " puts=" << s.puts.size();
}

Seen Observe(HRESULT hr, VARIANT_BOOL result, BSTR msg, _Collection* col) {
    Seen s;
    s.hr = hr;
    s.result = result;
    s.msg = Text(msg);
    s.device = CallTrace(ClockScenario()->calls);
    s.records = col ? CountOf(col) : -1;
    s.puts = *PeltJournal();
    return s;
}

void BenchWithTwoDevices() {
    clocksim::Scenario& clock = FreshClock();
    clock.answering = {{1, 1}, {3, 2}};
    PeltReset();
}

// Scans ports 1 to 4 for machines 1 to 5, the way `how` calls it.
enum class How { Vtable, DefaultByName, IMachineByName };
Seen Discover(IMachine* machine, How how) {
    BenchWithTwoDevices();
    Bstr msg(L"caller's text"), none(L"");
    _Collection* col = nullptr;
    VARIANT_BOOL result = 1;
    HRESULT hr;
    if (how == How::Vtable) {
        hr = machine->funcRegister(&col, VARIANT_TRUE, 1, 4, none.get(), none.get(), 1, 5,
                                   msg.inout(), &result);
    } else {
        ComPtr<_clsMachine> def = DefaultInterface(machine);
        IDispatch* target = how == How::DefaultByName ? static_cast<IDispatch*>(def.get())
                                                      : static_cast<IDispatch*>(machine);
        const wchar_t* name =
            how == How::DefaultByName ? L"IMachine_funcRegister" : L"funcRegister";
        IDispatch* colRef = nullptr;
        hr = CallByName(target, name,
                        {view::Ref(VT_BYREF | VT_DISPATCH, &colRef), view::Bool(VARIANT_TRUE),
                         view::I2(1), view::I2(4), view::Text(none.get()), view::Text(none.get()),
                         view::I2(1), view::I2(5), view::Ref(VT_BYREF | VT_BSTR, msg.inout())},
                        &result, nullptr);
        if (colRef) colRef->QueryInterface(__uuidof(_Collection), reinterpret_cast<void**>(&col));
        if (colRef) colRef->Release();
    }
    Seen seen = Observe(hr, result, msg.get(), col);
    if (col) col->Release();
    return seen;
}

TEST(Dispatch, DiscoveryByNameBehavesLikeTheVtableCall) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    const Seen vtable = Discover(machine.get(), How::Vtable);
    EXPECT_EQ(S_OK, vtable.hr);
    EXPECT_EQ(VARIANT_TRUE, vtable.result);
    EXPECT_EQ(2, vtable.records);
    // Each port until a machine answers: 1, 1-5, 1-2, 1-5.
    EXPECT_EQ(13u, ClockScenario()->CallsOf(clocksim::kConnectSerial).size());
    EXPECT_EQ(vtable, Discover(machine.get(), How::DefaultByName));
    EXPECT_EQ(vtable, Discover(machine.get(), How::IMachineByName));
}

clocksim::LogRecord Swipe(int person, int minute) {
    clocksim::LogRecord r;
    r.person = person;
    r.year = 2008;
    r.month = 3;
    r.day = 14;
    r.hour = 9;
    r.minute = minute;
    return r;
}

// Downloads two records of machine 5 on port 2 into an empty collection; every Disconnect
// failing when asked.
Seen Download(IMachine* machine, bool byName, bool failDisconnect, EXCEPINFO* excep) {
    clocksim::Scenario& clock = FreshClock();
    clock.At(2, 5).log = {Swipe(7, 30), Swipe(8, 31)};
    if (failDisconnect) clock.Fail(clocksim::kDisconnect, DISP_E_EXCEPTION, L"Port is gone");
    PeltReset();
    ComPtr<_Collection> cdata = NewCollection();
    Bstr msg(L"caller's text"), ip(L"");
    VARIANT_BOOL result = 1;
    HRESULT hr;
    _Collection* col = cdata.get();
    if (!byName) {
        hr = machine->DownloadCarddata(VARIANT_TRUE, ip.get(), 2, 5, &col, msg.inout(), &result);
    } else {
        ComPtr<_clsMachine> def = DefaultInterface(machine);
        IDispatch* colRef = cdata.get();
        hr = CallByName(def.get(), L"IMachine_DownloadCarddata",
                        {view::Bool(VARIANT_TRUE), view::Text(ip.get()), view::I2(2), view::I2(5),
                         view::Ref(VT_BYREF | VT_DISPATCH, &colRef),
                         view::Ref(VT_BYREF | VT_BSTR, msg.inout())},
                        &result, excep);
    }
    return Observe(hr, result, msg.get(), cdata.get());
}

TEST(Dispatch, DownloadByNameBehavesLikeTheVtableCall) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    const Seen vtable = Download(machine.get(), false, false, nullptr);
    EXPECT_EQ(S_OK, vtable.hr);
    EXPECT_EQ(VARIANT_TRUE, vtable.result);
    EXPECT_EQ(L"", vtable.msg);
    EXPECT_EQ(2, vtable.records);
    EXPECT_EQ(vtable, Download(machine.get(), true, false, nullptr));
}

// An exception's description as Invoke fills it in, its texts freed with it.
struct ExcepInfo : EXCEPINFO {
    ExcepInfo() : EXCEPINFO{} {}
    ExcepInfo(const ExcepInfo&) = delete;
    ExcepInfo& operator=(const ExcepInfo&) = delete;
    ~ExcepInfo() {
        SysFreeString(bstrSource);
        SysFreeString(bstrDescription);
        SysFreeString(bstrHelpFile);
    }
};

TEST(Dispatch, ErrorEscapingTheHandlerArrivesAsAnException) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    Seen vtable = Download(machine.get(), false, true, nullptr);
    ASSERT_TRUE(FAILED(vtable.hr));
    ExcepInfo excep;
    Seen byName = Download(machine.get(), true, true, &excep);
    EXPECT_EQ(DISP_E_EXCEPTION, byName.hr);
    EXPECT_EQ(vtable.hr, excep.scode);
    EXPECT_EQ(L"Port is gone", Text(excep.bstrDescription));
    byName.hr = vtable.hr;
    EXPECT_EQ(vtable, byName);
}

// Named arguments (VB's blnPort:=True), in any order, reach their parameters: a script's variables
// among them are read and written back as in a positional call, and are as they were passed. A
// variable that cannot become its parameter's type is refused, with nowhere to name it.
TEST(Dispatch, NamedArgumentsInAnyOrderReachTheirParameters) {
    ComPtr<IMachine> machine = CreateDriver();
    ASSERT_TRUE(machine);
    const Seen positional = Download(machine.get(), true, false, nullptr);
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"DownloadCarddata"),
                        const_cast<LPOLESTR>(L"strMsg"),
                        const_cast<LPOLESTR>(L"iPort"),
                        const_cast<LPOLESTR>(L"blnPort"),
                        const_cast<LPOLESTR>(L"cdata"),
                        const_cast<LPOLESTR>(L"strIp"),
                        const_cast<LPOLESTR>(L"imachineno")};
    DISPID ids[7] = {};
    ASSERT_EQ(S_OK, machine->GetIDsOfNames(IID_NULL, names, 7, LOCALE_USER_DEFAULT, ids));
    // A parameter name the method lacks: the method's identifier, and none for that name.
    LPOLESTR unknown[] = {names[0], const_cast<LPOLESTR>(L"strNothing")};
    DISPID unknownIds[2] = {};
    EXPECT_EQ(DISP_E_UNKNOWNNAME,
              machine->GetIDsOfNames(IID_NULL, unknown, 2, LOCALE_USER_DEFAULT, unknownIds));
    EXPECT_EQ(ids[0], unknownIds[0]);
    EXPECT_EQ(DISPID_UNKNOWN, unknownIds[1]);
    unknown[0] = const_cast<LPOLESTR>(L"IMachine_DownloadCarddata");  // the library's own name
    EXPECT_EQ(DISP_E_UNKNOWNNAME,
              machine->GetIDsOfNames(IID_NULL, unknown, 2, LOCALE_USER_DEFAULT, unknownIds));
    EXPECT_EQ(ids[0], unknownIds[0]);
    EXPECT_EQ(DISPID_UNKNOWN, unknownIds[1]);
    for (bool wrongCollection : {false, true}) {
        SCOPED_TRACE(wrongCollection ? "text where the collection belongs" : "named");
        clocksim::Scenario& clock = FreshClock();
        clock.At(2, 5).log = {Swipe(7, 30), Swipe(8, 31)};
        PeltReset();
        ComPtr<_Collection> cdata = NewCollection();
        Variant collection =
            wrongCollection ? Variant::Text(L"abc") : Variant::Dispatch(cdata.get());
        Variant msg = Variant::Text(L"caller's text");
        Bstr ip(L"");
        VARIANT args[6] = {view::Ref(VT_BYREF | VT_VARIANT, msg.get()),
                           view::I2(2),
                           view::Bool(VARIANT_TRUE),
                           view::Ref(VT_BYREF | VT_VARIANT, collection.get()),
                           view::Text(ip.get()),
                           view::I2(5)};
        VARIANT passed[6];
        std::memcpy(passed, args, sizeof args);
        DISPPARAMS params = {args, ids + 1, 6, 6};
        Variant answer;
        const HRESULT hr = machine->Invoke(ids[0], IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                           &params, answer.get(), nullptr, nullptr);
        // The variables the driver handed over in another type are back as they were passed.
        // (Not the whole array: Wine's own DispInvoke zeroes a by-value argument when arguments
        // are named, with or without the driver's rewriting.)
        for (int i : {0, 3})
            EXPECT_EQ(0, std::memcmp(&passed[i], &args[i], sizeof(VARIANT)))
                << "argument " << i << " was passed as type 0x" << std::hex << V_VT(&passed[i])
                << " at " << V_BYREF(&passed[i]) << " and is now type 0x" << V_VT(&args[i])
                << " at " << V_BYREF(&args[i]);
        if (wrongCollection) {
            EXPECT_EQ(DISP_E_TYPEMISMATCH, hr);
            EXPECT_TRUE(clock.calls.empty());
            EXPECT_EQ(L"caller's text", msg.text());
            continue;
        }
        ASSERT_EQ(VT_BOOL, answer.vt());
        EXPECT_EQ(positional, Observe(hr, V_BOOL(answer.get()), V_BSTR(msg.get()), cdata.get()));
    }
    // An argument named by no parameter's identifier, and a script variable that is not there,
    // are left to the platform to refuse; no device is called.
    for (int broken : {0, 1}) {
        SCOPED_TRACE(broken ? "a variable that is not there" : "an identifier of no parameter");
        FreshClock();
        Bstr ip(L"");
        BSTR msg = nullptr;
        IDispatch* col = nullptr;
        VARIANT args[6] = {broken ? view::Ref(VT_BYREF | VT_VARIANT, nullptr)
                                  : view::Ref(VT_BYREF | VT_BSTR, &msg),
                           view::I2(2),
                           view::Bool(VARIANT_TRUE),
                           view::Ref(VT_BYREF | VT_DISPATCH, &col),
                           view::Text(ip.get()),
                           view::I2(5)};
        DISPID named[6];
        std::memcpy(named, ids + 1, sizeof named);
        if (!broken) named[5] = 99;
        DISPPARAMS params = {args, named, 6, 6};
        Variant answer;
        EXPECT_TRUE(FAILED(machine->Invoke(ids[0], IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                           &params, answer.get(), nullptr, nullptr)));
        EXPECT_TRUE(ClockScenario()->calls.empty());
        EXPECT_EQ(nullptr, msg);
    }
}

}  // namespace
