// The Qx framing (what counts as a reply), the readings taken from it, the
// event marks of the status bits, the charge estimate and the switch-off text.
#include "daemon/ups/qx_protocol.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tornax::qx {
namespace {

constexpr const char *good_status = "(208.4 140.0 208.4 034 59.9 2.05 35.0 00110000\r";

std::string status_with_bits(const char *bits) {
  return std::string("(230.0 230.0 230.0 040 50.0 13.6 25.0 ") + bits + "\r";
}

TEST(QxFraming, OnlyWellFormedStatusRepliesCount) {
  struct Case {
    std::string reply;
    bool accepted;
  } cases[] = {
      {good_status, true},
      {"(@@@.@ 140.0 208.4 034 59.9 2.05 35.0 00110000\r", true},    // absent reading
      {"(208.4 140.0 208.4 --- 59.9 2.05 --.- 00110000\r", true},    // the other filler
      {"(208.4 140.0 208.4 034 59.9 27.1 35.0 00110000\r", true},    // whole battery
      {"(208.4 140.0 208.4 034 59.9 2.05 35.0 00120000\r", false},   // a bit not 0/1
      {"#208.4 140.0 208.4 034 59.9 2.05 35.0 00110000\r", false},   // start byte
      {"(208.4 140.0 208.4 034 59.9 2.05 35.0 0011000\r", false},    // short
      {"(208.4 140.0 208.4 034 59.9 2.05 35.0 001100000\r", false},  // long
      {"(208.4 140.0 208.4 034 59.9 2.05 35.0 00110000\n", false},   // line end
      {"(208.4 140.0 208.4 034 59.9 2.05 35.0 00110000", false},     // cut short
      {"(208.4 140.0 208.4 034 59.9 2.05 35.0 00110000\r\n", false},
      {"(208.4,140.0 208.4 034 59.9 2.05 35.0 00110000\r", false},  // separator
      {"(2O8.4 140.0 208.4 034 59.9 2.05 35.0 00110000\r", false},  // a letter
      {"(208.4 140.0 208.4 0.4 59.9 2.05 35.0 00110000\r", false},  // a point out of place
      {"(208.4 140.0 208.4 034 59.9 2@05 35.0 00110000\r", false},  // filler among digits
      {"(NAK\r", false},
      {"Q1\r", false},  // an echo
      {"N\r", false},
      {"", false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(parse_status(c.reply).has_value(), c.accepted) << c.reply;
  }
}

TEST(QxFraming, StatusReadingsAndBits) {
  const std::optional<Status> s = parse_status(good_status);
  ASSERT_TRUE(s);
  EXPECT_DOUBLE_EQ(*s->input_voltage, 208.4);
  EXPECT_DOUBLE_EQ(*s->input_fault_voltage, 140.0);
  EXPECT_DOUBLE_EQ(*s->output_voltage, 208.4);
  EXPECT_DOUBLE_EQ(*s->load_percent, 34.0);
  EXPECT_DOUBLE_EQ(*s->frequency, 59.9);
  EXPECT_DOUBLE_EQ(*s->battery_voltage, 2.05);
  EXPECT_TRUE(s->battery_per_cell);
  EXPECT_DOUBLE_EQ(*s->temperature, 35.0);
  EXPECT_EQ(s->bits, bypass_active | ups_failed);

  const std::optional<Status> absent =
      parse_status("(@@@@@ 140.0 208.4 034 59.9 @@@@ 35.0 10000000\r");
  ASSERT_TRUE(absent);
  EXPECT_FALSE(absent->input_voltage);
  EXPECT_FALSE(absent->battery_voltage);
  EXPECT_FALSE(absent->battery_per_cell);
  EXPECT_TRUE(absent->has(utility_fail));

  const std::optional<Status> whole = parse_status(status_with_bits("00000000"));
  ASSERT_TRUE(whole);
  EXPECT_DOUBLE_EQ(*whole->battery_voltage, 13.6);
  EXPECT_FALSE(whole->battery_per_cell);
}

TEST(QxFraming, IdentityAndRatings) {
  // I's three fields padded to their widths, one blank between.
  const auto identity = [](std::string m, std::string model, std::string fw) {
    m.resize(15, ' ');
    model.resize(10, ' ');
    fw.resize(10, ' ');
    return "#" + m + " " + model + " " + fw + "\r";
  };
  const std::optional<Identity> id = parse_identity(identity("Brightline", "Volta 1000", "VT10.2"));
  ASSERT_TRUE(id);
  EXPECT_EQ(id->manufacturer, "Brightline");
  EXPECT_EQ(id->model, "Volta 1000");
  EXPECT_EQ(id->firmware, "VT10.2");
  const std::optional<Identity> filled =
      parse_identity(identity(std::string(15, '@'), "Volta", std::string(10, '@')));
  ASSERT_TRUE(filled);
  EXPECT_EQ(filled->manufacturer, "");
  EXPECT_EQ(filled->model, "Volta");
  const std::string good = identity("Brightline", "Volta 1000", "VT10.2");
  for (const std::string &bad :
       {good.substr(0, 37) + "\r", "(" + good.substr(1), good.substr(0, 16) + "x" + good.substr(17),
        identity("Bright\x01line", "Volta", "1"), std::string("I\r")}) {
    EXPECT_FALSE(parse_identity(bad)) << bad;
  }

  const std::optional<Ratings> r = parse_ratings("#220.0 004 24.00 50.0\r");
  ASSERT_TRUE(r);
  EXPECT_DOUBLE_EQ(*r->voltage, 220.0);
  EXPECT_DOUBLE_EQ(*r->current, 4.0);
  EXPECT_DOUBLE_EQ(*r->battery_voltage, 24.0);
  EXPECT_DOUBLE_EQ(*r->frequency, 50.0);
  const std::optional<Ratings> large = parse_ratings("#230.0 @@@ 192.0 50.0\r");
  ASSERT_TRUE(large);
  EXPECT_DOUBLE_EQ(*large->battery_voltage, 192.0);
  EXPECT_FALSE(large->current);
  for (const char *bad : {"#220.0 004 24.00 50.0", "#220.0 004 2400. 50.0\r",
                          "(220.0 004 24.00 50.0\r", "#220.0 004 24.00 50.0 \r"}) {
    EXPECT_FALSE(parse_ratings(bad)) << bad;
  }
}

TEST(QxEvents, BitsBecomeMarksOfAnsweredCycles) {
  struct Step {
    const char *bits;
    bool power_fail, power_back, low_battery, logged_low_on_mains;
  } steps[] = {
      {"00000000", false, false, false, false},
      {"01000100", false, false, false, true},   // low during a self-test on mains
      {"01000100", false, false, false, false},  // logged once
      {"00000000", false, false, false, false},
      {"10000000", true, false, false, false},
      {"11000000", true, false, true, false},
      {"11000000", true, false, true, false},
      {"01000000", false, true, false, true},  // mains back, the bit still set
      {"00000000", false, false, false, false},
      {"01000000", false, false, false, true},  // a new run is logged again
  };
  EventMapper mapper;
  for (const Step &step : steps) {
    const std::optional<Status> s = parse_status(status_with_bits(step.bits));
    ASSERT_TRUE(s) << step.bits;
    const Marks m = mapper.map(*s);
    EXPECT_EQ(m.power_fail, step.power_fail) << step.bits;
    EXPECT_EQ(m.power_back, step.power_back) << step.bits;
    EXPECT_EQ(m.low_battery, step.low_battery) << step.bits;
    EXPECT_EQ(m.low_battery_on_mains, step.logged_low_on_mains) << step.bits;
  }
}

TEST(QxBattery, ChargeEstimatedFromTheVoltage) {
  const auto status = [](const char *battery) {
    return *parse_status(std::string("(230.0 230.0 230.0 040 50.0 ") + battery +
                         " 25.0 00000000\r");
  };
  const BatteryRange unset;
  struct Case {
    const char *battery;
    std::optional<double> nominal;
    BatteryRange range;
    std::optional<double> percent;
  } cases[] = {
      {"2.15", 24.0, unset, 100.0},  // a full cell of twelve
      {"2.02", 24.0, unset, 48.0},   // (24.24 - 22.8) / (25.8 - 22.8)
      {"1.80", 24.0, unset, 0.0},    // held at the ends
      {"2.30", 24.0, unset, 100.0},
      {"12.9", 12.0, unset, 100.0},  // the whole battery
      {"12.1", 12.0, {11.0, 13.0}, 55.0},
      {"12.1", std::nullopt, {11.0, 13.0}, 55.0},   // configured: no cells needed
      {"12.1", std::nullopt, unset, std::nullopt},  // nothing to go on
      {"2.02", std::nullopt, {11.0, 13.0}, std::nullopt},
      {"@@@@", 24.0, unset, std::nullopt},
      {"12.1", 12.0, {13.0, 11.0}, std::nullopt},  // ends the wrong way round
  };
  for (const Case &c : cases) {
    const std::optional<double> got = estimate_charge(status(c.battery), c.nominal, c.range);
    ASSERT_EQ(got.has_value(), c.percent.has_value()) << c.battery;
    if (got) {
      EXPECT_NEAR(*got, *c.percent, 0.01) << c.battery;
    }
  }
}

TEST(QxCommands, SwitchOffText) {
  struct Case {
    long delay_seconds, restart_minutes;
    const char *bytes;
    bool clamped;
  } cases[] = {
      {30, 3, "S.5R0003\r", false},   {54, 3, "S.9R0003\r", false},
      {55, 3, "S01R0003\r", false},   {60, 3, "S01R0003\r", false},
      {61, 3, "S02R0003\r", false},   {0, 3, "S.2R0003\r", false},
      {7, 3, "S.2R0003\r", false},    {13, 3, "S.3R0003\r", false},
      {-5, 3, "S.2R0003\r", false},   {600, 3, "S10R0003\r", false},
      {601, 3, "S10R0003\r", true},   {100000, 3, "S10R0003\r", true},
      {30, 0, "S.5R0003\r", false},   {30, 2, "S.5R0003\r", false},
      {30, 120, "S.5R0120\r", false}, {30, 20000, "S.5R9999\r", false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(switch_off_command(c.delay_seconds, c.restart_minutes), c.bytes)
        << c.delay_seconds << " s, " << c.restart_minutes << " min";
    EXPECT_EQ(delay_text(c.delay_seconds).clamped, c.clamped) << c.delay_seconds;
  }
}

TEST(QxCommands, SelfTestResultFromTheBitsAfterIt) {
  EXPECT_STREQ(self_test_result(*parse_status(status_with_bits("00000100"))), "IP");
  EXPECT_STREQ(self_test_result(*parse_status(status_with_bits("00010000"))), "NG");
  EXPECT_STREQ(self_test_result(*parse_status(status_with_bits("01000000"))), "OK");
}

}  // namespace
}  // namespace tornax::qx
