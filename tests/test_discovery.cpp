// Discovery through the host's interface, against the simulated clock and the host's records.
#include <set>
#include <utility>

#include "standins/collection/collection_probe.h"
#include "standins/pelt/pelt_probe.h"
#include "tests/support.h"

namespace {

using namespace qt;
using clocksim::kConnectSerial;

struct Scan {
    short portMin = 1, portMax = 1, machineMin = 1, machineMax = 1;
    VARIANT_BOOL blnPort = VARIANT_TRUE;
    const wchar_t* ipMin = L"";
    const wchar_t* ipMax = L"";
};

// What the host got back, with the collection col refers to afterwards.
struct Outcome : qt::Outcome {
    ComPtr<_Collection> col;
};

class DiscoveryTest : public testing::Test {
  protected:
    void SetUp() override {
        clock_ = &FreshClock();
        PeltReset();
        machine_ = CreateDriver();
        ASSERT_TRUE(machine_);
    }
    void TearDown() override { VbCollectionFailAddAfter(-1, S_OK); }

    Outcome Run(const Scan& s, ComPtr<_Collection> passed = {},
                const wchar_t* msgIn = L"caller's text") {
        Outcome out;
        out.col = std::move(passed);
        Bstr msg(msgIn), ipMin(s.ipMin), ipMax(s.ipMax);
        _Collection* col = out.col.detach();
        out.hr =
            machine_->funcRegister(&col, s.blnPort, s.portMin, s.portMax, ipMin.get(), ipMax.get(),
                                   s.machineMin, s.machineMax, msg.inout(), &out.result);
        out.col = ComPtr<_Collection>::adopt(col);
        out.msg = Text(msg.get());
        EXPECT_EQ(0, PeltLiveClassObjects()) << "the class object outlived the scan";
        return out;
    }

    std::string Connects() { return CallTrace(clock_->calls); }

    clocksim::Scenario* clock_ = nullptr;
    ComPtr<IMachine> machine_;
};

// Reads back one found-device record: machine number, id, port and address.
void ExpectFound(_Collection* col, long index, short port, short machine) {
    ComPtr<IDispatch> item = ItemOf(col, index);
    ASSERT_TRUE(item);
    ComPtr<_FoundMachine> found;
    ASSERT_EQ(S_OK, item->QueryInterface(__uuidof(_FoundMachine), found.put_void()));
    Variant no, id, p, address;
    ASSERT_EQ(S_OK, found->get_MachineNo(no.get()));
    ASSERT_EQ(S_OK, found->get_MachineId(id.get()));
    ASSERT_EQ(S_OK, found->get_Port(p.get()));
    ASSERT_EQ(S_OK, found->get_Address(address.get()));
    EXPECT_EQ(VT_I2, V_VT(no.get()));
    EXPECT_EQ(machine, V_I2(no.get()));
    EXPECT_EQ(VT_I2, V_VT(id.get()));
    EXPECT_EQ(machine, V_I2(id.get()));
    EXPECT_EQ(VT_I2, V_VT(p.get()));
    EXPECT_EQ(port, V_I2(p.get()));
    ASSERT_EQ(VT_BSTR, V_VT(address.get()));
    EXPECT_EQ(0u, SysStringLen(V_BSTR(address.get())));
}

TEST_F(DiscoveryTest, GuardsSkipTheScanButStillHandBackAnEmptyCollection) {
    clock_->answering = {{0, 1}, {1, 1}, {2, 1}};
    Scan off;
    off.blnPort = VARIANT_FALSE;
    off.portMax = 2;
    Scan zeroMax;
    zeroMax.portMin = -5;
    zeroMax.portMax = 0;
    Scan negativeMax;
    negativeMax.portMin = -5;
    negativeMax.portMax = -1;
    Scan reversed;
    reversed.portMin = 3;
    reversed.portMax = 2;
    for (const Scan& s : {off, zeroMax, negativeMax, reversed}) {
        Outcome out = Run(s);
        EXPECT_EQ(S_OK, out.hr);
        EXPECT_EQ(VARIANT_TRUE, out.result);
        ASSERT_TRUE(out.col);
        EXPECT_EQ(0, CountOf(out.col.get()));
        EXPECT_EQ(L"caller's text", out.msg);
    }
    EXPECT_EQ("", Connects());
    // No device call at all means no control was needed either.
    EXPECT_TRUE(clock_->calls.empty());
}

TEST_F(DiscoveryTest, AnyNonZeroBooleanLetsTheScanRun) {
    Scan s;
    s.blnPort = 1;
    Outcome out = Run(s);
    EXPECT_EQ(VARIANT_TRUE, out.result);
    EXPECT_EQ("ConnectSerial(1,1,38400)", Connects());
}

TEST_F(DiscoveryTest, TriesEveryPortFromZeroUpAndEveryMachineNumberWithExactTypes) {
    Scan s;
    s.portMin = 0;
    s.portMax = 2;
    s.machineMin = -1;
    s.machineMax = 0;
    Outcome out = Run(s);
    EXPECT_EQ(VARIANT_TRUE, out.result);
    EXPECT_EQ(0, CountOf(out.col.get()));
    EXPECT_EQ(
        "ConnectSerial(0,-1,38400) ConnectSerial(0,0,38400) ConnectSerial(1,-1,38400) "
        "ConnectSerial(1,0,38400) ConnectSerial(2,-1,38400) "
        "ConnectSerial(2,0,38400)",
        Connects());
    for (const auto& call : clock_->calls) {
        EXPECT_EQ(DISPATCH_METHOD, call.flags);
        EXPECT_EQ(0u, call.namedArgs);
        ASSERT_EQ(3u, call.args.size());
        for (const auto& arg : call.args) EXPECT_EQ(VT_I4, arg.vt);
        EXPECT_FALSE(call.yieldedBefore);  // the scan never yields
    }
    EXPECT_EQ(L"caller's text", out.msg);
}

TEST_F(DiscoveryTest, EmptyMachineRangeMakesNoCall) {
    clock_->answering = {{1, 1}};
    Scan s;
    s.portMax = 3;
    s.machineMin = 5;
    s.machineMax = 4;
    Outcome out = Run(s);
    EXPECT_EQ(VARIANT_TRUE, out.result);
    EXPECT_EQ(0, CountOf(out.col.get()));
    EXPECT_TRUE(clock_->calls.empty());
}

TEST_F(DiscoveryTest, FirstAnsweringMachineEndsThePortAndNoDisconnectIsMade) {
    clock_->answering = {{1, 1}, {1, 2}, {2, 3}, {3, 5}};
    Scan s;
    s.portMin = 1;
    s.portMax = 3;
    s.machineMin = 1;
    s.machineMax = 5;
    Outcome out = Run(s);
    EXPECT_EQ(VARIANT_TRUE, out.result);
    EXPECT_EQ(
        "ConnectSerial(1,1,38400) ConnectSerial(2,1,38400) ConnectSerial(2,2,38400) "
        "ConnectSerial(2,3,38400) ConnectSerial(3,1,38400) "
        "ConnectSerial(3,2,38400) ConnectSerial(3,3,38400) ConnectSerial(3,4,38400) "
        "ConnectSerial(3,5,38400)",
        Connects());
    ASSERT_EQ(3, CountOf(out.col.get()));
    ExpectFound(out.col.get(), 1, 1, 1);
    ExpectFound(out.col.get(), 2, 2, 3);
    ExpectFound(out.col.get(), 3, 3, 5);
    EXPECT_TRUE(clock_->CallsOf(clocksim::kDisconnect).empty());
}

TEST_F(DiscoveryTest, RecordsAreFilledInTheirOrderAndAppendedByReferenceWithoutKey) {
    clock_->answering = {{4, 7}};
    VbCollectionResetJournal();
    Scan s;
    s.portMin = 4;
    s.portMax = 4;
    s.machineMin = 7;
    s.machineMax = 7;
    Outcome out = Run(s);
    ASSERT_EQ(1, CountOf(out.col.get()));
    const auto& journal = *PeltJournal();
    ASSERT_EQ(4u, journal.size());
    const wchar_t* order[] = {L"MachineNo", L"Port", L"Address", L"MachineId"};
    const VARTYPE types[] = {VT_I2, VT_I2, VT_BSTR, VT_I2};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(order[i], journal[i].property);
        EXPECT_EQ(types[i], journal[i].vt);
        EXPECT_EQ(journal[0].object, journal[i].object);
    }
    const auto& adds = *VbCollectionAddJournal();
    ASSERT_EQ(1u, adds.size());
    EXPECT_EQ(VT_BYREF | VT_DISPATCH, adds[0].item);
    EXPECT_EQ(VT_ERROR, adds[0].key);
    EXPECT_EQ(VT_ERROR, adds[0].before);
    EXPECT_EQ(VT_ERROR, adds[0].after);
    EXPECT_EQ(DISP_E_PARAMNOTFOUND, adds[0].keyScode);
    EXPECT_EQ(DISP_E_PARAMNOTFOUND, adds[0].beforeScode);
    EXPECT_EQ(DISP_E_PARAMNOTFOUND, adds[0].afterScode);
}

TEST_F(DiscoveryTest, CallersCollectionIsReplacedAndLeftAsItWas) {
    clock_->answering = {{1, 1}};
    ComPtr<_Collection> mine = NewCollection();
    Variant text = Variant::Text(L"kept"), missing = Variant::Missing();
    ASSERT_EQ(S_OK, mine->Add(text.get(), missing.get(), missing.get(), missing.get()));
    const ULONG before = RefCount(mine.get());

    Outcome out = Run(Scan{}, mine);
    ASSERT_TRUE(out.col);
    EXPECT_NE(mine.get(), out.col.get());
    EXPECT_EQ(1, CountOf(out.col.get()));
    ExpectFound(out.col.get(), 1, 1, 1);
    // The driver released the reference handed over in col, and kept none of its own.
    EXPECT_EQ(before, RefCount(mine.get()));
    EXPECT_EQ(1, CountOf(mine.get()));
}

TEST_F(DiscoveryTest, RangesEndingAt32767CompleteNormally) {
    clock_->answering = {{32766, 2}, {32767, 32767}};
    Scan ports;
    ports.portMin = 32766;
    ports.portMax = 32767;
    ports.machineMin = 1;
    ports.machineMax = 3;
    Outcome out = Run(ports);
    EXPECT_EQ(S_OK, out.hr);
    EXPECT_EQ(VARIANT_TRUE, out.result);
    EXPECT_EQ(L"caller's text", out.msg);
    EXPECT_EQ(
        "ConnectSerial(32766,1,38400) ConnectSerial(32766,2,38400) ConnectSerial(32767,1,38400) "
        "ConnectSerial(32767,2,38400) "
        "ConnectSerial(32767,3,38400)",
        Connects());
    ASSERT_EQ(1, CountOf(out.col.get()));
    ExpectFound(out.col.get(), 1, 32766, 2);

    clock_->Reset();
    clock_->answering = {{5, 32767}};
    Scan machines;
    machines.portMin = 4;
    machines.portMax = 5;
    machines.machineMin = 32766;
    machines.machineMax = 32767;
    out = Run(machines);
    EXPECT_EQ(VARIANT_TRUE, out.result);
    EXPECT_EQ(
        "ConnectSerial(4,32766,38400) ConnectSerial(4,32767,38400) ConnectSerial(5,32766,38400) "
        "ConnectSerial(5,32767,38400)",
        Connects());
    ASSERT_EQ(1, CountOf(out.col.get()));
    ExpectFound(out.col.get(), 1, 5, 32767);
}

TEST_F(DiscoveryTest, NetworkAddressesHaveNoEffect) {
    clock_->answering = {{2, 2}};
    Scan plain;
    plain.portMax = 2;
    plain.machineMax = 2;
    Outcome a = Run(plain);
    std::string first = Connects();
    clock_->calls.clear();
    Scan odd = plain;
    odd.ipMin = L"999.1.x";
    odd.ipMax = L"192.168.0.10";
    Outcome b = Run(odd);
    EXPECT_EQ(first, Connects());
    EXPECT_EQ(a.result, b.result);
    EXPECT_EQ(CountOf(a.col.get()), CountOf(b.col.get()));
}

// An error anywhere in the scan ends it with False and the error's description, keeps the records
// found before it, and closes no link.
TEST_F(DiscoveryTest, ErrorsEndTheScanWithTheirDescription) {
    struct Case {
        const char* name;
        void (*arrange)(clocksim::Scenario&);
        std::wstring message;
    };
    const Case cases[] = {
        {"device raises",
         [](clocksim::Scenario& c) {
             c.Fail(kConnectSerial, DISP_E_EXCEPTION, L"Port 2 is in use", 1);
         },
         L"Port 2 is in use"},
        {"result is not a Boolean",
         [](clocksim::Scenario& c) { c.SetResult(kConnectSerial, *Variant::Text(L"maybe").get()); },
         L"Type mismatch"},
        {"record refuses a property",
         [](clocksim::Scenario&) {
             PeltFailPut(L"Address", 1, E_ACCESSDENIED, L"Address is read-only");
         },
         L"Address is read-only"},
        {"record cannot be created",
         [](clocksim::Scenario&) { PeltFailCreate(1, REGDB_E_CLASSNOTREG); },
         L"Class not registered"},
        {"collection refuses the item",
         [](clocksim::Scenario&) { VbCollectionFailAddAfter(1, E_OUTOFMEMORY); },
         L"Collection is full"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clock_->Reset();
        PeltReset();
        VbCollectionFailAddAfter(-1, S_OK);
        clock_->answering = {{1, 1}, {2, 1}, {3, 1}};
        c.arrange(*clock_);
        const long recordsBefore = PeltLiveRecords();
        Scan s;
        s.portMax = 3;
        Outcome out = Run(s);
        EXPECT_EQ(S_OK, out.hr);
        EXPECT_EQ(VARIANT_FALSE, out.result);
        EXPECT_EQ(c.message, out.msg);
        ASSERT_TRUE(out.col);
        if (std::string(c.name) == "result is not a Boolean") {
            EXPECT_EQ(0, CountOf(out.col.get()));
        } else {
            EXPECT_EQ(1, CountOf(out.col.get()));
            ExpectFound(out.col.get(), 1, 1, 1);
        }
        EXPECT_TRUE(clock_->CallsOf(clocksim::kDisconnect).empty());
        // The record that failed half-way was released; only the collection holds the others.
        EXPECT_EQ(recordsBefore + CountOf(out.col.get()), PeltLiveRecords());
    }
}

TEST_F(DiscoveryTest, EveryDeviceFoundIsANewRecordFromOneClassObjectPerScan) {
    clock_->answering = {{1, 1}, {2, 2}, {3, 1}};
    Scan s;
    s.portMax = 3;
    s.machineMax = 2;
    for (long scan = 1; scan <= 2; ++scan) {
        SCOPED_TRACE(scan);
        Outcome out = Run(s);
        ASSERT_EQ(VARIANT_TRUE, out.result);
        ASSERT_EQ(3, CountOf(out.col.get()));
        EXPECT_EQ(3u, DistinctObjects(out.col.get()));
        ExpectFound(out.col.get(), 2, 2, 2);
        EXPECT_EQ(scan, PeltClassObjectsServed(kPeltFoundMachine));
    }
    EXPECT_EQ(0, PeltClassObjectsServed(kPeltCardRecord));
    // Four puts on each object, one object after the other.
    const auto& journal = *PeltJournal();
    ASSERT_EQ(24u, journal.size());
    for (size_t i = 0; i < journal.size(); ++i)
        EXPECT_EQ(static_cast<int>(i / 4 + 1), journal[i].object) << "put " << i;
}

// A class whose class object cannot be had fails as one whose first creation fails; a scan that
// finds nothing asks for no class object at all.
TEST_F(DiscoveryTest, RecordClassThatCannotBeCreated) {
    for (bool classObject : {true, false}) {
        SCOPED_TRACE(classObject ? "class object refused" : "first creation refused");
        clock_->Reset();
        PeltReset();
        clock_->answering = {{2, 1}};
        if (classObject) {
            PeltFailClassObject(REGDB_E_CLASSNOTREG);
        } else {
            PeltFailCreate(0, REGDB_E_CLASSNOTREG);
        }
        Scan s;
        s.portMax = 3;
        Outcome out = Run(s);
        EXPECT_EQ(VARIANT_FALSE, out.result);
        EXPECT_EQ(L"Class not registered", out.msg);
        EXPECT_EQ("ConnectSerial(1,1,38400) ConnectSerial(2,1,38400)", Connects());
        EXPECT_EQ(0, CountOf(out.col.get()));
        EXPECT_EQ(1, PeltClassObjectsServed(kPeltFoundMachine));

        clock_->Reset();
        Outcome none = Run(s);
        EXPECT_EQ(VARIANT_TRUE, none.result);
        EXPECT_EQ(1, PeltClassObjectsServed(kPeltFoundMachine));
    }
}

TEST_F(DiscoveryTest, ReferencesAreBalancedOnEveryPath) {
    clock_->answering = {{1, 1}, {2, 2}};
    const ULONG machineRefs = RefCount(machine_.get());
    const long records = PeltLiveRecords();
    const long collections = VbCollectionLiveObjects();
    {
        Scan s;
        s.portMax = 2;
        s.machineMax = 2;
        Outcome ok = Run(s);
        EXPECT_EQ(VARIANT_TRUE, ok.result);
        EXPECT_EQ(machineRefs, RefCount(machine_.get()));
        EXPECT_EQ(1u, RefCount(ok.col.get()));
        ComPtr<IDispatch> first = ItemOf(ok.col.get(), 1);
        EXPECT_EQ(2u, RefCount(first.get()));  // the collection's and ours
        clock_->Fail(kConnectSerial, DISP_E_EXCEPTION, L"broken", 0);
        Outcome failed = Run(s);
        EXPECT_EQ(VARIANT_FALSE, failed.result);
        EXPECT_EQ(machineRefs, RefCount(machine_.get()));
        EXPECT_EQ(1u, RefCount(failed.col.get()));
    }
    EXPECT_EQ(records, PeltLiveRecords());
    EXPECT_EQ(collections, VbCollectionLiveObjects());
}

TEST_F(DiscoveryTest, DefaultInterfaceReachesTheSameScan) {
    clock_->answering = {{2, 1}};
    ComPtr<_clsMachine> def = DefaultInterface(machine_.get());
    _Collection* col = nullptr;
    Bstr msg(L"x"), none(L"");
    VARIANT_BOOL result = VARIANT_FALSE;
    ASSERT_EQ(S_OK, def->IMachine_funcRegister(&col, VARIANT_TRUE, 1, 2, none.get(), none.get(), 1,
                                               1, msg.inout(), &result));
    ComPtr<_Collection> owned = ComPtr<_Collection>::adopt(col);
    EXPECT_EQ(VARIANT_TRUE, result);
    EXPECT_EQ("ConnectSerial(1,1,38400) ConnectSerial(2,1,38400)", Connects());
    ASSERT_EQ(1, CountOf(owned.get()));
    ExpectFound(owned.get(), 1, 2, 1);
}

}  // namespace
