// The Qx driver in the monitoring cycle, against the simulator's Qx mode on a
// pty: identification, the outage and its end, low battery on battery and on
// mains, replies that are not well formed, and the switch-off's bytes.
#include "daemon/ups/qx.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "daemon/core/clock.h"
#include "daemon/core/cycle_facts.h"
#include "daemon/core/monitor.h"
#include "daemon/core/timings.h"
#include "daemon/core/util.h"
#include "daemon/ups/driver.h"
#include "daemon/ups/line.h"
#include "tests/kit/files.h"
#include "tests/support/sim_fixture.h"
#include "tornax.h"

namespace tornax {
namespace {

using namespace std::chrono_literals;

SimulatedUpsOptions qx_options() {
  SimulatedUpsOptions options = test::test_ups_options();
  options.protocol = SimProtocol::qx;
  return options;
}

// A status a UPS on battery with its battery low would send, with every
// reading present.
constexpr const char *low_on_battery = "(000.0 000.0 230.0 040 50.0 1.95 25.0 11000000";

class QxDriverTest : public test::DaemonStateTest {
 protected:
  void SetUp() override {
    DaemonStateTest::SetUp();
    test::log_every_event_to(home.file("tornax.log"));
    set_sleep_function([](unsigned int) {});
    // Replies that never end in CR wait out the time-out: keep it short.
    timings.reply_timeout = 100ms;
    use_ups_driver(qx_driver());
    sim.start();
    serial_fd = ups_driver().open(sim.slave_path().c_str());
    ASSERT_GE(serial_fd, 0);
  }
  void TearDown() override {
    close(serial_fd);
    sim.stop();
    DaemonStateTest::TearDown();
  }
  ShutdownDue cycle() { return run_cycle(state); }
  std::string log() const { return test::read_file(home.file("tornax.log")); }
  std::vector<std::string> commands() const {
    std::vector<std::string> bytes;
    for (const ReceivedCommand &command : sim.received()) {
      bytes.push_back(command.bytes);
    }
    return bytes;
  }

  test::TempDir home;
  SimulatedUps sim{qx_options()};
  MonitorState state;
};

TEST_F(QxDriverTest, IdentifiesOnceWithIThenFAndPollsQ1EachCycle) {
  identify_ups(state);
  cycle();
  cycle();
  EXPECT_EQ(commands(), (std::vector<std::string>{"I\r", "F\r", "Q1\r", "Q1\r"}));
  EXPECT_STREQ(ups_version, "Simline QX");
  EXPECT_EQ(ups_mfr, "TXSIM");
  EXPECT_FLOAT_EQ(ups_linenormal, 230.0f);
  EXPECT_GT(state.byte_read, 0);
  EXPECT_FLOAT_EQ(ups_linevoltage, 230.5f);
  EXPECT_FLOAT_EQ(ups_invvoltage, 230.0f);
  EXPECT_FLOAT_EQ(ups_percentloadpower, 40.0f);
  EXPECT_FLOAT_EQ(ups_freq, 50.0f);
  EXPECT_FLOAT_EQ(ups_temp, 25.0f);
  EXPECT_NEAR(ups_percentbatt, 100.0f, 1.0f);  // estimated from the cells' voltage
  EXPECT_EQ(qx_driver().lacks(), lacks_runtime | lacks_load_current | charge_estimated);
  EXPECT_EQ(status[COMM_ERROR], 0u);
  EXPECT_EQ(log(), "");

  // Readings filled with "@" are absent, and said to be lacking.
  sim.set_reply("Q1", "(230.0 230.0 @@@.@ 040 @@.@ 2.15 @@.@ 00000000");
  cycle();
  EXPECT_GT(state.byte_read, 0);
  EXPECT_FLOAT_EQ(ups_temp, -1.0f);
  EXPECT_EQ(qx_driver().lacks() & (lacks_temperature | lacks_inverter_voltage | lacks_frequency),
            lacks_temperature | lacks_inverter_voltage | lacks_frequency);

  // A UPS that answers neither I nor F is still polled; without F the cells
  // of a per-cell reading are unknown, so no charge is estimated.
  sim.clear_reply("Q1");
  sim.set_qx_identifies(false);
  identify_ups(state);
  EXPECT_STREQ(ups_version, "");
  EXPECT_FLOAT_EQ(ups_linenormal, 0.0f);
  cycle();
  EXPECT_GT(state.byte_read, 0);
  EXPECT_FLOAT_EQ(ups_percentbatt, 0.0f);
}

TEST_F(QxDriverTest, EachCycleOnBatteryIsOnePowerFailAndTheClearedBitPowerBack) {
  cycle();
  sim.set_mains(false);
  for (unsigned int count = 1; count <= 3; ++count) {
    EXPECT_EQ(cycle().mode, 0);
    EXPECT_EQ(status[POWERFAIL], count);
  }
  EXPECT_NE(ext_status.load() & ext_powerfail, 0);
  // No runtime and no BACKUPTIME: remote hosts are told no end, not 0.
  EXPECT_EQ(remain_time, untold_time_left_seconds / 60);
  sim.set_mains(true);
  cycle();
  EXPECT_EQ(status[POWERFAIL], 0u);
  EXPECT_EQ(status[POWERRETURN], 1u);
  cycle();
  EXPECT_EQ(status[POWERRETURN], 0u);
  const std::string text = log();
  EXPECT_NE(text.find("Power fail detected"), std::string::npos) << text;
  EXPECT_NE(text.find("Power is return"), std::string::npos) << text;
}

TEST_F(QxDriverTest, BatteryLowShutsDownOnBatteryOnlyAndOnMainsIsLoggedOnce) {
  sim.set_low_battery(true);  // on mains: a self-test does this on some models
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(cycle().mode, 0);
  }
  EXPECT_EQ(status[LOWBATT], 0u);
  const std::string note = "UPS reports battery low while on mains";
  const std::string text = log();
  ASSERT_NE(text.find(note), std::string::npos) << text;
  EXPECT_EQ(text.find(note, text.find(note) + 1), std::string::npos) << text;

  sim.set_mains(false);
  sim.set_low_battery(true);
  EXPECT_EQ(cycle().mode, 0);  // a low-battery mark counts in the second cycle
  EXPECT_EQ(status[LOWBATT], 0u);
  const ShutdownDue due = cycle();
  EXPECT_EQ(status[LOWBATT], 1u);
  EXPECT_EQ(due.mode, POWERFAIL_DOWN);
  EXPECT_EQ(due.cause, ShutdownCause::low_battery);
}

// Each reply would be on battery with its battery low, were it well formed.
TEST_F(QxDriverTest, RepliesNotWellFormedAndNoiseAreNeverEvents) {
  const std::string low = low_on_battery;
  const std::vector<std::string> replies = {
      low + "0\r",                            // too long
      low.substr(0, low.size() - 1) + "\r",   // too short
      "#" + low.substr(1) + "\r",             // start byte
      low.substr(0, low.size() - 1) + "2\r",  // a bit not 0 or 1
      "\x15" + low + "\r",                    // a stray byte before it
      low,                                    // no CR
      "Q1\r",                                 // an echo
      "(NAK\r",
  };
  for (const std::string &reply : replies) {
    sim.set_raw_reply("Q1", reply);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(cycle().mode, 0) << reply;
    }
  }
  EXPECT_EQ(status[POWERFAIL], 0u);
  EXPECT_EQ(status[LOWBATT], 0u);
  EXPECT_EQ(status[COMM_ERROR], 3 * replies.size());

  sim.clear_reply("Q1");
  sim.set_noise(2000);
  sim.set_garbage(true);
  sim.set_fault_share(50);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(cycle().mode, 0);
  }
  EXPECT_EQ(status[POWERFAIL], 0u);
  EXPECT_EQ(status[LOWBATT], 0u);
  EXPECT_EQ(log().find("Power fail detected"), std::string::npos);
}

TEST_F(QxDriverTest, SwitchOffSendsTheDelayAndTheRestartTime) {
  const struct Case {
    SwitchOffRequest request;
    const char *bytes;
    long minutes;
  } cases[] = {
      {{30, 0, 3}, "S.5R0003\r", 3},  // a power fail: RESTART_SLEEP
      {{54, 0, 0}, "S.9R0003\r", 3},  // below 3 is sent as 3
      {{55, 0, 1}, "S01R0003\r", 3},       {{600, 0, 20}, "S10R0020\r", 20},
      {{3600, 0, 3}, "S10R0003\r", 3},    // clamped
      {{30, 120, 3}, "S.5R0120\r", 120},  // a scheduled shutdown's sleep
      {{5, 20000, 3}, "S.2R9999\r", 9999},
  };
  for (const Case &c : cases) {
    sim.clear_received();
    EXPECT_EQ(ups_driver().switch_off(serial_fd, c.request), c.minutes) << c.bytes;
    ASSERT_TRUE(sim.wait_for_received(1, 5s)) << c.bytes;
    EXPECT_EQ(commands(), std::vector<std::string>{c.bytes});
  }
}

TEST_F(QxDriverTest, SelfTestSendsTAndReadsTheFailedBit) {
  sim.clear_received();
  EXPECT_GT(ups_driver().self_test(serial_fd), 0);
  EXPECT_EQ(commands(), (std::vector<std::string>{"T\r", "Q1\r"}));
  EXPECT_STREQ(ups_teststatus, "OK");
  sim.set_test_status("NG");
  EXPECT_GT(ups_driver().self_test(serial_fd), 0);
  EXPECT_STREQ(ups_teststatus, "NG");
}

}  // namespace
}  // namespace tornax
