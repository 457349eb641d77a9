// Attendance record download, seen from the host: the device calls it makes, the card records it
// appends, the swipe times, the failure message and what an error in its handler does.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "operations/swipe_time.h"
#include "standins/clock/scenario.h"
#include "standins/collection/collection_probe.h"
#include "standins/pelt/pelt_probe.h"
#include "tests/support.h"

namespace {

using clocksim::LogRecord;
using qt::Bstr;
using qt::ComPtr;
using qt::Variant;

constexpr VARTYPE kRefI4 = VT_BYREF | VT_I4;

LogRecord Swipe(int person, int year, int month, int day, int hour, int minute) {
    LogRecord r;
    r.person = person;
    r.year = year;
    r.month = month;
    r.day = day;
    r.hour = hour;
    r.minute = minute;
    return r;
}

// The platform's own date for a whole minute, as an independent reference.
DATE PlatformDate(int year, int month, int day, int hour, int minute) {
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    t.wHour = static_cast<WORD>(hour);
    t.wMinute = static_cast<WORD>(minute);
    DATE date = 0;
    EXPECT_TRUE(SystemTimeToVariantTime(&t, &date));
    return date;
}

using qt::Utf8;

// What the host got back from one call, and the byte length of the text strMsg holds.
struct Outcome : qt::Outcome {
    UINT messageBytes = 0;
};

// A card record as the host reads it back.
struct Card {
    VARTYPE personType = VT_EMPTY;
    long person = 0;
    VARTYPE timeType = VT_EMPTY;
    DATE time = 0;
};

class Download : public testing::Test {
  protected:
    void SetUp() override {
        clock_ = &qt::FreshClock();
        PeltReset();
        VbCollectionFailAddAfter(-1, S_OK);
        driver_ = qt::CreateDriver();
        cdata_ = qt::NewCollection();
    }
    void TearDown() override {
        PeltReset();
        VbCollectionFailAddAfter(-1, S_OK);
    }

    // One DownloadCarddata through IMachine, with cdata_ by reference and a caller's earlier
    // text in strMsg. Every call leaves the driver's and the collection's counts as they were and
    // never replaces the collection.
    Outcome Run(short port, short machine, VARIANT_BOOL blnPort = VARIANT_TRUE,
                const wchar_t* ip = L"") {
        Bstr strIp(ip);
        Bstr msg(L"earlier text");
        _Collection* const before = cdata_.get();
        const ULONG driverRefs = qt::RefCount(driver_.get());
        const ULONG cdataRefs = before ? qt::RefCount(before) : 0;

        _Collection* cdata = cdata_.detach();
        Outcome o;
        o.hr = driver_->DownloadCarddata(blnPort, strIp.get(), port, machine, &cdata, msg.inout(),
                                         &o.result);
        cdata_ = ComPtr<_Collection>::adopt(cdata);
        o.msg = qt::Text(msg.get());
        o.messageBytes = SysStringByteLen(msg.get());

        EXPECT_EQ(before, cdata_.get()) << "cdata must never be replaced";
        EXPECT_EQ(driverRefs, qt::RefCount(driver_.get()));
        EXPECT_EQ(0, PeltLiveClassObjects()) << "the class object outlived the operation";
        if (before) {
            EXPECT_EQ(cdataRefs, qt::RefCount(before));
        }
        return o;
    }

    std::vector<DISPID> Dispids() const {
        std::vector<DISPID> ids;
        for (const auto& c : clock_->calls) ids.push_back(c.dispid);
        return ids;
    }
    // Which calls followed a yield to the thread's messages.
    std::vector<bool> Yields() const {
        std::vector<bool> yields;
        for (const auto& c : clock_->calls) yields.push_back(c.yieldedBefore);
        return yields;
    }
    std::string Trace() const { return qt::CallTrace(clock_->calls); }

    Card CardAt(long i) {
        Card card;
        ComPtr<IDispatch> item = qt::ItemOf(cdata_.get(), i);
        ComPtr<_CardRecord> record;
        EXPECT_EQ(S_OK, item.query(record)) << "item " << i << " is no card record";
        if (!record) return card;
        Variant person, time;
        EXPECT_EQ(S_OK, record->get_PersonNo(person.get()));
        EXPECT_EQ(S_OK, record->get_SwipeTime(time.get()));
        card.personType = V_VT(person.get());
        card.person = card.personType == VT_I4 ? V_I4(person.get()) : 0;
        card.timeType = V_VT(time.get());
        card.time = card.timeType == VT_DATE ? V_DATE(time.get()) : 0;
        return card;
    }

    // Every card record alive is held by the collection alone: once the collection goes, so do
    // they.
    void ExpectRecordsHeldOnlyByCollection(long cards) {
        EXPECT_EQ(cards, PeltLiveRecords());
        for (long i = 1; i <= qt::CountOf(cdata_.get()); ++i) {
            ComPtr<IDispatch> item = qt::ItemOf(cdata_.get(), i);
            ComPtr<_CardRecord> record;
            if (FAILED(item.query(record))) continue;
            item.reset();
            EXPECT_EQ(2u, qt::RefCount(record.get())) << "item " << i;  // collection + ours
        }
        cdata_.reset();
        EXPECT_EQ(0, PeltLiveRecords());
    }

    void ExpectEndedInHandler(const Outcome& o, const wchar_t* machine) {
        EXPECT_EQ(S_OK, o.hr);
        EXPECT_EQ(VARIANT_FALSE, o.result);
        EXPECT_EQ(qt::DownloadFailureMessage(machine), o.msg);
        ASSERT_FALSE(clock_->calls.empty());
        EXPECT_EQ(clocksim::kDisconnect, clock_->calls.back().dispid);
    }

    clocksim::Scenario* clock_ = nullptr;
    ComPtr<IMachine> driver_;
    ComPtr<_Collection> cdata_;
};

TEST_F(Download, MakesItsDeviceCallsInOrderWithTheirVariantTypes) {
    clock_->At(3, 7).log = {Swipe(1001, 2008, 3, 7, 9, 5), Swipe(1002, 2008, 3, 7, 9, 6)};
    Outcome o = Run(3, 7);
    EXPECT_EQ(S_OK, o.hr);
    EXPECT_EQ(VARIANT_TRUE, o.result);

    // By-reference values as they stood on entry: the outputs are not reset between records.
    EXPECT_EQ(
        "SerialPort(3) ConnectSerial(3,7,38400) StartLogRead(7) "
        "NextLogRecord(7,&7,&0,&7,&0,&0,&0,&0,&0,&0,&0) "
        "NextLogRecord(7,&7,&1001,&7,&0,&0,&2008,&3,&7,&9,&5) "
        "NextLogRecord(7,&7,&1002,&7,&0,&0,&2008,&3,&7,&9,&6) "
        "AfterLogRead(7) Disconnect()",
        Trace());

    const auto& calls = clock_->calls;
    ASSERT_EQ(8u, calls.size());
    EXPECT_EQ(DISPATCH_PROPERTYPUT, calls[0].flags);
    EXPECT_EQ(1u, calls[0].namedArgs);
    for (size_t i = 1; i < calls.size(); ++i) {
        EXPECT_EQ(DISPATCH_METHOD, calls[i].flags) << "call " << i;
        EXPECT_EQ(0u, calls[i].namedArgs) << "call " << i;
    }
    for (const auto& call : calls) {
        if (call.dispid == clocksim::kNextLogRecord) continue;
        for (const auto& arg : call.args) EXPECT_EQ(VT_I4, arg.vt) << "dispid " << call.dispid;
    }

    const auto next = clock_->CallsOf(clocksim::kNextLogRecord);
    ASSERT_EQ(3u, next.size());
    for (const auto& call : next) {
        ASSERT_EQ(11u, call.args.size());
        EXPECT_EQ(VT_I4, call.args[0].vt);
        std::set<const void*> addresses;
        for (size_t a = 1; a < 11; ++a) {
            EXPECT_EQ(kRefI4, call.args[a].vt) << "argument " << a + 1;
            addresses.insert(call.args[a].address);
            // The same variables on every call.
            EXPECT_EQ(next[0].args[a].address, call.args[a].address) << "argument " << a + 1;
        }
        EXPECT_EQ(call.args[1].address, call.args[3].address) << "arguments 2 and 4 are one";
        EXPECT_EQ(9u, addresses.size()) << "all other by-reference arguments are distinct";
    }
}

TEST_F(Download, DeviceWithoutRecordsYieldsOnceAndClosesTheRead) {
    clock_->At(1, 5);
    Outcome o = Run(1, 5);
    EXPECT_EQ(S_OK, o.hr);
    EXPECT_EQ(VARIANT_TRUE, o.result);
    EXPECT_EQ(L"", o.msg) << "the caller's earlier text is replaced";
    EXPECT_EQ(0u, o.messageBytes);
    EXPECT_EQ(
        "SerialPort(1) ConnectSerial(1,5,38400) StartLogRead(5) "
        "NextLogRecord(5,&5,&0,&5,&0,&0,&0,&0,&0,&0,&0) AfterLogRead(5) Disconnect()",
        Trace());
    EXPECT_EQ((std::vector<bool>{false, false, false, true, false, false}), Yields());
    EXPECT_EQ(0, qt::CountOf(cdata_.get()));
}

TEST_F(Download, StartLogReadFalseSkipsTheLoopButNotTheClosingCalls) {
    clock_->startLogRead = false;
    clock_->At(2, 9).log = {Swipe(1, 2008, 1, 1, 0, 0)};
    Outcome o = Run(2, 9);
    EXPECT_EQ(VARIANT_TRUE, o.result);
    EXPECT_EQ(L"", o.msg);
    EXPECT_EQ("SerialPort(2) ConnectSerial(2,9,38400) StartLogRead(9) AfterLogRead(9) Disconnect()",
              Trace());
    EXPECT_EQ((std::vector<bool>(5, false)), Yields());
    EXPECT_EQ(0, qt::CountOf(cdata_.get()));
}

TEST_F(Download, GoesOnWhetherOrNotTheDeviceAnswers) {
    std::string traces[2];
    for (bool answers : {false, true}) {
        qt::FreshClock();
        clock_->At(4, 2).log = {Swipe(7, 2010, 6, 1, 12, 0)};
        if (!answers) qt::ConnectAnswersFalse(*clock_);
        Outcome o = Run(4, 2);
        EXPECT_EQ(VARIANT_TRUE, o.result);
        traces[answers] = Trace();
    }
    EXPECT_EQ(traces[0], traces[1]);
    EXPECT_EQ(2, qt::CountOf(cdata_.get()));
}

TEST_F(Download, AppendsRecordsInDeliveryOrderAfterWhatTheCollectionHeld) {
    Variant first = Variant::Text(L"kept"), second = Variant::I4(42), missing = Variant::Missing();
    ASSERT_EQ(S_OK, cdata_->Add(first.get(), missing.get(), missing.get(), missing.get()));
    ASSERT_EQ(S_OK, cdata_->Add(second.get(), missing.get(), missing.get(), missing.get()));
    VbCollectionResetJournal();

    clock_->At(1, 1).log = {Swipe(301, 2008, 12, 31, 23, 59), Swipe(17, 2008, 1, 2, 3, 4),
                            Swipe(-8, 2008, 3, 7, 9, 5)};
    Outcome o = Run(1, 1);
    EXPECT_EQ(VARIANT_TRUE, o.result);
    EXPECT_EQ(L"", o.msg);
    // A yield before each of the four NextLogRecord calls, and nowhere else.
    EXPECT_EQ((std::vector<bool>{false, false, false, true, true, true, true, false, false}),
              Yields());

    ASSERT_EQ(5, qt::CountOf(cdata_.get()));
    Variant index = Variant::I4(1), item;
    ASSERT_EQ(S_OK, cdata_->Item(index.get(), item.get()));
    EXPECT_EQ(L"kept", qt::Text(V_BSTR(item.get())));
    V_I4(index.get()) = 2;
    ASSERT_EQ(S_OK, cdata_->Item(index.get(), item.put()));
    EXPECT_EQ(42, V_I4(item.get()));

    const long persons[] = {301, 17, -8};
    for (long i = 0; i < 3; ++i) {
        Card card = CardAt(3 + i);
        EXPECT_EQ(VT_I4, card.personType);
        EXPECT_EQ(persons[i], card.person);
        EXPECT_EQ(VT_DATE, card.timeType);
    }

    // Each record: created, PersonNo as a 32-bit integer, then SwipeTime as a date.
    std::vector<PutRecord> expected;
    for (int object = 1; object <= 3; ++object) {
        expected.push_back({object, L"PersonNo", VT_I4, S_OK});
        expected.push_back({object, L"SwipeTime", VT_DATE, S_OK});
    }
    EXPECT_EQ(expected, *PeltJournal());

    // Appended item only, by reference, without key or position.
    const auto& adds = *VbCollectionAddJournal();
    ASSERT_EQ(3u, adds.size());
    for (const AddRecord& add : adds) {
        EXPECT_EQ(VT_BYREF | VT_DISPATCH, add.item);
        EXPECT_EQ(VT_ERROR, add.key);
        EXPECT_EQ(DISP_E_PARAMNOTFOUND, add.keyScode);
        EXPECT_EQ(VT_ERROR, add.before);
        EXPECT_EQ(DISP_E_PARAMNOTFOUND, add.beforeScode);
        EXPECT_EQ(VT_ERROR, add.after);
        EXPECT_EQ(DISP_E_PARAMNOTFOUND, add.afterScode);
    }
    ExpectRecordsHeldOnlyByCollection(3);
}

TEST_F(Download, EveryRecordIsANewCardRecordFromOneClassObjectPerOperation) {
    clock_->At(1, 1).log = {Swipe(1, 2008, 1, 1, 0, 0), Swipe(2, 2008, 1, 1, 0, 1),
                            Swipe(3, 2008, 1, 1, 0, 2)};
    for (long operation = 1; operation <= 2; ++operation) {
        SCOPED_TRACE(operation);
        ASSERT_EQ(VARIANT_TRUE, Run(1, 1).result);
        // Asked for once per operation, never kept from one call to the next.
        EXPECT_EQ(operation, PeltClassObjectsServed(kPeltCardRecord));
        EXPECT_EQ(0, PeltClassObjectsServed(kPeltFoundMachine));
    }
    ASSERT_EQ(6, qt::CountOf(cdata_.get()));
    EXPECT_EQ(6u, qt::DistinctObjects(cdata_.get()));
    const auto& journal = *PeltJournal();
    ASSERT_EQ(12u, journal.size());
    for (int object = 1; object <= 6; ++object) {
        EXPECT_EQ((PutRecord{object, L"PersonNo", VT_I4, S_OK}), journal[2 * object - 2]);
        EXPECT_EQ((PutRecord{object, L"SwipeTime", VT_DATE, S_OK}), journal[2 * object - 1]);
        EXPECT_EQ((object - 1) % 3 + 1, CardAt(object).person);
    }
    ExpectRecordsHeldOnlyByCollection(6);
}

// A class whose class object cannot be had fails exactly as one whose first creation fails: at
// the first record, in the handler, with the collection's earlier items kept.
TEST_F(Download, ClassThatCannotBeCreatedFailsTheOperationAsBefore) {
    struct Case {
        const char* what;
        void (*refuse)();
    };
    const Case cases[] = {
        {"class object refused", [] { PeltFailClassObject(REGDB_E_CLASSNOTREG); }},
        {"first creation refused", [] { PeltFailCreate(0, REGDB_E_CLASSNOTREG); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qt::FreshClock();
        PeltReset();
        cdata_ = qt::NewCollection();
        Variant kept = Variant::Text(L"kept"), missing = Variant::Missing();
        ASSERT_EQ(S_OK, cdata_->Add(kept.get(), missing.get(), missing.get(), missing.get()));
        clock_->At(2, 4).log = {Swipe(1, 2008, 1, 1, 0, 0), Swipe(2, 2008, 1, 1, 0, 1)};
        c.refuse();
        Outcome o = Run(2, 4);
        ExpectEndedInHandler(o, L"4");
        EXPECT_EQ(
            "SerialPort(2) ConnectSerial(2,4,38400) StartLogRead(4) "
            "NextLogRecord(4,&4,&0,&4,&0,&0,&0,&0,&0,&0,&0) Disconnect()",
            Trace());
        EXPECT_EQ(1, PeltClassObjectsServed(kPeltCardRecord));
        EXPECT_EQ(1, qt::CountOf(cdata_.get()));
        EXPECT_TRUE(PeltJournal()->empty());
        EXPECT_EQ(0, PeltLiveRecords());
    }
}

TEST_F(Download, NoRecordToHandBackAsksForNoClassObject) {
    for (bool startLogRead : {true, false}) {
        SCOPED_TRACE(startLogRead);
        qt::FreshClock();
        clock_->startLogRead = startLogRead;
        clock_->At(1, 5);
        PeltFailClassObject(REGDB_E_CLASSNOTREG);  // would end the download if it were asked
        Outcome o = Run(1, 5);
        EXPECT_EQ(VARIANT_TRUE, o.result);
        EXPECT_EQ(0, PeltClassObjectsServed(kPeltCardRecord));
        EXPECT_EQ(0, PeltLiveRecords());
        EXPECT_EQ(0, qt::CountOf(cdata_.get()));
    }
}

TEST_F(Download, SwipeTimeReadsYearFirstOnTheWholeMinute) {
    struct {
        int y, mo, d, h, mi;
    } const times[] = {
        {2008, 12, 31, 23, 59}, {2008, 1, 2, 3, 4},     {2008, 3, 7, 9, 5},   {2000, 2, 29, 0, 0},
        {2024, 2, 29, 12, 30},  {1900, 2, 28, 8, 0},    {1899, 12, 29, 6, 0}, {1899, 12, 30, 0, 0},
        {100, 1, 1, 0, 0},      {9999, 12, 31, 23, 59},
    };
    for (const auto& t : times) clock_->At(1, 1).log.push_back(Swipe(1, t.y, t.mo, t.d, t.h, t.mi));
    // The host's regional settings must not matter: day-first and month-first locales alike.
    for (LCID locale : {MAKELCID(0x0407, SORT_DEFAULT), MAKELCID(0x0409, SORT_DEFAULT)}) {
        SCOPED_TRACE(locale);
        LCID was = GetThreadLocale();
        SetThreadLocale(locale);
        cdata_ = qt::NewCollection();
        Outcome o = Run(1, 1);
        SetThreadLocale(was);
        ASSERT_EQ(VARIANT_TRUE, o.result) << Utf8(o.msg);
        ASSERT_EQ(static_cast<long>(std::size(times)), qt::CountOf(cdata_.get()));
        for (size_t i = 0; i < std::size(times); ++i) {
            const auto& t = times[i];
            SCOPED_TRACE(testing::Message()
                         << t.y << '/' << t.mo << '/' << t.d << ' ' << t.h << ':' << t.mi);
            Card card = CardAt(static_cast<long>(i) + 1);
            ASSERT_EQ(VT_DATE, card.timeType);
            EXPECT_NEAR(PlatformDate(t.y, t.mo, t.d, t.h, t.mi), card.time, 1e-9);
            SYSTEMTIME back{};
            ASSERT_TRUE(VariantTimeToSystemTime(card.time, &back));
            EXPECT_EQ(t.y, back.wYear);
            EXPECT_EQ(t.mo, back.wMonth);
            EXPECT_EQ(t.d, back.wDay);
            EXPECT_EQ(t.h, back.wHour);
            EXPECT_EQ(t.mi, back.wMinute);
            EXPECT_EQ(0, back.wSecond);
        }
    }
    // 31 December 2008, 23:59:00 and 2 January 2008, 03:04:00 exactly.
    EXPECT_DOUBLE_EQ(39813.0 + 1439.0 / 1440.0, CardAt(1).time);
    EXPECT_DOUBLE_EQ(39449.0 + 184.0 / 1440.0, CardAt(2).time);
    // Before day 0 the time of day counts away from zero: 29 December 1899, 06:00 is -1.25.
    EXPECT_DOUBLE_EQ(-1.25, CardAt(7).time);
}

TEST_F(Download, SwipeTimeThatIsNoDateEndsInHandlerKeepingEarlierRecords) {
    clock_->At(1, 5).log = {Swipe(1, 2008, 5, 1, 8, 0), Swipe(2, 2008, 5, 1, 8, 1),
                            Swipe(3, 2008, 13, 32, 8, 2), Swipe(4, 2008, 5, 1, 8, 3)};
    Outcome o = Run(1, 5);
    ExpectEndedInHandler(o, L"5");
    // No AfterLogRead: the handler only disconnects.
    EXPECT_EQ((std::vector<DISPID>{2, 38, 8, 25, 25, 25, 40}), Dispids());
    ASSERT_EQ(2, qt::CountOf(cdata_.get()));
    EXPECT_EQ(1, CardAt(1).person);
    EXPECT_EQ(2, CardAt(2).person);
    // The third record got its person number, then the date failed; it was never appended.
    const auto& journal = *PeltJournal();
    ASSERT_EQ(5u, journal.size());
    EXPECT_EQ((PutRecord{3, L"PersonNo", VT_I4, S_OK}), journal.back());
    ExpectRecordsHeldOnlyByCollection(2);
}

TEST_F(Download, EveryPartOutsideADateAndTimeIsRejected) {
    struct {
        int y, mo, d, h, mi;
    } const invalid[] = {
        {2008, 13, 1, 0, 0},      {2008, 0, 1, 0, 0},       {2008, 1, 32, 0, 0},
        {2008, 1, 0, 0, 0},       {2008, 4, 31, 0, 0},      {2008, 2, 30, 0, 0},
        {2007, 2, 29, 0, 0},      {1900, 2, 29, 0, 0},      {2100, 2, 29, 0, 0},
        {2008, 1, 1, 24, 0},      {2008, 1, 1, 0, 60},      {2008, 1, 1, -1, 0},
        {2008, 1, 1, 0, -1},      {2008, -3, 7, 9, 5},      {2008, 3, -7, 9, 5},
        {-2008, 3, 7, 9, 5},      {99, 1, 1, 0, 0},         {8, 3, 7, 9, 5},
        {0, 1, 1, 0, 0},          {10000, 1, 1, 0, 0},      {INT_MAX, 1, 1, 0, 0},
        {2008, INT_MIN, 1, 0, 0}, {2008, 1, 1, INT_MAX, 0},
    };
    for (const auto& t : invalid) {
        SCOPED_TRACE(testing::Message()
                     << t.y << '/' << t.mo << '/' << t.d << ' ' << t.h << ':' << t.mi);
        qt::FreshClock();
        PeltReset();
        cdata_ = qt::NewCollection();
        clock_->At(1, 5).log = {Swipe(1, t.y, t.mo, t.d, t.h, t.mi)};
        Outcome o = Run(1, 5);
        ExpectEndedInHandler(o, L"5");
        EXPECT_EQ(0, qt::CountOf(cdata_.get()));
        EXPECT_EQ(0, PeltLiveRecords());
    }
}

TEST(SwipeTime, AgreesWithThePlatformOnEveryDayOfTheRange) {
    // Every candidate day from year 100 to 9999, day 1 to 31 of each month: valid exactly when
    // the platform's conversion gives the same day back, and then the same date.
    int mismatches = 0;
    for (int year = quorin::ops::kFirstSwipeYear; year <= quorin::ops::kLastSwipeYear; ++year) {
        for (int month = 1; month <= 12; ++month) {
            for (int day = 1; day <= 31; ++day) {
                SYSTEMTIME t{};
                t.wYear = static_cast<WORD>(year);
                t.wMonth = static_cast<WORD>(month);
                t.wDay = static_cast<WORD>(day);
                t.wHour = 13;
                t.wMinute = 47;
                DATE platform = 0;
                SYSTEMTIME back{};
                const bool valid = SystemTimeToVariantTime(&t, &platform) &&
                                   VariantTimeToSystemTime(platform, &back) && back.wYear == year &&
                                   back.wMonth == month && back.wDay == day;
                auto ours = quorin::ops::SwipeTimeFromParts({year, month, day, 13, 47});
                const bool same = valid ? ours && std::abs(*ours - platform) < 1e-9 : !ours;
                if (!same && ++mismatches <= 5)
                    ADD_FAILURE() << year << '/' << month << '/' << day << " 13:47: platform "
                                  << (valid ? platform : 0) << ", ours " << (ours ? *ours : -1e9);
            }
        }
    }
    EXPECT_EQ(0, mismatches);
}

TEST_F(Download, AfterLogReadTakesWhatTheDeviceLeftInArguments2And4) {
    LogRecord first = Swipe(1, 2008, 1, 1, 0, 0);
    first.arg2 = 1234;
    first.arg5 = 55;
    first.arg6 = 66;
    LogRecord second = Swipe(2, 2008, 1, 1, 0, 1);
    second.arg2 = 1;
    second.arg4 = -32768;  // written after argument 2, into the same variable
    LogRecord third = Swipe(3, 2008, 1, 1, 0, 2);  // leaves the variable alone
    clock_->At(1, 5).log = {first, second, third};
    Outcome o = Run(1, 5);
    EXPECT_EQ(VARIANT_TRUE, o.result);
    EXPECT_EQ(
        "SerialPort(1) ConnectSerial(1,5,38400) StartLogRead(5) "
        "NextLogRecord(5,&5,&0,&5,&0,&0,&0,&0,&0,&0,&0) "
        "NextLogRecord(5,&1234,&1,&1234,&55,&66,&2008,&1,&1,&0,&0) "
        "NextLogRecord(5,&-32768,&2,&-32768,&55,&66,&2008,&1,&1,&0,&1) "
        "NextLogRecord(5,&-32768,&3,&-32768,&55,&66,&2008,&1,&1,&0,&2) "
        "AfterLogRead(-32768) Disconnect()",
        Trace());
    EXPECT_EQ(3, qt::CountOf(cdata_.get()));

    qt::FreshClock();
    LogRecord top = Swipe(4, 2008, 1, 1, 0, 3);
    top.arg4 = 32767;
    clock_->At(1, 5).log = {top};
    EXPECT_EQ(VARIANT_TRUE, Run(1, 5).result);
    ASSERT_LE(2u, clock_->calls.size());
    const auto& after = clock_->calls[clock_->calls.size() - 2];
    EXPECT_EQ(clocksim::kAfterLogRead, after.dispid);
    ASSERT_EQ(1u, after.args.size());
    EXPECT_EQ(32767, after.args[0].value);
}

TEST_F(Download, MachineVariableOutside16BitsEndsInHandler) {
    for (int32_t left : {40000, 32768, -32769}) {
        SCOPED_TRACE(left);
        qt::FreshClock();
        cdata_ = qt::NewCollection();
        LogRecord r = Swipe(1, 2008, 1, 1, 0, 0);
        r.arg2 = left;
        clock_->At(1, 5).log = {Swipe(9, 2008, 1, 1, 0, 0), r};
        Outcome o = Run(1, 5);
        // The message names the machine parameter, never the variable.
        ExpectEndedInHandler(o, L"5");
        EXPECT_EQ((std::vector<DISPID>{2, 38, 8, 25, 25, 25, 40}), Dispids());
        EXPECT_EQ(2, qt::CountOf(cdata_.get()));
    }
}

TEST_F(Download, FailureMessageNamesTheMachineExactly) {
    struct {
        short machine;
        const wchar_t* number;
        const char* utf8;
    } const cases[] = {
        {5, L"5",
         "\xE7\xBC\x96\xE5\x8F\xB7\xE4\xB8\xBA"
         "5"
         "\xE7\x9A\x84\xE8\x80\x83\xE5\x8B\xA4\xE6\x9C\xBA\xE4\xB8\x8D\xE8\x83\xBD\xE4\xB8\x8B"
         "\xE8\xBD\xBD\xE5\x88\xB7\xE5\x8D\xA1\xE6\x95\xB0\xE6\x8D\xAE\xEF\xBC\x81\x20"},
        {-3, L"-3",
         "\xE7\xBC\x96\xE5\x8F\xB7\xE4\xB8\xBA"
         "-3"
         "\xE7\x9A\x84\xE8\x80\x83\xE5\x8B\xA4\xE6\x9C\xBA\xE4\xB8\x8D\xE8\x83\xBD\xE4\xB8\x8B"
         "\xE8\xBD\xBD\xE5\x88\xB7\xE5\x8D\xA1\xE6\x95\xB0\xE6\x8D\xAE\xEF\xBC\x81\x20"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.machine);
        qt::FreshClock();
        clock_->Fail(clocksim::kStartLogRead, DISP_E_EXCEPTION, L"line down");
        Outcome o = Run(1, c.machine);
        ExpectEndedInHandler(o, c.number);
        EXPECT_EQ(2 * qt::DownloadFailureMessage(c.number).size(), o.messageBytes);
        EXPECT_EQ(std::string(c.utf8), Utf8(o.msg));
        EXPECT_EQ("SerialPort(1) ConnectSerial(1," + std::to_string(c.machine) +
                      ",38400) StartLogRead(" + std::to_string(c.machine) + ") Disconnect()",
                  Trace());
    }
}

TEST_F(Download, FailingDisconnectInTheHandlerEscapesToTheHost) {
    clock_->At(1, 5).log = {Swipe(1, 2008, 1, 1, 0, 0), Swipe(2, 2008, 13, 1, 0, 0)};
    clock_->Fail(clocksim::kDisconnect, DISP_E_EXCEPTION, L"Port is gone");
    SetErrorInfo(0, nullptr);
    Outcome o = Run(1, 5);
    EXPECT_TRUE(FAILED(o.hr));
    EXPECT_EQ(VARIANT_FALSE, o.result);
    EXPECT_EQ(L"", o.msg) << "the message is only set once the handler's Disconnect is done";
    EXPECT_EQ((std::vector<DISPID>{2, 38, 8, 25, 25, 40}), Dispids());
    EXPECT_EQ(1, qt::CountOf(cdata_.get()));

    ComPtr<ISupportErrorInfo> supports;
    ASSERT_EQ(S_OK, driver_.query(supports));
    EXPECT_EQ(S_OK, supports->InterfaceSupportsErrorInfo(__uuidof(IMachine)));
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(S_OK, GetErrorInfo(0, info.put()));
    Bstr description, source;
    ASSERT_EQ(S_OK, info->GetDescription(description.put()));
    ASSERT_EQ(S_OK, info->GetSource(source.put()));
    EXPECT_EQ(L"Port is gone", qt::Text(description.get()));
    EXPECT_EQ(L"Quorin.clsMachine", qt::Text(source.get()));
    ExpectRecordsHeldOnlyByCollection(1);
}

TEST_F(Download, FailingDisconnectOnTheNormalPathIsDisconnectedAgainByTheHandler) {
    clock_->At(1, 5);
    clock_->Fail(clocksim::kDisconnect, E_FAIL, L"busy", 0);
    Outcome o = Run(1, 5);
    ExpectEndedInHandler(o, L"5");
    EXPECT_EQ((std::vector<DISPID>{2, 38, 8, 25, 36, 40, 40}), Dispids());
}

TEST_F(Download, EveryFailingStepEndsInHandler) {
    struct Case {
        const char* what;
        void (*inject)(clocksim::Scenario&);
        long kept;  // records in cdata afterwards
    };
    const Case cases[] = {
        {"SerialPort fails", [](clocksim::Scenario& s) { s.Fail(clocksim::kSerialPort, E_FAIL); },
         0},
        {"ConnectSerial fails",
         [](clocksim::Scenario& s) {
             s.Fail(clocksim::kConnectSerial, DISP_E_EXCEPTION, L"no port");
         },
         0},
        {"second NextLogRecord fails",
         [](clocksim::Scenario& s) { s.Fail(clocksim::kNextLogRecord, E_FAIL, L"", 1); }, 1},
        {"AfterLogRead fails",
         [](clocksim::Scenario& s) { s.Fail(clocksim::kAfterLogRead, E_FAIL); }, 2},
        {"StartLogRead answers no Boolean",
         [](clocksim::Scenario& s) {
             s.SetResult(clocksim::kStartLogRead, *Variant::Text(L"perhaps").get());
         },
         0},
        {"NextLogRecord answers Null",
         [](clocksim::Scenario& s) {
             s.SetResult(clocksim::kNextLogRecord, *Variant::Null().get());
         },
         0},
        {"second record cannot be created",
         [](clocksim::Scenario&) { PeltFailCreate(1, E_OUTOFMEMORY); }, 1},
        {"second PersonNo put fails",
         [](clocksim::Scenario&) { PeltFailPut(L"PersonNo", 1, E_INVALIDARG, L"bad"); }, 1},
        {"second SwipeTime put fails",
         [](clocksim::Scenario&) { PeltFailPut(L"SwipeTime", 1, E_FAIL, nullptr); }, 1},
        {"second Add fails", [](clocksim::Scenario&) { VbCollectionFailAddAfter(1, E_FAIL); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qt::FreshClock();
        PeltReset();
        VbCollectionFailAddAfter(-1, S_OK);
        cdata_ = qt::NewCollection();
        clock_->At(6, 12).log = {Swipe(1, 2008, 1, 1, 0, 0), Swipe(2, 2008, 1, 1, 0, 1)};
        c.inject(*clock_);
        Outcome o = Run(6, 12);
        ExpectEndedInHandler(o, L"12");
        EXPECT_EQ(1, static_cast<int>(clock_->CallsOf(clocksim::kDisconnect).size()));
        EXPECT_EQ(c.kept, qt::CountOf(cdata_.get()));
        ExpectRecordsHeldOnlyByCollection(c.kept);
    }
}

TEST_F(Download, CdataReferringToNoCollection) {
    cdata_.reset();
    clock_->At(1, 5).log = {Swipe(1, 2008, 1, 1, 0, 0)};
    Outcome o = Run(1, 5);
    ExpectEndedInHandler(o, L"5");
    EXPECT_EQ((std::vector<DISPID>{2, 38, 8, 25, 40}), Dispids());
    EXPECT_EQ(0, PeltLiveRecords()) << "the record that found no collection is released";

    // Nothing to append, nothing fails.
    qt::FreshClock();
    o = Run(1, 5);
    EXPECT_EQ(VARIANT_TRUE, o.result);
    EXPECT_EQ(L"", o.msg);
}

TEST_F(Download, BlnPortAndStrIpHaveNoEffect) {
    struct {
        VARIANT_BOOL blnPort;
        const wchar_t* ip;
    } const inputs[] = {
        {VARIANT_TRUE, L""}, {VARIANT_FALSE, L"192.168.1.20"}, {1, nullptr}, {0, L"not an ip"}};
    std::string firstTrace;
    for (const auto& in : inputs) {
        qt::FreshClock();
        cdata_ = qt::NewCollection();
        clock_->At(2, 3).log = {Swipe(11, 2009, 9, 9, 9, 9), Swipe(12, 2009, 9, 9, 9, 10)};
        Outcome o = Run(2, 3, in.blnPort, in.ip);
        EXPECT_EQ(VARIANT_TRUE, o.result);
        EXPECT_EQ(L"", o.msg);
        EXPECT_EQ(2, qt::CountOf(cdata_.get()));
        EXPECT_EQ(12, CardAt(2).person);
        if (firstTrace.empty()) firstTrace = Trace();
        EXPECT_EQ(firstTrace, Trace());
    }
}

// The host's own message loop must still see a quit that the yield met, with its exit code.
TEST_F(Download, YieldPutsAQuitItMetBackWithItsExitCode) {
    clock_->At(1, 5).log = {Swipe(5, 2011, 11, 11, 11, 11)};
    PostQuitMessage(42);
    Outcome o = Run(1, 5);
    EXPECT_EQ(VARIANT_TRUE, o.result);
    EXPECT_EQ(1, qt::CountOf(cdata_.get()));
    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(42u, msg.wParam);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(Download, DefaultInterfaceReachesTheSameOperation) {
    clock_->At(1, 5).log = {Swipe(5, 2011, 11, 11, 11, 11)};
    ComPtr<_clsMachine> def = qt::DefaultInterface(driver_.get());
    Bstr msg(L"earlier");
    _Collection* cdata = cdata_.get();
    VARIANT_BOOL result = VARIANT_FALSE;
    EXPECT_EQ(S_OK, def->IMachine_DownloadCarddata(VARIANT_TRUE, nullptr, 1, 5, &cdata, msg.inout(),
                                                   &result));
    EXPECT_EQ(VARIANT_TRUE, result);
    EXPECT_EQ(0u, msg.length());
    EXPECT_EQ(cdata_.get(), cdata);
    EXPECT_EQ((std::vector<DISPID>{2, 38, 8, 25, 25, 36, 40}), Dispids());
    EXPECT_EQ(5, CardAt(1).person);
}

}  // namespace
