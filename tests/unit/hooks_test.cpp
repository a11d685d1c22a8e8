// Event hooks through the recording spawner: which run, what they are told,
// how their ends are logged, the limit on hooks at once, the time-out and
// the shutdown's turn. No program is started here.
#include "daemon/report/hooks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/core/util.h"
#include "tests/kit/files.h"
#include "tests/support/daemon_state.h"
#include "tests/support/recording_host.h"
#include "tests/support/recording_spawner.h"
#include "tornax.h"

namespace tornax {
namespace {

using Clock = HookRunner::Clock;
using std::chrono::seconds;

class HookRunnerTest : public test::DaemonStateTest {
 protected:
  void SetUp() override {
    DaemonStateTest::SetUp();
    std::snprintf(log_filename, sizeof log_filename, "%s", dir.file("tornax.log").c_str());
    runner.use(spawner);
  }
  // A hook file owned by the user running the tests (root in the test command).
  std::string hook(const std::string &name, int mode = 0755) const {
    return dir.write(name, "#!/bin/sh\n", mode);
  }
  // The log's entries without their time stamps.
  std::vector<std::string> log() const {
    std::vector<std::string> lines;
    const std::string text = test::read_file(dir.file("tornax.log"));
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = text.find('\n', at);
      const std::string line = text.substr(at, end - at);
      lines.push_back(line.substr(line.find(" : ") + 3, line.size() - line.find(" : ") - 4));
      at = end + 1;
    }
    return lines;
  }

  test::TempDir dir;
  test::RecordingSpawner spawner;
  HookRunner runner;
  Clock::time_point t0 = Clock::now();
};

TEST_F(HookRunnerTest, TheHookOfEachEventThatBeginsRunsOnce) {
  settings.exec[POWERFAIL] = hook("powerfail");
  settings.exec[COMM_ERROR] = hook("comm");
  settings.exec[LOWBATT] = hook("low");
  status[POWERFAIL] = 1;
  status[COMM_ERROR] = 2;  // began a cycle ago
  status[LOWBATT] = 1;
  status_stalled[LOWBATT] = true;  // a count held at 1 is no new event
  runner.after_cycle(t0, 0);
  ASSERT_EQ(spawner.spawns.size(), 1u);
  EXPECT_EQ(spawner.spawns[0].path, *settings.exec[POWERFAIL]);
  EXPECT_EQ(spawner.spawns[0].environment[1], "TORNAX_EVENT=POWERFAIL");
  status[POWERFAIL] = 2;
  runner.after_cycle(t0 + seconds(1), 1);
  EXPECT_EQ(spawner.spawns.size(), 1u);
  EXPECT_EQ(runner.running(), 1u);
}

// Each way a run can go wrong is logged once, for that run; a run that ends
// well says nothing.
TEST_F(HookRunnerTest, FailuresAreLoggedOnceForTheRunTheyEnd) {
  const std::string good = hook("good");
  const std::string label = "POWERRETURN_EXEC ";
  const struct {
    std::string path;
    int spawn_error, wait_status;  // wait_status -1: not started
    std::string logged;            // empty: nothing
  } cases[] = {
      {good, 0, 0, ""},
      {good, 0, 3 << 8, label + good + " failed: exit status 3"},
      {good, 0, SIGSEGV, label + good + " failed: ended by signal 11 (Segmentation fault)"},
      {dir.file("missing"), 0, -1,
       label + dir.file("missing") + " not run: No such file or directory"},
      {hook("group", 0775), 0, -1,
       label + dir.file("group") +
           " not run: writable by group or others (mode 0775); it must be owned by root and "
           "not writable by group or others"},
      {hook("plain", 0644), 0, -1, label + dir.file("plain") + " not run: not an executable file"},
      {dir.path(), 0, -1, label + dir.path() + " not run: not an executable file"},
      {good, EACCES, -1, label + good + " not run: Permission denied"},
  };
  for (const auto &c : cases) {
    std::remove(dir.file("tornax.log").c_str());
    spawner.spawn_error = c.spawn_error;
    settings.exec[POWERRETURN] = c.path;
    runner.start(POWERRETURN, t0, 0);
    if (c.wait_status >= 0) {
      ASSERT_EQ(runner.running(), 1u) << c.logged;
      spawner.ended[spawner.spawns.back().pid] = c.wait_status;
    }
    runner.supervise(t0 + seconds(1));
    runner.supervise(t0 + seconds(2));
    EXPECT_EQ(runner.running(), 0u);
    const std::vector<std::string> logged = {c.logged};
    EXPECT_EQ(log(), c.logged.empty() ? std::vector<std::string>() : logged);
  }
}

TEST_F(HookRunnerTest, AtMostFourAtOnceAndEachKilledAtItsTimeOut) {
  settings.exec[COMM_CONNECT] = hook("connect");
  settings.exec_timeout = 30;
  for (int i = 0; i < 6; ++i) {
    runner.start(COMM_CONNECT, t0, 0);
  }
  EXPECT_EQ(spawner.spawns.size(), max_running_hooks);
  EXPECT_EQ(runner.waiting(), 2u);

  spawner.ended[spawner.spawns[0].pid] = 0;  // the first ends: the fifth starts
  runner.after_cycle(t0 + seconds(10), 10);
  EXPECT_EQ(spawner.spawns.size(), 5u);
  EXPECT_EQ(runner.waiting(), 1u);

  runner.after_cycle(t0 + seconds(30), 30);  // three reach their time-out, the sixth starts
  EXPECT_EQ(spawner.killed, (std::vector<pid_t>{1001, 1002, 1003}));
  EXPECT_EQ(spawner.spawns.size(), 6u);
  EXPECT_EQ(runner.running(), 2u);
  const std::string killed =
      "COMM_CONNECT_EXEC " + *settings.exec[COMM_CONNECT] + " killed after EXEC_TIMEOUT (30 s)";
  EXPECT_EQ(log(), (std::vector<std::string>{killed, killed, killed}));
  runner.after_cycle(t0 + seconds(31), 31);  // the killed are reaped without a word
  EXPECT_EQ(log().size(), 3u);
}

// A hook that started a job and exited leaves its group behind: the group
// ends at the hook's time-out, or at the shutdown, whichever comes first.
TEST_F(HookRunnerTest, WhatAnEndedHookLeftEndsAtItsTimeOutOrTheShutdown) {
  settings.exec[POWERFAIL] = hook("powerfail");
  settings.exec_timeout = 30;
  const std::string label = "POWERFAIL_EXEC " + *settings.exec[POWERFAIL];
  runner.start(POWERFAIL, t0, 0);
  runner.start(POWERFAIL, t0, 0);
  for (const auto &spawn : spawner.spawns) {
    spawner.ended[spawn.pid] = 0;
    spawner.leftovers.insert(spawn.pid);
  }
  runner.supervise(t0 + seconds(29));
  EXPECT_EQ(runner.running(), 0u);
  EXPECT_TRUE(spawner.killed.empty());
  EXPECT_EQ(spawner.ended.size(), 2u) << "kept unreaped, so their group ids stay theirs";

  spawner.leftovers.erase(1001);  // its job ended by itself: reaped, nothing killed
  runner.supervise(t0 + seconds(29));
  EXPECT_EQ(spawner.ended.count(1001), 0u);
  runner.supervise(t0 + seconds(30));
  EXPECT_EQ(spawner.killed, std::vector<pid_t>{1000});
  EXPECT_TRUE(spawner.ended.empty());
  EXPECT_EQ(log(), std::vector<std::string>{
                       label + " left processes behind: killed after EXEC_TIMEOUT (30 s)"});

  runner.start(POWERFAIL, t0, 0);
  spawner.ended[1002] = 0;
  spawner.leftovers.insert(1002);
  runner.supervise(t0 + seconds(1));
  test::RecordingHost host;
  runner.end_for_shutdown(host, true);
  EXPECT_EQ(spawner.killed, (std::vector<pid_t>{1000, 1002}));
  EXPECT_EQ(log().back(), label + " left processes behind: killed: the shutdown goes on");
}

TEST_F(HookRunnerTest, AShutdownGivesHooksTheScriptsTurnAndNoMore) {
  settings.exec[POWERFAIL_DOWN] = hook("down");
  const std::string label = "POWERFAIL_DOWN_EXEC " + *settings.exec[POWERFAIL_DOWN];
  for (const bool script_ran : {true, false}) {
    std::remove(dir.file("tornax.log").c_str());
    spawner.killed.clear();
    for (std::size_t i = 0; i < max_running_hooks + 1; ++i) {
      runner.start(POWERFAIL_DOWN, t0, 0);
    }
    test::RecordingHost host;
    runner.end_for_shutdown(host, script_ran);
    // Without a script, the hooks get the pause the script would have had.
    const std::vector<std::string> pauses = {"pause 1", "pause 1"};
    EXPECT_EQ(host.actions, script_ran ? std::vector<std::string>() : pauses);
    EXPECT_EQ(spawner.killed.size(), max_running_hooks);
    EXPECT_EQ(runner.running() + runner.waiting(), 0u);
    const std::vector<std::string> lines = log();
    ASSERT_EQ(lines.size(), max_running_hooks + 1);
    EXPECT_EQ(lines.front(), label + " killed: the shutdown goes on");
    EXPECT_EQ(lines.back(), label + " not run: the shutdown goes on");
  }
  test::RecordingHost host;  // nothing running: no pause
  runner.end_for_shutdown(host, false);
  EXPECT_TRUE(host.actions.empty());
}

TEST(HookEnvironmentTest, CarriesTheEventTheStateAndTheUpsMadeSafe) {
  test::reset_daemon_state();
  test::use_utc_time_zone();
  test::set_readings(
      {.line = 0, .output = 229.5f, .charge = 87, .load = 40, .frequency = 50, .current = 1.5f});
  ups_backuptime = 26.0f;
  remain_time = 21;
  ext_status = ext_powerfail | ext_comm_error;
  std::snprintf(ups_version, sizeof ups_version, "%s", "TXSIM-1 \"Sim\"\n$(x) `y`\x7f");
  settings.ups_location = "rack 3; rm -rf /";
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(hook_environment(POWERFAIL, 1796812215),
            (std::vector<std::string>{
                "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                "TORNAX_EVENT=POWERFAIL",
                "TORNAX_MESSAGE=Power fail detected",
                "TORNAX_TIME=2026-12-09T10:30:15+0000",
                "TORNAX_STATUS=3",
                "TORNAX_LINE_VOLTAGE=0",
                "TORNAX_OUTPUT_VOLTAGE=229.5",
                "TORNAX_BATTERY_CHARGE=87",
                "TORNAX_LOAD=40",
                "TORNAX_FREQUENCY=50",
                "TORNAX_LOAD_CURRENT=1.5",
                "TORNAX_BACKUP_TIME=26",
                "TORNAX_REMAIN_MINUTES=21",
                "TORNAX_UPS=TXSIM-1 ?Sim??"
                "?(x) ?y??",
                "TORNAX_LOCATION=rack 3; rm -rf /",
                "TORNAX_HOST=" + hook_safe_text(host),
            }));
  EXPECT_EQ(hook_environment(OVERLOAD, 0)[2], "TORNAX_MESSAGE=UPS overload");
}

}  // namespace
}  // namespace tornax
