// What the tests of the operations on a recordset (backup, restore) share: a fresh simulated clock
// with devices answering at the given addresses, a driver, our recordset standing in for the
// host's, and the check that a call, whichever way it went, kept no reference of its own.
#pragma once

#include <set>
#include <string>
#include <utility>

#include "standins/recordset/recordset.h"
#include "tests/support.h"

namespace qt {

class RecordsetOperation : public testing::Test {
  protected:
    explicit RecordsetOperation(std::set<clocksim::Address> answering)
        : answering_(std::move(answering)) {}

    void SetUp() override {
        clock = &FreshClock();
        clock->answering = answering_;
        driver = CreateDriver();
        ASSERT_TRUE(driver);
        rs = RecordsetStandin::Create();
        driverRefs = RefCount(driver.get());
    }
    void TearDown() override {
        EXPECT_EQ(driverRefs, RefCount(driver.get()));
        EXPECT_EQ(1u, RefCount(static_cast<_ADORecordset*>(rs.get())));
        EXPECT_EQ(0, RecordsetStandin::LiveChildren());
    }

    std::string Device() { return CallTrace(clock->calls); }

    clocksim::Scenario* clock = nullptr;
    ComPtr<IMachine> driver;
    ComPtr<RecordsetStandin> rs;
    ULONG driverRefs = 0;

  private:
    std::set<clocksim::Address> answering_;
};

}  // namespace qt
