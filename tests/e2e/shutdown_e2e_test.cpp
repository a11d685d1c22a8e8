// The whole power-fail shutdown with the real tornax program in the sandbox: a
// low-battery mark from the simulated UPS runs the shutdown script, removes
// the pid file, signals every process of the sandbox, turns swap off and
// unmounts through the sandbox's stubs, switches the UPS off when asked, and
// halts, which ends the sandbox; for the classic protocol and for Qx.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/sandboxed_daemon.h"

namespace tornax::test {
namespace {

const auto sequence_limit = std::chrono::seconds(90);

// What the daemon writes on standard error from the shutdown on.
std::string sequence_messages(bool script, bool turnoff) {
  std::string text;
  if (script) {
    text += daemon_title + "Execute shutdown script\n\n";
  }
  text += daemon_title + "sending all processes the TERM signal...\r\n\n";
  text += daemon_title + "Turning off swap\r\n\n";
  text += daemon_title + "Unmounting all file systems\r\n\n";
  if (turnoff) {
    text += daemon_title + "Turn off UPS\n";
  }
  return text + daemon_title + "The system is halted.\r\n\n";
}

// A handle on one process: a signal sent through it can only reach that
// process, even once its pid has been reused.
class ProcessHandle {
 public:
  explicit ProcessHandle(pid_t pid) : fd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
  ~ProcessHandle() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  ProcessHandle(const ProcessHandle &) = delete;
  ProcessHandle &operator=(const ProcessHandle &) = delete;

  bool valid() const { return fd_ >= 0; }
  // Fails once the process has ended.
  bool signal(int sig) const { return syscall(SYS_pidfd_send_signal, fd_, sig, nullptr, 0) == 0; }

 private:
  int fd_;
};

class ShutdownE2eTest : public SandboxedDaemonTest {
 protected:
  explicit ShutdownE2eTest(SimulatedUpsOptions ups = test_ups_options())
      : SandboxedDaemonTest(std::move(ups)) {}

  // A shutdown script that records that it ran and whether the pid file was
  // still there.
  void write_script(int mode) {
    home.dir.write("shutdown.sh",
                   "#!/bin/sh\n"
                   "if [ -e " +
                       home.pid_file() + " ]; then echo 'ran, pid file present'; " +
                       "else echo 'ran, pid file gone'; fi >> " + script_record() + "\n",
                   mode);
  }
  std::string script_record() const { return home.file("script.out"); }

  std::string detect_line() const {
    return "Detect TXSIM-1 Simline 1000VA (230V) on " + sim.slave_path() + "\n";
  }
  // Checks what every power-fail shutdown leaves behind, once the sandbox has
  // ended.
  void expect_whole_sequence(bool script, bool turnoff) {
    EXPECT_EQ(run->stderr_text(), detect_line() + sequence_messages(script, turnoff));
    EXPECT_EQ(run->stdout_text(), daemon_banner);
    EXPECT_EQ(run->actions(), "/sbin/swapoff -a\n/bin/umount -a -f\n");
    EXPECT_FALSE(test::file_exists(home.pid_file()));
    const std::string log = home.log();
    const std::size_t low = log.find("Low battary detected");
    ASSERT_NE(low, std::string::npos) << log;
    EXPECT_NE(log.find("Powerfail fail timeout, Server is shutdown", low), std::string::npos)
        << log;
    EXPECT_EQ(log.find("*** Daemon stopped ***"), std::string::npos) << log;
  }

  // Checks a power-fail shutdown that ended in the halt for the reason `why`,
  // logged before the sequence began.
  void expect_halted_because(const std::string &why) {
    EXPECT_EQ(run->wait(std::chrono::seconds(150)), halted) << run->stderr_text();
    EXPECT_EQ(run->stderr_text(), detect_line() + sequence_messages(false, false));
    EXPECT_EQ(run->actions(), "/sbin/swapoff -a\n/bin/umount -a -f\n");
    const std::string log = home.log();
    const std::size_t event = log.find("Powerfail fail timeout, Server is shutdown");
    ASSERT_NE(event, std::string::npos) << log;
    EXPECT_NE(log.find(" : " + why + " \n", event), std::string::npos) << log;
  }

  // How many times the simulated UPS has heard `query`.
  long times_heard(const std::string &query) const {
    const std::vector<ReceivedCommand> log = sim.received();
    return std::count_if(log.begin(), log.end(), [&](const auto &c) { return c.bytes == query; });
  }
  // Bytes that only look like replies (a wrong line speed, line noise, a
  // flood) for twenty status queries (a daemon that took a stray "*" for a
  // reply's mark would have halted long before), then a clean line: the
  // daemon reports the lost communication, finds the UPS again and has done
  // nothing to the host.
  void ride_out_line_noise(const std::string &status_query) {
    sim.set_garbage(true);
    sim.set_noise(3000);
    sim.set_flood(200);
    const long before = times_heard(status_query);
    ASSERT_TRUE(wait_until([&] { return times_heard(status_query) >= before + 20; },
                           std::chrono::seconds(90)));
    EXPECT_TRUE(run->running()) << run->stderr_text();
    EXPECT_TRUE(log_has(home, "Communication with UPS error")) << home.log();
    sim.clear_faults();
    EXPECT_TRUE(wait_for_log(home, "Establish communication with UPS")) << home.log();
    EXPECT_TRUE(run->running());
    EXPECT_EQ(run->actions(), "");
  }
};

TEST_F(ShutdownE2eTest, LowBatteryOnBatteryRunsTheScriptAndSwitchesTheUpsOff) {
  write_script(0755);
  const std::string modem = home.dir.write("modem", "");
  const std::string watcher_record = home.file("watcher.out");
  // A process beside the daemon that notes the TERM sent to every process.
  const std::string watcher = home.dir.write("watcher.sh",
                                             "#!/bin/sh\ntrap 'echo TERM >> " + watcher_record +
                                                 "; exit 0' TERM\nwhile :; do sleep 0.2; done\n",
                                             0755);
  home.configure(sim.slave_path(),
                 "BACKUPTIME 60\nTURNOFF_UPS yes\nUPS_SHUTDOWN_DELAY 20\n"
                 "MODEM_DEVICE " +
                     modem +
                     "\n"
                     "LOWBATT_PAGER yes \"battery low\"\n"
                     "POWERFAIL_DOWN_PAGER yes \"going down\"\n");
  ASSERT_NO_FATAL_FAILURE(start_daemon(
      {"sh", "-c", test::built_program("tornax") + " && exec " + watcher + " 2>/dev/null"}));

  sim.set_mains(false);
  ASSERT_TRUE(wait_for_log(home, "Power fail detected"));
  // Past the first count: a count held at 1 by replies that carry only the
  // low-battery mark would announce the power failure a second time.
  ASSERT_TRUE(sim.wait_for_received(sim.received_count() + 16, std::chrono::seconds(20)));
  sim.set_low_battery(true);
  EXPECT_EQ(run->wait(sequence_limit), halted) << run->stderr_text();

  expect_whole_sequence(true, true);
  EXPECT_EQ(read_file(script_record()), "ran, pid file present\n");
  EXPECT_EQ(read_file(watcher_record), "TERM\n");
  // Told and paged before the sequence began, low battery first.
  EXPECT_EQ(home.wall(), daemon_title + "POWERFAIL alert\n" + daemon_title +
                             "You have aproximate 1:0 Hour, before server shutdown.\n" +
                             daemon_title + "LOWBATT alert\n" + daemon_title +
                             "POWERFAIL_DOWN alert\n");
  EXPECT_EQ(read_file(modem), "battery low\ngoing down\n");
  // The switch-off is the last thing the UPS hears.
  const std::vector<std::string> expected = {test::padded_control("TD=20\n"),
                                             test::padded_control("D=0\n")};
  EXPECT_TRUE(wait_until([&] { return test::control_commands(sim) == expected; }))
      << testing::PrintToString(test::control_commands(sim));
  EXPECT_EQ(test::last_commands(sim, 2), expected);
}

// The mains come back while the host goes down: a switch-off of 0 would leave
// it dark for good, so the UPS is told the restart sleep instead.
TEST_F(ShutdownE2eTest, MainsBackByTheSwitchOffGetTheRestartSleep) {
  ASSERT_NO_FATAL_FAILURE(
      start_configured("TURNOFF_UPS yes\nUPS_SHUTDOWN_DELAY 20\nRESTART_SLEEP 4\n"));
  sim.set_mains(false);
  ASSERT_TRUE(wait_for_log(home, "Power fail detected"));
  sim.set_low_battery(true);
  ASSERT_TRUE(wait_for_log(home, "Powerfail fail timeout, Server is shutdown"));
  sim.set_mains(true);  // the sequence's pauses leave six seconds before the switch-off
  EXPECT_EQ(run->wait(sequence_limit), halted) << run->stderr_text();
  EXPECT_EQ(test::last_commands(sim, 3),
            (std::vector<std::string>{"L\n", test::padded_control("TD=20\n"),
                                      test::padded_control("D=4\n")}));
}

TEST_F(ShutdownE2eTest, LowBatteryAloneHaltsWithoutScriptOrUpsCommandAndIgnoresSignals) {
  write_script(0644);  // readable but not executable: skipped without a word
  ASSERT_NO_FATAL_FAILURE(start_configured("TURNOFF_UPS no\nUPS_SHUTDOWN_DELAY 20\n"));
  const ProcessHandle handle(daemon);
  ASSERT_TRUE(handle.valid()) << run->stderr_text();

  sim.set_low_battery(true);  // the first mark shuts down, with no timeout configured
  ASSERT_TRUE(wait_until(
      [&] { return run->stderr_text().find("sending all processes") != std::string::npos; },
      sequence_limit));
  // Past the point where the sequence ignores them: neither stops nor reloads.
  // On a loaded machine the sequence may be over before they are sent; what
  // matters is that it ends in the halt, whenever they arrive.
  handle.signal(SIGHUP);
  handle.signal(SIGTERM);
  EXPECT_EQ(run->wait(sequence_limit), halted) << run->stderr_text();

  expect_whole_sequence(false, false);
  EXPECT_FALSE(test::file_exists(script_record()));
  const std::string log = home.log();
  EXPECT_EQ(log.find("Power fail detected"), std::string::npos) << log;
  EXPECT_EQ(log.find("Reinitialize configuration"), std::string::npos) << log;
  EXPECT_TRUE(test::control_commands(sim).empty())
      << testing::PrintToString(test::control_commands(sim));
}

TEST_F(ShutdownE2eTest, LineNoiseNeverHaltsTheHost) {
  ASSERT_NO_FATAL_FAILURE(start_configured("BACKUPTIME 1\nSILENT_SHUTDOWN 1\n"));
  ASSERT_NO_FATAL_FAILURE(ride_out_line_noise("L\n"));
  EXPECT_FALSE(log_has(home, "Power-fail shutdown")) << home.log();
}

// A UPS last seen on battery that falls silent (cable pulled): the host goes
// down once it has been silent for SILENT_SHUTDOWN, long before BACKUPTIME.
TEST_F(ShutdownE2eTest, SilentUpsOnBatteryHaltsTheHost) {
  ASSERT_NO_FATAL_FAILURE(start_configured("BACKUPTIME 10\nSILENT_SHUTDOWN 1\n"));
  sim.set_mains(false);
  ASSERT_TRUE(wait_for_log(home, "Power fail detected")) << home.log();
  sim.set_silent(true);
  expect_halted_because(
      "Power-fail shutdown: the UPS has been silent for 60 s since it was last "
      "seen on battery, reaching SILENT_SHUTDOWN (60 s)");
}

// Two power-fail marks a cycle ("!" and "@") step the count over the timeout
// without ever meeting it: the host goes down all the same.
TEST_F(ShutdownE2eTest, CountSteppingOverTheTimeoutHaltsTheHost) {
  ASSERT_NO_FATAL_FAILURE(start_configured("BACKUPTIME 1\n"));
  sim.set_mains(false);
  ASSERT_TRUE(wait_for_log(home, "Power fail detected")) << home.log();
  sim.set_raw_reply("S5", "@NO\r\n");  // from now on 1, 3, 5, ... 59, 61
  expect_halted_because("Power-fail shutdown: on battery for 61 s, reaching BACKUPTIME (60 s)");
}

// ---- A Qx UPS -------------------------------------------------------------

SimulatedUpsOptions qx_ups_options() {
  SimulatedUpsOptions options = test_ups_options();
  options.protocol = SimProtocol::qx;
  return options;
}

class QxShutdownE2eTest : public ShutdownE2eTest {
 protected:
  QxShutdownE2eTest() : ShutdownE2eTest(qx_ups_options()) {}
};

TEST_F(QxShutdownE2eTest, OutageThenBatteryLowHaltsAndSwitchesTheUpsOff) {
  ASSERT_NO_FATAL_FAILURE(
      start_configured("UPS_PROTOCOL qx\nTURNOFF_UPS yes\nUPS_SHUTDOWN_DELAY 30\n"));
  sim.set_mains(false);
  ASSERT_TRUE(wait_for_log(home, "Power fail detected")) << home.log();
  sim.set_low_battery(true);
  EXPECT_EQ(run->wait(sequence_limit), halted) << run->stderr_text();

  EXPECT_EQ(run->stderr_text(), "Detect Simline QX (230V) on " + sim.slave_path() + "\n" +
                                    sequence_messages(false, true));
  EXPECT_EQ(run->actions(), "/sbin/swapoff -a\n/bin/umount -a -f\n");
  const std::string log = home.log();
  const std::size_t low = log.find("Low battary detected");
  ASSERT_NE(low, std::string::npos) << log;
  EXPECT_NE(log.find("Powerfail fail timeout, Server is shutdown", low), std::string::npos) << log;
  // The switch-off is the last thing the UPS hears, in its own words.
  EXPECT_TRUE(wait_until([&] { return test::last_commands(sim, 1).front() == "S.5R0003\r"; }))
      << testing::PrintToString(test::last_commands(sim, 3));
}

TEST_F(QxShutdownE2eTest, LineNoiseIsNeverAnEvent) {
  ASSERT_NO_FATAL_FAILURE(start_configured("UPS_PROTOCOL qx\nBACKUPTIME 1\nSILENT_SHUTDOWN 1\n"));
  ASSERT_TRUE(wait_until([&] { return times_heard("Q1\r") >= 2; })) << run->stderr_text();
  ASSERT_NO_FATAL_FAILURE(ride_out_line_noise("Q1\r"));
  EXPECT_FALSE(log_has(home, "Power fail detected")) << home.log();
  EXPECT_FALSE(log_has(home, "Low battary detected")) << home.log();
  ASSERT_NO_FATAL_FAILURE(stop_daemon());
}

}  // namespace
}  // namespace tornax::test
