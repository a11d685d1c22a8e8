// The main loop between cycles: wake-ups, the reload with its extra cycle, the
// stop, a due shutdown handed to the host actions, and what the service
// manager hears of each.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <deque>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "daemon/core/monitor.h"
#include "daemon/core/util.h"
#include "daemon/ups/classic.h"
#include "daemon/ups/driver.h"
#include "tests/support/daemon_home.h"
#include "tests/support/recording_host.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/sim_fixture.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::read_file;

class ScriptedWakeSource final : public WakeSource {
 public:
  explicit ScriptedWakeSource(std::deque<Wakeup> script) : script_(std::move(script)) {}
  Wakeup wait() override {
    if (script_.empty()) {
      return Wakeup::stop;
    }
    const Wakeup next = script_.front();
    script_.pop_front();
    return next;
  }

 private:
  std::deque<Wakeup> script_;
};

class MonitorLoopTest : public test::SimulatedUpsTest {
 protected:
  void SetUp() override {
    SimulatedUpsTest::SetUp();
    home.configure(sim.slave_path());
    std::snprintf(log_filename, sizeof log_filename, "%s", home.file("tornax.log").c_str());
    std::snprintf(config_filename, sizeof config_filename, "%s", home.file("tornax.conf").c_str());
    std::snprintf(pid_filename, sizeof pid_filename, "%s", home.pid_file().c_str());
    std::snprintf(dir_prefix, sizeof dir_prefix, "%s", home.path().c_str());
    home.dir.write("tornax.pid", "1\n");
  }
  std::size_t cycles() const {
    std::size_t count = 0;
    for (const ReceivedCommand &command : sim.received()) {
      count += command.bytes == "L\n";
    }
    return count;
  }

  int loop(WakeSource &wake) { return monitor_loop(state, host, wake, reports); }

  test::DaemonHome home;
  test::RecordingHost host;
  test::RecordingNotifier notifier;
  ServiceReports reports{notifier};
  MonitorState state;
};

// The monotonic time of a RELOADING=1 message differs from run to run.
std::vector<std::string> without_times(std::vector<std::string> messages) {
  for (std::string &message : messages) {
    message = message.substr(0, message.find("\nMONOTONIC_USEC="));
  }
  return messages;
}

TEST_F(MonitorLoopTest, EveryWakeUpRunsACycleAndAReloadIsFollowedByOne) {
  ScriptedWakeSource wake({Wakeup::tick, Wakeup::reload, Wakeup::tick, Wakeup::stop});
  sim.clear_received();
  testing::internal::CaptureStderr();
  EXPECT_EQ(loop(wake), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Brenmoor Tornax X : Reinitial configuration\n");
  EXPECT_EQ(cycles(), 4u);  // the first, then one per tick and one after the reload
  EXPECT_EQ(without_times(notifier.messages),
            (std::vector<std::string>{
                "WATCHDOG=1\nREADY=1\nSTATUS=on line, battery 100%, 30 min left, 0 clients",
                "WATCHDOG=1", "RELOADING=1", "READY=1", "WATCHDOG=1", "WATCHDOG=1", "STOPPING=1"}));
  const std::string log = home.log();
  EXPECT_NE(log.find(" : Reinitialize configuration \n"), std::string::npos);
  EXPECT_EQ(log.substr(log.rfind(" : ")), " : *** Daemon stopped *** \n");
  EXPECT_FALSE(test::file_exists(home.pid_file()));
  EXPECT_TRUE(host.actions.empty());
}

TEST_F(MonitorLoopTest, BrokenReloadKeepsTheSettingsAndTheLoopGoingOn) {
  settings.powerfail_timeout = 120;
  home.dir.write("tornax.conf", "LOGSIZE\n");
  ScriptedWakeSource wake({Wakeup::reload, Wakeup::tick, Wakeup::stop});
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(loop(wake), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Brenmoor Tornax X : Configuration Error! line 2: syntax error \n");
  EXPECT_EQ(settings.powerfail_timeout, 120u);
  // The reason reaches the log too: a detached daemon's standard output goes nowhere.
  EXPECT_NE(home.log().find(" : Configuration Error! line 2: syntax error \n"), std::string::npos);
  EXPECT_NE(home.log().find("Reading the configuration failed; the previous configuration stays "
                            "in force"),
            std::string::npos);
}

// A schedule the file no longer names stays in force, as it always did, but
// the log now says so; SHUTDOWN NONE ends it.
TEST_F(MonitorLoopTest, AReloadThatNamesNoScheduleSaysTheOldOneStays) {
  const std::string note =
      "The configuration names no shutdown schedule; the one in force stays "
      "(SHUTDOWN NONE ends it)";
  settings.shutdown_schedule_mode = schedule_daily;
  ScriptedWakeSource keep({Wakeup::reload, Wakeup::stop});
  testing::internal::CaptureStderr();
  loop(keep);
  EXPECT_EQ(settings.shutdown_schedule_mode, schedule_daily);
  EXPECT_NE(home.log().find(note), std::string::npos) << home.log();

  home.configure(sim.slave_path(), "SHUTDOWN NONE\n");
  std::remove(home.file("tornax.log").c_str());
  ScriptedWakeSource end({Wakeup::reload, Wakeup::stop});
  loop(end);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(settings.shutdown_schedule_mode, schedule_none);
  EXPECT_EQ(home.log().find(note), std::string::npos) << home.log();
}

TEST_F(MonitorLoopTest, DueShutdownRunsTheSequenceOnTheHost) {
  sim.force_mark('*');
  ScriptedWakeSource wake({Wakeup::tick});  // low battery counts in the second cycle
  EXPECT_EXIT(loop(wake), testing::ExitedWithCode(0), "The system is halted");
}

TEST_F(MonitorLoopTest, UnsafeConfigurationIsNotReadOnReload) {
  settings.powerfail_timeout = 120;
  home.configure(sim.slave_path(), "BACKUPTIME 5\n");
  ASSERT_EQ(chmod(config_filename, 0666), 0);
  ScriptedWakeSource wake({Wakeup::reload, Wakeup::stop});
  testing::internal::CaptureStderr();
  EXPECT_EQ(loop(wake), 0);
  const std::string refusal = std::string("Refusing ") + config_filename +
                              ": writable by group or others (mode 0666); it must be owned by "
                              "root and not writable by group or others";
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Brenmoor Tornax X : Reinitial configuration\nBrenmoor Tornax X : " + refusal + "\n");
  EXPECT_EQ(settings.powerfail_timeout, 120u);
  EXPECT_NE(home.log().find(" : " + refusal + " \n"), std::string::npos) << home.log();
  EXPECT_NE(home.log().find("the previous configuration stays in force"), std::string::npos);
}

TEST_F(MonitorLoopTest, ReloadThatChangesTheProtocolKeepsTheDriverUntilTheNextStart) {
  UpsDriver other = classic_driver();
  other.name = "other";
  use_ups_driver(other);
  home.configure(sim.slave_path(), "");
  ScriptedWakeSource wake({Wakeup::reload, Wakeup::stop});
  EXPECT_EQ(loop(wake), 0);
  EXPECT_EQ(settings.ups_protocol, "classic");
  EXPECT_STREQ(ups_driver().name, "other");
  EXPECT_NE(home.log().find("UPS_PROTOCOL classic applies at the next start; the other driver "
                            "stays in use"),
            std::string::npos)
      << home.log();
}

TEST(SignalWakeSourceTest, SignalsBecomeWakeUps) {
  SignalWakeSource wake;
  std::raise(SIGHUP);
  EXPECT_EQ(wake.wait(), Wakeup::reload);
  EXPECT_EQ(wake.wait(), Wakeup::tick);  // the one-second alarm
  std::raise(SIGHUP);
  std::raise(SIGTERM);
  EXPECT_EQ(wake.wait(), Wakeup::stop);  // a stop wins over a reload
  alarm(0);
}

}  // namespace
}  // namespace tornax
