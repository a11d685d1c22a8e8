#include "daemon/report/alerter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/kit/files.h"
#include "tests/support/daemon_state.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::read_file;

class AlerterTest : public test::DaemonStateTest {
 protected:
  void SetUp() override {
    DaemonStateTest::SetUp();
    // Each wall run appends what it read and a separator, so runs can be counted.
    const std::string wall = home.write("wall",
                                        "#!/bin/sh\ncat >> '" + home.file("wall.out") +
                                            "'\necho '--' >> '" + home.file("wall.out") + "'\n",
                                        0755);
    settings.wall_cmd = wall;
    home.write("console", "");
    console_path_text = home.file("console");
    console_path = console_path_text.c_str();
    for (int n = 0; n < event_count; ++n) {
      settings.alert[n].message = "event " + std::to_string(n);
    }
  }
  void TearDown() override {
    console_path = "/dev/console";
    DaemonStateTest::TearDown();
  }
  std::string wall_output() const { return read_file(home.file("wall.out")); }
  std::string console_output() const { return read_file(home.file("console")); }

  test::TempDir home;
  std::string console_path_text;
};

const std::string powerfail_lines =
    "Brenmoor Tornax X : Mains down\n"
    "Brenmoor Tornax X : You have aproximate 2:5 Hour, before server shutdown.\n";

TEST_F(AlerterTest, PowerFailRepeatsEveryIntervalWithTheCountdownLine) {
  settings.alert[POWERFAIL] = {scope_all, 300, "Mains down", 1};
  remain_time = 125;
  std::string expected;
  for (unsigned int count : {1u, 2u, 300u, 301u, 302u, 601u}) {
    status[POWERFAIL] = count;
    alerter();
    if (count % 300 == 1) {
      expected += powerfail_lines + "--\n";
    }
  }
  EXPECT_EQ(wall_output(), expected);
}

struct DueCase {
  const char *name;
  int event;
  int interval;
  std::vector<unsigned int> alerting;
  std::vector<unsigned int> silent;
};

void PrintTo(const DueCase &c, std::ostream *os) {
  *os << c.name;
}

class AlertDueTest : public test::DaemonStateTest, public testing::WithParamInterface<DueCase> {};

TEST_P(AlertDueTest, FollowsTheModuloRule) {
  const DueCase &c = GetParam();
  settings.alert[c.event].interval = c.interval;
  for (unsigned int count : c.alerting) {
    status[c.event] = count;
    EXPECT_TRUE(alert_due(c.event)) << "count " << count;
  }
  for (unsigned int count : c.silent) {
    status[c.event] = count;
    EXPECT_FALSE(alert_due(c.event)) << "count " << count;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Intervals, AlertDueTest,
    testing::Values(DueCase{"OnceWithoutInterval", POWERFAIL, 0, {1}, {0, 2, 61, 301}},
                    DueCase{"CommErrorEveryMinute", COMM_ERROR, 60, {1, 61, 121}, {0, 2, 60, 120}},
                    DueCase{"FlagEventOnceWhateverTheInterval", POWERRETURN, 600, {1}, {0}},
                    DueCase{"LostCommunicationIsNotAConnect", COMM_CONNECT, 60, {1}, {0, 2}}),
    [](const testing::TestParamInfo<DueCase> &case_info) { return case_info.param.name; });

TEST_F(AlerterTest, ScopesOtherThanConsoleAndAllSendNothing) {
  for (int who : {scope_none, 3, -1, 100}) {
    settings.alert[LOWBATT] = {who, 0, "Battery low", 1};
    status[LOWBATT] = 1;
    alerter();
  }
  EXPECT_EQ(wall_output(), "");
  EXPECT_EQ(console_output(), "");
}

TEST_F(AlerterTest, ConsoleScopeWritesBothLinesToTheConsoleOnly) {
  settings.alert[POWERFAIL] = {scope_console, 300, "Mains down", 1};
  remain_time = 125;
  status[POWERFAIL] = 1;
  alerter();
  EXPECT_EQ(console_output(), powerfail_lines);
  EXPECT_EQ(wall_output(), "");
}

TEST_F(AlerterTest, EventsOfOneCycleAreDeliveredSeparatelyInEventOrder) {
  settings.alert[LOWBATT] = {scope_all, 0, "Battery low", 1};
  settings.alert[POWERFAIL_DOWN] = {scope_all, 0, "Shutting down", 1};
  settings.alert[COMM_CONNECT] = {scope_console, 0, "UPS back", 1};
  status[LOWBATT] = 1;
  status[POWERFAIL_DOWN] = 1;
  status[COMM_CONNECT] = 1;
  alerter();
  EXPECT_EQ(wall_output(),
            "Brenmoor Tornax X : Battery low\n--\nBrenmoor Tornax X : Shutting down\n--\n");
  EXPECT_EQ(console_output(), "Brenmoor Tornax X : UPS back\n");
}

TEST_F(AlerterTest, UnopenableConsoleIsReportedAndSkipped) {
  console_path_text = home.file("no-such-dir/console");
  console_path = console_path_text.c_str();
  settings.alert[COMM_ERROR] = {scope_console, 0, "UPS silent", 1};
  status[COMM_ERROR] = 1;
  testing::internal::CaptureStderr();
  alerter();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Brenmoor Tornax X : Cannot open console (" + console_path_text + ")\n");
}

TEST_F(AlerterTest, MissingWallCommandIsReportedAndSkipped) {
  settings.wall_cmd.reset();
  settings.alert[COMM_ERROR] = {scope_all, 0, "UPS silent", 1};
  status[COMM_ERROR] = 1;
  testing::internal::CaptureStderr();
  alerter();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Brenmoor Tornax X : Cannot start wall command (no WALLPATH configured)\n");
}

}  // namespace
}  // namespace tornax
