// clsMachine as the host sees it: its interfaces, the two stubs, and the apartment's one device
// control.
#include <thread>

#include "tests/support.h"

namespace {

using namespace qt;

// Runs f on a new thread in its own single-threaded apartment, which ends with the thread.
template <class F>
void OnOwnApartment(F&& f) {
    std::thread t([&] {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        f();
        CoUninitialize();
    });
    t.join();
}

VARIANT_BOOL Scan(IMachine* machine, short port) {
    _Collection* col = nullptr;
    Bstr msg(L""), none(L"");
    VARIANT_BOOL result = 1;
    EXPECT_EQ(S_OK, machine->funcRegister(&col, VARIANT_TRUE, port, port, none.get(), none.get(), 1,
                                          1, msg.inout(), &result));
    if (col) col->Release();
    return result;
}

TEST(Machine, AnswersForItsFourInterfacesWithOneIdentity) {
    ComPtr<IMachine> machine = CreateDriver();
    ComPtr<IUnknown> unknown, again;
    ComPtr<IDispatch> dispatch;
    ComPtr<_clsMachine> def;
    ASSERT_EQ(S_OK, machine->QueryInterface(IID_IUnknown, unknown.put_void()));
    ASSERT_EQ(S_OK, machine->QueryInterface(IID_IDispatch, dispatch.put_void()));
    ASSERT_EQ(S_OK, machine->QueryInterface(__uuidof(_clsMachine), def.put_void()));
    ASSERT_EQ(S_OK, def->QueryInterface(IID_IUnknown, again.put_void()));
    EXPECT_EQ(unknown.get(), again.get());
    // IDispatch is the default interface.
    EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(def.get()));
    ComPtr<IMachine> back;
    ASSERT_EQ(S_OK, def->QueryInterface(__uuidof(IMachine), back.put_void()));
    EXPECT_EQ(machine.get(), back.get());
    ComPtr<IClassFactory> none;
    EXPECT_EQ(E_NOINTERFACE, machine->QueryInterface(IID_IClassFactory, none.put_void()));
    EXPECT_FALSE(none);
    // Its errors come with their description on both dual interfaces, and on no other.
    ComPtr<ISupportErrorInfo> errors;
    ASSERT_EQ(S_OK, machine->QueryInterface(IID_ISupportErrorInfo, errors.put_void()));
    EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(__uuidof(IMachine)));
    EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(__uuidof(_clsMachine)));
    EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(IID_IDispatch));
    EXPECT_EQ(E_POINTER, machine->QueryInterface(IID_IUnknown, nullptr));
}

TEST(Machine, StubsAnswerFalseAndTouchNothing) {
    clocksim::Scenario& clock = FreshClock();
    const int created = clock.instancesCreated;
    OnOwnApartment([&] {
        ComPtr<IMachine> machine = CreateDriver();
        const ULONG refs = RefCount(machine.get());
        ComPtr<_Collection> cards = NewCollection();
        const ULONG cardRefs = RefCount(cards.get());
        Bstr msg(L"left alone"), ip(L"10.0.0.1");
        VARIANT_BOOL result = VARIANT_TRUE;
        EXPECT_EQ(S_OK, machine->funcWriteCard(VARIANT_TRUE, ip.get(), 1, 1, cards.get(),
                                               msg.inout(), &result));
        EXPECT_EQ(VARIANT_FALSE, result);
        EXPECT_EQ(L"left alone", Text(msg.get()));
        EXPECT_EQ(cardRefs, RefCount(cards.get()));

        result = VARIANT_TRUE;
        EXPECT_EQ(S_OK, machine->funcWriteCard(VARIANT_FALSE, nullptr, -1, -1, nullptr, msg.inout(),
                                               &result));
        EXPECT_EQ(VARIANT_FALSE, result);
        EXPECT_EQ(L"left alone", Text(msg.get()));

        result = VARIANT_TRUE;
        EXPECT_EQ(S_OK, machine->delCardData(VARIANT_TRUE, ip.get(), 3, 4, &result));
        EXPECT_EQ(VARIANT_FALSE, result);

        ComPtr<_clsMachine> def = DefaultInterface(machine.get());
        result = VARIANT_TRUE;
        EXPECT_EQ(S_OK, def->IMachine_delCardData(VARIANT_TRUE, ip.get(), 3, 4, &result));
        EXPECT_EQ(VARIANT_FALSE, result);
        def.reset();
        EXPECT_EQ(refs, RefCount(machine.get()));
    });
    EXPECT_TRUE(clock.calls.empty());
    EXPECT_EQ(created, clock.instancesCreated);
}

TEST(Machine, CreatingAndReleasingTouchesNoDevice) {
    clocksim::Scenario& clock = FreshClock();
    const int created = clock.instancesCreated;
    OnOwnApartment([] {
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(CreateDriver());
    });
    EXPECT_EQ(created, clock.instancesCreated);
    EXPECT_TRUE(clock.calls.empty());
}

TEST(Machine, EachApartmentHasOneControlSharedByItsInstancesUntilItEnds) {
    clocksim::Scenario& clock = FreshClock();
    const int created = clock.instancesCreated;
    const int alive = clock.instancesAlive;
    DWORD firstThread = 0, secondThread = 0;
    OnOwnApartment([&] {
        firstThread = GetCurrentThreadId();
        ComPtr<IMachine> a = CreateDriver();
        ComPtr<IMachine> b = CreateDriver();
        Scan(a.get(), 1);
        Scan(b.get(), 2);
        // The host's own nested CoInitialize and CoUninitialize leave the apartment and its
        // control as they were.
        EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
        CoUninitialize();
        Scan(a.get(), 3);
        EXPECT_EQ(created + 1, clock.instancesCreated);
        EXPECT_EQ(alive + 1, clock.instancesAlive);
        OnOwnApartment([&] {
            secondThread = GetCurrentThreadId();
            ComPtr<IMachine> c = CreateDriver();
            Scan(c.get(), 4);
            EXPECT_EQ(created + 2, clock.instancesCreated);
        });
        // The inner apartment has ended and its control with it.
        EXPECT_EQ(alive + 1, clock.instancesAlive);
    });
    EXPECT_EQ(alive, clock.instancesAlive);
    ASSERT_EQ(4u, clock.calls.size());
    EXPECT_EQ(clock.calls[0].instance, clock.calls[1].instance);
    EXPECT_EQ(clock.calls[0].instance, clock.calls[2].instance);
    EXPECT_NE(clock.calls[0].instance, clock.calls[3].instance);
    EXPECT_EQ(firstThread, clock.calls[0].thread);
    EXPECT_EQ(secondThread, clock.calls[3].thread);
    ASSERT_GE(clock.creatingThreads.size(), 2u);
    EXPECT_EQ(firstThread, clock.creatingThreads[clock.creatingThreads.size() - 2]);
    EXPECT_EQ(secondThread, clock.creatingThreads.back());
}

// A thread that ends its apartment and starts another gets a new control in the new one.
TEST(Machine, AnApartmentStartedAgainOnAThreadHasANewControl) {
    clocksim::Scenario& clock = FreshClock();
    const int created = clock.instancesCreated;
    const int alive = clock.instancesAlive;
    OnOwnApartment([&] {
        ComPtr<IMachine> d = CreateDriver();
        Scan(d.get(), 5);
        d.reset();
        CoUninitialize();
        EXPECT_EQ(alive, clock.instancesAlive);
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        ComPtr<IMachine> e = CreateDriver();
        Scan(e.get(), 6);
        EXPECT_EQ(created + 2, clock.instancesCreated);
        EXPECT_EQ(alive + 1, clock.instancesAlive);
    });
    EXPECT_EQ(alive, clock.instancesAlive);
    ASSERT_EQ(2u, clock.calls.size());
    EXPECT_NE(clock.calls[0].instance, clock.calls[1].instance);
}

}  // namespace
