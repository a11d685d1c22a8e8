#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/reactions.h"
#include "client/status_line.h"
#include "tests/kit/files.h"
#include "tests/support/recording_alerts.h"
#include "tornax.h"

namespace tornax {
namespace {

using Lines = std::vector<std::string>;

// A status line as the daemon sends it, with the fields the rules read.
std::string line(unsigned int word, int remaining = 30, int schedule = -1) {
  char text[128];
  std::snprintf(text, sizeof text, "%x 230.0 230.0 100 20 50.0 1.2 %d -1 OK %d", word, remaining,
                schedule);
  return text;
}

class ReactionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = ClientState{};
    settings.shutdown_cmd = "record-shutdown";
  }
  // Parses and reacts to one line; returns what it sent and ran.
  Lines feed(const std::string &text) {
    actions.lines.clear();
    parse_status_line(text.c_str(), state.values);
    react(state, settings, actions);
    return actions.lines;
  }

  AlertSettings settings;
  ClientState state;
  test::RecordingAlerts actions;
};

const std::string powerfail_alert = "alert 2 Power fail detect";
const std::string lowbatt_shutdown = "alert 2 Low battery detect,shutdown executed";
const std::string timeout_shutdown = "alert 2 Power fail timeout,shutdown executed";
const std::string run = "run record-shutdown";

TEST_F(ReactionsTest, PowerFailAlertsEveryThirtyLinesAndPowerReturnOnce) {
  std::vector<int> alerted;
  for (int n = 1; n <= 75; ++n) {
    const Lines sent = feed(line(0x02));
    if (!sent.empty()) {
      EXPECT_EQ(sent, Lines{powerfail_alert});
      alerted.push_back(n);
    }
  }
  EXPECT_EQ(alerted, (std::vector<int>{1, 31, 61}));
  EXPECT_EQ(feed(line(0)), Lines{"alert 2 Power is return"});
  EXPECT_EQ(feed(line(0)), Lines{});
  EXPECT_EQ(feed(line(0x02)), Lines{powerfail_alert});  // a new failure starts over
}

TEST_F(ReactionsTest, PowerReturnWithoutAFailureSendsNothing) {
  EXPECT_EQ(feed(line(0)), Lines{});
  EXPECT_EQ(feed(line(0x01 | 0x04 | 0x10)), Lines{});
}

TEST_F(ReactionsTest, LowBatteryShutsDownOnEveryLineFromThenOn) {
  EXPECT_EQ(feed(line(0x08)), (Lines{"alert 2 Low battery detect", lowbatt_shutdown, run}));
  EXPECT_EQ(feed(line(0x08)), (Lines{lowbatt_shutdown, run}));
  EXPECT_EQ(feed(line(0)), (Lines{lowbatt_shutdown, run}));  // even once the bit clears
}

TEST_F(ReactionsTest, EventAlertsComeOnlyWithTheirBit) {
  // One low-battery line, then the bit clears: the counter stays at 1, but
  // its alert is not repeated on every line; only the shutdown is.
  EXPECT_EQ(feed(line(0x08)), (Lines{"alert 2 Low battery detect", lowbatt_shutdown, run}));
  EXPECT_EQ(feed(line(0)), (Lines{lowbatt_shutdown, run}));
  EXPECT_EQ(feed(line(0)), (Lines{lowbatt_shutdown, run}));
  // Likewise one countdown line, then none.
  SetUp();
  EXPECT_EQ(feed(line(0x20, 30, 9)), Lines{"alert 2 Schedule shutdown in"});
  EXPECT_EQ(feed(line(0)), Lines{});
  EXPECT_EQ(feed(line(0)), Lines{});
}

TEST_F(ReactionsTest, PowerfailShutdownTimeComparesTheRemainingMinutes) {
  settings.powerfail_shutdown_time = 5;
  EXPECT_EQ(feed(line(0x02, 5)), Lines{powerfail_alert});
  EXPECT_EQ(feed(line(0x02, 4)), (Lines{timeout_shutdown, run}));
  EXPECT_EQ(feed(line(0x02, 0)), (Lines{timeout_shutdown, run}));
  // Without a power failure the remaining time is not looked at.
  EXPECT_EQ(feed(line(0, 0)), Lines{"alert 2 Power is return"});
}

TEST_F(ReactionsTest, PowerfailShutdownTimeZeroRunsTheCommandTwiceOnLowBattery) {
  settings.powerfail_shutdown_time = 0;
  EXPECT_EQ(feed(line(0x02, 0)), Lines{powerfail_alert});
  EXPECT_EQ(feed(line(0x02 | 0x08, 0)),
            (Lines{"alert 2 Low battery detect", lowbatt_shutdown, run, lowbatt_shutdown, run}));
}

TEST_F(ReactionsTest, ScheduleShutdownTime) {
  const struct {
    int schedule_shutdown_time;
    std::vector<int> minutes;  // field 11 of successive countdown lines
    int first_shutdown;        // index of the first line that shuts down, -1 none
  } cases[] = {
      {3, {9, 5, 3, 2, 1}, 3},
      {10, {9, 8}, 0},
      {0, {9, 1, 0}, -1},
      {-1, {9, 0}, -1},
  };
  for (const auto &c : cases) {
    SetUp();
    settings.schedule_shutdown_time = c.schedule_shutdown_time;
    state.values = RemoteValues{};
    int first = -1;
    for (std::size_t n = 0; n < c.minutes.size(); ++n) {
      const Lines sent = feed(line(0x20, 30, c.minutes[n]));
      const bool shut = !sent.empty() && sent.back() == run;
      if (shut && first < 0) {
        first = static_cast<int>(n);
      }
      EXPECT_EQ(shut, first >= 0) << "rule fired, then stopped, at line " << n;
    }
    EXPECT_EQ(first, c.first_shutdown) << "-s " << c.schedule_shutdown_time;
  }
}

// A countdown that ended without a shutdown (the daemon restarted, the
// schedule removed) is over: the "-1" of later lines is no shutdown due.
TEST_F(ReactionsTest, ALineWithoutTheCountdownBitEndsTheCountdown) {
  settings.schedule_shutdown_time = 3;
  EXPECT_EQ(feed(line(0x20, 30, 9)), Lines{"alert 2 Schedule shutdown in"});
  EXPECT_EQ(feed(line(0, 30, -1)), Lines{});
  EXPECT_EQ(feed(line(0, 30, -1)), Lines{});
  EXPECT_EQ(state.status[SCHEDULE_DOWN], 0u);
  // A new countdown starts over, alert first.
  EXPECT_EQ(feed(line(0x20, 30, 9)), Lines{"alert 2 Schedule shutdown in"});
  EXPECT_EQ(feed(line(0x20, 30, 2)), (Lines{timeout_shutdown, run}));
}

TEST_F(ReactionsTest, ScheduleAlertEveryThirtyCountdownLines) {
  std::vector<int> alerted;
  for (int n = 1; n <= 61; ++n) {
    if (feed(line(0x20, 30, 5)) == Lines{"alert 2 Schedule shutdown in"}) {
      alerted.push_back(n);
    }
  }
  EXPECT_EQ(alerted, (std::vector<int>{1, 31, 61}));
}

TEST_F(ReactionsTest, AlertScopeNoneStillShutsDown) {
  settings.tornaxalert_who = alert_none;
  EXPECT_EQ(feed(line(0x08)), (Lines{"alert 0 Low battery detect",
                                     "alert 0 Low battery detect,shutdown executed", run}));
}

TEST_F(ReactionsTest, BrokenLineKeepsTheValuesOfThePreviousOne) {
  settings.powerfail_shutdown_time = 5;
  EXPECT_EQ(feed(line(0x02, 10)), Lines{powerfail_alert});
  EXPECT_EQ(feed("2 231.0 garbage"), Lines{});  // field 8 keeps 10
  EXPECT_EQ(state.status[POWERFAIL], 2u);
  EXPECT_EQ(feed(""), Lines{});  // field 1 keeps 0x02: the failure goes on
  EXPECT_EQ(state.status[POWERFAIL], 3u);
}

TEST_F(ReactionsTest, NothingIsTakenForUrgentBeforeALineSaysSo) {
  settings.powerfail_shutdown_time = 5;
  settings.schedule_shutdown_time = 3;
  EXPECT_EQ(feed("22"), (Lines{powerfail_alert, "alert 2 Schedule shutdown in"}));
}

// ---- Parsing ------------------------------------------------------------

class StatusLineParseTest : public ::testing::Test {
 protected:
  void SetUp() override { std::strcpy(values.teststatus, "--"); }
  RemoteValues values;
};

TEST_F(StatusLineParseTest, FullLine) {
  EXPECT_EQ(parse_status_line("2a 229.5 230.3 87 32 50.0 2.0 17 -1 OK 9", values), 11);
  EXPECT_EQ(values.remote_status, 0x2au);
  EXPECT_FLOAT_EQ(values.linevoltage, 229.5f);
  EXPECT_FLOAT_EQ(values.invvoltage, 230.3f);
  EXPECT_FLOAT_EQ(values.percentbatt, 87.0f);
  EXPECT_FLOAT_EQ(values.percentloadpower, 32.0f);
  EXPECT_FLOAT_EQ(values.freq, 50.0f);
  EXPECT_FLOAT_EQ(values.loadcurrent, 2.0f);
  EXPECT_EQ(values.server_backuptime, 17);
  EXPECT_FLOAT_EQ(values.temp, -1.0f);
  EXPECT_STREQ(values.teststatus, "OK");
  EXPECT_EQ(values.schedule_time, 9);
}

TEST_F(StatusLineParseTest, HostileLines) {
  const struct {
    std::string text;
    int fields;
    unsigned int remote_status;
    int server_backuptime;
    const char *teststatus;
    int schedule_time;
  } cases[] = {
      // A long field 10 is cut, and field 11 behind it still converts.
      {"0 1 2 3 4 5 6 7 8 ABCDEFGHIJKLMNOP 4", 11, 0, 7, "ABC", 4},
      {"0 1 2 3 4 5 6 7 8 " + std::string(5000, 'Z') + " 2", 11, 0, 7, "ZZZ", 2},
      // Numbers too large for their fields saturate (the word keeps its low bits).
      {"123456789 1 2 3 4 5 6 99999999999 8 OK -99999999999", 11, 0x23456789u, 2147483647, "OK",
       -2147483647 - 1},
      // Field 10 missing: its place is taken by field 11, which then has no value.
      {"8 1 2 3 4 5 6 7 -1 -1", 10, 8, 7, "-1", 1},
      {"hello world", 0, 1, 1, "--", 1},
      {"", 0, 1, 1, "--", 1},
      {"a 230.0 22", 3, 0xa, 1, "--", 1},
      {"20 1e99 nan -inf 4 5 6 12 8 OK 3", 11, 0x20, 12, "OK", 3},
  };
  for (const auto &c : cases) {
    values = RemoteValues{{}, 1, 1, 1};
    std::strcpy(values.teststatus, "--");
    EXPECT_EQ(parse_status_line(c.text.c_str(), values), c.fields) << c.text.substr(0, 60);
    EXPECT_EQ(values.remote_status, c.remote_status);
    EXPECT_EQ(values.server_backuptime, c.server_backuptime);
    EXPECT_STREQ(values.teststatus, c.teststatus);
    EXPECT_EQ(values.schedule_time, c.schedule_time);
  }
}

// ---- Alerts through the console and the broadcast program -----------------

class AlertDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);  // as the program does: a broadcast program may vanish
    console_device = dir.file("console");
  }
  test::TempDir dir;
};

TEST_F(AlertDeliveryTest, ConsoleAndBroadcast) {
  const std::string wall_cmd = "cat >> '" + dir.file("wall") + "'";
  tornaxalert_alert(alert_console, "Power fail detect", wall_cmd);
  tornaxalert_alert(alert_console, "Power is return", wall_cmd);
  tornaxalert_alert(alert_all, "Low battery detect", wall_cmd);
  tornaxalert_alert(alert_none, "Nobody hears this", wall_cmd);
  tornaxalert_alert(7, "Nor this", wall_cmd);
  EXPECT_EQ(test::read_file(dir.file("console")),
            "Brenmoor Tornax Alert : Power fail detect\n"
            "Brenmoor Tornax Alert : Power is return\n");
  EXPECT_EQ(test::read_file(dir.file("wall")), "Brenmoor Tornax Alert : Low battery detect\n");
}

TEST_F(AlertDeliveryTest, UnreachableTargetsAreSkippedWithoutHarm) {
  console_device = dir.file("missing/console");
  tornaxalert_alert(alert_console, "Power fail detect", "true");
  tornaxalert_alert(alert_all, "Power fail detect", dir.file("missing/wall") + " 2>/dev/null");
  SystemAlertActions actions(dir.file("no-such-wall") + " 2>/dev/null");
  actions.alert(alert_all, "Power fail detect");
  // The process goes on, and no alert made the console or a folder for it.
  EXPECT_FALSE(test::file_exists(dir.file("missing")));
  EXPECT_FALSE(test::file_exists(dir.file("no-such-wall")));
}

TEST_F(AlertDeliveryTest, ShutdownCommandRunsThroughTheShellAndIsWaitedFor) {
  SystemAlertActions actions("true");
  const std::string record = dir.file("shutdown");
  actions.run_shutdown("sleep 0.2; echo ran \"$((1 + 1))\" >> '" + record + "'");
  EXPECT_EQ(test::read_file(record), "ran 2\n");
}

}  // namespace
}  // namespace tornax
