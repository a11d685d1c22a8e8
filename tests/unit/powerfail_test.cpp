// The power-fail shutdown decision: which cause holds, in which order, and
// how the outage is followed through silent cycles.
#include "daemon/core/powerfail.h"

#include <gtest/gtest.h>

#include <vector>

#include "daemon/core/cycle_facts.h"

namespace tornax {
namespace {

TEST(PowerfailCauseTest, EachCauseWhenItsSettingAndTheOutageSaySo) {
  using C = ShutdownCause;
  Settings config;
  config.powerfail_timeout = 300;
  config.silent_shutdown = 60;
  struct Case {
    unsigned int count, lowbatt;
    bool on_battery;
    unsigned int silent;
    C cause;
  } cases[] = {
      {0, 0, false, 0, C::none},
      {299, 0, true, 59, C::none},
      {300, 0, true, 0, C::timeout_on_battery},
      {301, 0, true, 0, C::timeout_on_battery},  // stepped over it
      {900, 0, false, 0, C::none},               // a count left over while on mains
      {10, 0, true, 60, C::silent_on_battery},
      {10, 0, false, 600, C::none},               // silent, but last seen on mains
      {400, 0, true, 70, C::timeout_on_battery},  // the timeout is named first
      {0, 1, false, 0, C::low_battery},           // low battery, whatever else
  };
  for (const Case &c : cases) {
    const PowerfailFacts facts{c.count, c.lowbatt, {c.on_battery, c.silent, {}, {}}};
    EXPECT_EQ(powerfail_cause(facts, config), c.cause) << c.count << " " << c.silent;
  }
  config.powerfail_timeout = config.silent_shutdown = 0;  // both off
  EXPECT_EQ(powerfail_cause({100000, 0, {true, 100000, {}, {}}}, config), C::none);
}

TEST(PowerfailCauseTest, FollowingTheOutage) {
  PowerState power;
  struct Step {
    int replies;
    char last_mark;
    bool counts;  // a silent cycle that counts as one more on battery
    bool on_battery;
    unsigned int silent;
  } steps[] = {
      {0, '\0', false, false, 1},  // silent from the start: nothing to count
      {8, '!', false, true, 0},   {0, '\0', true, true, 1},  {0, '\0', true, true, 2},
      {0, '!', false, true, 3},    // a mark left by a self-test is counted already
      {3, '\0', false, false, 0},  // heard, unmarked: mains
      {8, '*', false, true, 0},   {8, '$', false, false, 0},
  };
  for (const Step &s : steps) {
    EXPECT_EQ(follow_power(power, s.replies, s.last_mark), s.counts);
    EXPECT_EQ(power.on_battery, s.on_battery);
    EXPECT_EQ(power.silent_cycles, s.silent);
  }
  EXPECT_EQ(seconds_to_powerfail(300, 1, 30.0f), 299);
  EXPECT_EQ(seconds_to_powerfail(300, 300, 30.0f), 0);
  EXPECT_EQ(seconds_to_powerfail(120, 4000, 30.0f), 0);  // never wraps
  EXPECT_EQ(seconds_to_powerfail(0, 50, 30.9f), 1800);   // the UPS's whole minutes
  EXPECT_EQ(seconds_to_powerfail(0, 50, -2.0f), 0);
}

// Each step is one cycle: its last battery mark, its well-formed readings
// (runtime minutes, charge percent; negative: none), then the cause and the
// minutes the thresholds leave.
TEST(PowerfailCauseTest, ThresholdsTakeTwoReadingsOnBattery) {
  using C = ShutdownCause;
  Settings config;
  config.shutdown_runtime = 5 * 60;
  config.shutdown_charge = 20;
  struct Step {
    char mark;
    float runtime, charge;
    C cause;
    int left;  // -1: none
  } steps[] = {
      {'!', 10, 50, C::none, 5},             // 10 - 5 by the runtime, 6 by the charge
      {'!', 4, 50, C::none, 5},              // one low reading: the larger one still counts
      {'!', -1, -1, C::none, 5},             // no reading: the two before stay
      {'!', 4.5f, 50, C::runtime_below, 0},  // 4 and 4.5, both below 5
      {'$', 1, 1, C::none, -1},              // on mains nothing counts, and nothing is kept
      {'!', 20, 19, C::none, 0},             // the charge leaves nothing
      {'!', 20, 21, C::none, 0},
      {'!', 20, 19.5f, C::none, 0},  // 21 between: not twice in a row
      {'!', 20, 19, C::charge_below, 0},
  };
  PowerState power;
  for (const Step &s : steps) {
    follow_power(power, 8, s.mark);
    FreshReadings fresh;
    if (s.runtime >= 0) {
      fresh = {s.runtime, s.charge};
    }
    follow_readings(power, fresh);
    EXPECT_EQ(powerfail_cause({0, 0, power}, config), s.cause) << s.runtime << " " << s.charge;
    const std::optional<unsigned int> left = minutes_to_thresholds(power, config);
    EXPECT_EQ(left ? static_cast<int>(*left) : -1, s.left) << s.runtime << " " << s.charge;
  }
  config.powerfail_timeout = 60;  // the timeout reached too: it is named first
  EXPECT_EQ(powerfail_cause({60, 0, power}, config), C::timeout_on_battery);
  EXPECT_EQ(describe_cause(C::charge_below, {0, 0, power}, config),
            "Power-fail shutdown: on battery with the battery at 19% (19.5% the reading before), "
            "below SHUTDOWN_CHARGE (20%)");
  config.shutdown_charge = 0;
  EXPECT_EQ(powerfail_cause({0, 0, power}, config), C::none);
}

}  // namespace
}  // namespace tornax
