#include "daemon/core/schedule.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "daemon/config/config_read.h"
#include "daemon/core/clock.h"
#include "daemon/core/util.h"
#include "tests/kit/files.h"
#include "tests/support/daemon_state.h"
#include "tests/support/sim_fixture.h"
#include "tornax.h"

namespace tornax {
namespace {

std::time_t fake_now;

std::time_t fixed_clock() {
  return fake_now;
}

// Local calendar time of a wall-clock moment (month 1 is January).
std::time_t local(int year, int month, int day, int hour, int min, int sec = 0) {
  struct tm when {};
  when.tm_year = year - 1900;
  when.tm_mon = month - 1;
  when.tm_mday = day;
  when.tm_hour = hour;
  when.tm_min = min;
  when.tm_sec = sec;
  when.tm_isdst = -1;
  return std::mktime(&when);
}

// Schedule times as the configuration stores them: only the named fields set.
struct tm clock_time(int hour, int min) {
  struct tm t {};
  t.tm_hour = hour;
  t.tm_min = min;
  return t;
}

struct tm week_time(int hour, int min, int wday) {
  struct tm t = clock_time(hour, min);
  t.tm_wday = wday;
  return t;
}

struct tm date_time(int mday, int mon, int hour, int min) {
  struct tm t = clock_time(hour, min);
  t.tm_mday = mday;
  t.tm_mon = mon;
  return t;
}

constexpr int SUN = 0, MON = 1, WED = 3, FRI = 5;
constexpr int JAN = 0, FEB = 1, MAR = 2, MAY = 4, JUL = 6, OCT = 9, DEC = 11;

class ScheduleTest : public test::DaemonStateTest {
 protected:
  void SetUp() override {
    DaemonStateTest::SetUp();
    use_zone("UTC0");
    set_clock_function(fixed_clock);
  }

  static void use_zone(const char *tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

  static void set_window(int mode, struct tm down, struct tm up) {
    settings.shutdown_schedule_mode = mode;
    settings.shutdown_schedule_list[0].downtime = down;
    settings.shutdown_schedule_list[0].uptime = up;
  }

  static void add_range(struct tm down, struct tm up) {
    settings.shutdown_schedule_mode = schedule_manual;
    shutdown_schedule &range = settings.shutdown_schedule_list[settings.num_shutdown_schedule++];
    range.downtime = down;
    range.uptime = up;
  }

  static int check_at(std::time_t now) {
    fake_now = now;
    return check_shutdown_schedule();
  }

  // Every minute from `from` up to (not including) `to` at which the check
  // triggers, as "<weekday> HH:MM=<minutes>". The sleep-time lines are kept
  // in `printed`.
  std::vector<std::string> triggers(std::time_t from, std::time_t to) {
    static const char *const names[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
    std::vector<std::string> found;
    testing::internal::CaptureStdout();
    for (std::time_t t = from; t < to; t += 60) {
      if (const int minutes = check_at(t)) {
        struct tm local_time {};
        localtime_r(&t, &local_time);
        char text[64];
        std::snprintf(text, sizeof text, "%s %02d:%02d=%d", names[local_time.tm_wday],
                      local_time.tm_hour, local_time.tm_min, minutes);
        found.push_back(text);
      }
    }
    printed = testing::internal::GetCapturedStdout();
    return found;
  }

  std::string printed;
};

// Monday 2 March 2026 and the Monday after, in the zone in force.
std::time_t week_start() {
  return local(2026, 3, 2, 0, 0);
}
std::time_t week_end() {
  return local(2026, 3, 9, 0, 0);
}

TEST_F(ScheduleTest, DailyTriggersTenMinutesAheadOnlyInThatMinute) {
  set_window(schedule_daily, clock_time(22, 30), clock_time(6, 15));
  EXPECT_EQ(check_at(local(2026, 3, 2, 22, 19, 59)), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(check_at(local(2026, 3, 2, 22, 20, 0)), 465);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "sleeptime day=0 hour=7 min=45 total=465\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(check_at(local(2026, 3, 2, 22, 20, 59)), 465);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(check_at(local(2026, 3, 2, 22, 21, 0)), 0);
  // A daemon started now: the same boundary.
  EXPECT_EQ(next_scheduled_shutdown(settings, local(2026, 3, 2, 22, 20, 59))->down,
            local(2026, 3, 2, 22, 30));
  EXPECT_EQ(next_scheduled_shutdown(settings, local(2026, 3, 2, 22, 21, 0))->down,
            local(2026, 3, 3, 22, 30));
}

struct WindowCase {
  const char *name;
  int mode;
  struct tm down;
  struct tm up;
  int apply_begin;
  int apply_end;
  std::vector<std::string> expected;  // triggers over one week, from Monday
};

class ScheduleWeekTest : public ScheduleTest, public testing::WithParamInterface<WindowCase> {};

TEST_P(ScheduleWeekTest, TriggersOverOneWeek) {
  const WindowCase &c = GetParam();
  set_window(c.mode, c.down, c.up);
  settings.schedule_apply.begin.tm_wday = c.apply_begin;
  settings.schedule_apply.end.tm_wday = c.apply_end;
  const std::vector<shutdown_schedule> stored(settings.shutdown_schedule_list,
                                              settings.shutdown_schedule_list + 2);
  EXPECT_EQ(triggers(week_start(), week_end()), c.expected);
  // The borrows belong to the computation: the stored times are unchanged,
  // so the next week gives the same triggers.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(std::memcmp(&stored[i], &settings.shutdown_schedule_list[i], sizeof stored[i]), 0);
  }
  EXPECT_EQ(triggers(week_end(), week_end() + 7 * 86400), c.expected);
}

// What `tornax -t` shows is what the check will do: the first down-time the
// minute-by-minute check triggers for, and its sleep time.
TEST_P(ScheduleWeekTest, PreviewNamesTheFirstTrigger) {
  const WindowCase &c = GetParam();
  set_window(c.mode, c.down, c.up);
  settings.schedule_apply.begin.tm_wday = c.apply_begin;
  settings.schedule_apply.end.tm_wday = c.apply_end;
  std::optional<ShutdownPreview> first;
  testing::internal::CaptureStdout();
  for (std::time_t t = week_start(); t < week_end() && !first; t += 60) {
    if (const int minutes = check_at(t)) {
      first = ShutdownPreview{t + schedule_lookahead, minutes};
    }
  }
  testing::internal::GetCapturedStdout();
  const std::optional<ShutdownPreview> preview = next_scheduled_shutdown(settings, week_start());
  ASSERT_EQ(preview.has_value(), first.has_value());
  if (first) {
    EXPECT_EQ(preview->down, first->down);
    EXPECT_EQ(preview->sleep_minutes, first->sleep_minutes);
  }
}

std::vector<std::string> every_day(const char *clock, const char *minutes) {
  std::vector<std::string> days;
  for (const char *day : {"MON", "TUE", "WED", "THU", "FRI", "SAT", "SUN"}) {
    days.push_back(std::string(day) + " " + clock + "=" + minutes);
  }
  return days;
}

std::vector<std::string> with_friday(std::vector<std::string> days, const std::string &friday) {
  days[4] = friday;
  return days;
}

INSTANTIATE_TEST_SUITE_P(
    Windows, ScheduleWeekTest,
    testing::Values(
        WindowCase{"DailyOverMidnight", schedule_daily, clock_time(22, 30), clock_time(6, 15), 0, 0,
                   every_day("22:20", "465")},
        WindowCase{"DailyWithinADay", schedule_daily, clock_time(1, 0), clock_time(5, 0), 0, 0,
                   every_day("00:50", "240")},
        WindowCase{"DailyEmptyWindowNeverShutsDown",
                   schedule_daily,
                   clock_time(5, 0),
                   clock_time(5, 0),
                   0,
                   0,
                   {}},
        WindowCase{"DailyImpossibleHourNeverTriggers",
                   schedule_daily,
                   clock_time(24, 0),
                   clock_time(6, 0),
                   0,
                   0,
                   {}},
        WindowCase{"DailyImpossibleMinuteNeverTriggers",
                   schedule_daily,
                   clock_time(23, 60),
                   clock_time(6, 0),
                   0,
                   0,
                   {}},
        WindowCase{"ApplyPeriodOverMidnight", schedule_daily_apply, clock_time(22, 0),
                   clock_time(6, 0), MON, FRI,
                   with_friday(every_day("21:50", "480"), "FRI 21:50=3360")},
        WindowCase{"ApplyPeriodWithinADay", schedule_daily_apply, clock_time(1, 0),
                   clock_time(5, 0), MON, FRI,
                   with_friday(every_day("00:50", "240"), "FRI 00:50=4560")},
        // The weekday is that of the moment ten minutes ahead: Sunday's 0:05,
        // the period's last day, is found on Saturday evening.
        WindowCase{"ApplyPeriodUsesTheWeekdayAhead",
                   schedule_daily_apply,
                   clock_time(0, 5),
                   clock_time(6, 0),
                   MON,
                   SUN,
                   {"MON 23:55=355", "TUE 23:55=355", "WED 23:55=355", "THU 23:55=355",
                    "FRI 23:55=355", "SAT 23:55=1795", "SUN 23:55=355"}},
        WindowCase{"WeeklyFridayToMonday",
                   schedule_weekly,
                   week_time(23, 0, FRI),
                   week_time(7, 0, MON),
                   0,
                   0,
                   {"FRI 22:50=3360"}},
        WindowCase{"WeeklyAlmostAWholeWeek",
                   schedule_weekly,
                   week_time(10, 0, WED),
                   week_time(9, 0, WED),
                   0,
                   0,
                   {"WED 09:50=10020"}},
        WindowCase{"UnknownModeNeverTriggers", 5, clock_time(22, 30), clock_time(6, 15), 0, 0, {}}),
    [](const testing::TestParamInfo<WindowCase> &case_info) {
      return std::string(case_info.param.name);
    });

TEST_F(ScheduleTest, ApplyPeriodPrintsTheDaysOnTheLastWeekday) {
  set_window(schedule_daily_apply, clock_time(22, 0), clock_time(6, 0));
  settings.schedule_apply.begin.tm_wday = MON;
  settings.schedule_apply.end.tm_wday = FRI;
  testing::internal::CaptureStdout();
  EXPECT_EQ(check_at(local(2026, 3, 6, 21, 50)), 3360);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "sleeptime day=2 hour=8 min=0 total=3360\n");
}

TEST_F(ScheduleTest, ManualRangeIntoTheNextYear) {
  add_range(date_time(31, DEC, 18, 0), date_time(2, JAN, 8, 0));
  EXPECT_EQ(check_at(local(2026, 12, 31, 17, 49, 59)), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(check_at(local(2026, 12, 31, 17, 50)), 2280);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "sleeptime total=2280\n");
  // The range recurs every year.
  testing::internal::CaptureStdout();
  EXPECT_EQ(check_at(local(2027, 12, 31, 17, 50)), 2280);
  testing::internal::GetCapturedStdout();
}

TEST_F(ScheduleTest, ManualRangesInFileOrder) {
  add_range(date_time(2, MAY, 10, 0), date_time(3, MAY, 10, 0));
  add_range(date_time(1, MAY, 10, 0), date_time(1, MAY, 12, 0));
  add_range(date_time(1, MAY, 10, 0), date_time(2, MAY, 10, 0));
  const std::vector<shutdown_schedule> stored(settings.shutdown_schedule_list,
                                              settings.shutdown_schedule_list + 3);
  EXPECT_EQ(triggers(local(2026, 4, 30, 0, 0), local(2026, 5, 3, 0, 0)),
            (std::vector<std::string>{"FRI 09:50=120", "SAT 09:50=1440"}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(std::memcmp(&stored[i], &settings.shutdown_schedule_list[i], sizeof stored[i]), 0)
        << "range " << i << " was changed by the check";
  }
}

TEST_F(ScheduleTest, ManualDatesThatDoNotExistNeverTrigger) {
  add_range(date_time(31, FEB, 10, 0), date_time(1, MAR, 10, 0));
  add_range(date_time(29, FEB, 24, 0), date_time(1, MAR, 10, 0));
  add_range(date_time(30, FEB, 0, 0), date_time(1, MAR, 10, 0));
  // 2028 is a leap year: 29 FEB exists, but not its hour 24.
  EXPECT_TRUE(triggers(local(2028, 2, 27, 0, 0), local(2028, 3, 3, 0, 0)).empty());
  EXPECT_TRUE(triggers(local(2027, 2, 27, 0, 0), local(2027, 3, 3, 0, 0)).empty());
}

TEST_F(ScheduleTest, ManualWithoutRangesNeverTriggers) {
  settings.shutdown_schedule_mode = schedule_manual;
  settings.shutdown_schedule_list[0].downtime = date_time(1, MAY, 10, 0);
  EXPECT_EQ(check_at(local(2026, 5, 1, 9, 50)), 0);
}

// The UPS sleeps for a duration; across a clock change the sleep is the real
// time between the two wall-clock moments, so power returns at the up-time
// the clocks show then.
TEST_F(ScheduleTest, ManualRangeAcrossDaylightSavingChanges) {
  use_zone("CET-1CEST,M3.5.0,M10.5.0/3");
  add_range(date_time(28, MAR, 22, 0), date_time(29, MAR, 8, 0));  // 29 March 2026: 2:00 -> 3:00
  add_range(date_time(24, OCT, 22, 0), date_time(25, OCT, 8, 0));  // 25 October 2026: 3:00 -> 2:00
  add_range(date_time(1, JUL, 10, 0), date_time(1, JUL, 12, 0));   // summer time throughout
  testing::internal::CaptureStdout();
  EXPECT_EQ(check_at(local(2026, 3, 28, 21, 50)), 540);
  EXPECT_EQ(check_at(local(2026, 10, 24, 21, 50)), 660);
  EXPECT_EQ(check_at(local(2026, 7, 1, 9, 50)), 120);
  testing::internal::GetCapturedStdout();
}

TEST_F(ScheduleTest, ShowScheduleForEachMode) {
  struct Case {
    int mode;
    const char *expected;
  };
  const Case cases[] = {
      {schedule_daily, "Shutdown every day 23:0 to 7:5\n"},
      {schedule_daily_apply, "shutdwon every day  23:0 to 7:5 apply on 1 to 5\n"},
      {schedule_weekly, "Shutdown every day 5 23:0 to 1 7:5\n"},
      {schedule_manual, "shutdown manual at\n31 11 18:0 to 2 0 8:30\n1 4 10:0 to 1 4 12:0\n"},
      {schedule_none, ""},
      {9, ""},
  };
  settings.schedule_apply.begin.tm_wday = MON;
  settings.schedule_apply.end.tm_wday = FRI;
  for (const Case &c : cases) {
    settings.num_shutdown_schedule = 0;
    set_window(c.mode, week_time(23, 0, FRI), week_time(7, 5, MON));
    if (c.mode == schedule_manual) {
      add_range(date_time(31, DEC, 18, 0), date_time(2, JAN, 8, 30));
      add_range(date_time(1, MAY, 10, 0), date_time(1, MAY, 12, 0));
    }
    testing::internal::CaptureStdout();
    show_schedule();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected) << "mode " << c.mode;
  }
}

TEST_F(ScheduleTest, ShowScheduleListsTheSelfTests) {
  settings.test_schedule_list[0].time = date_time(1, JAN, 10, 0);
  settings.test_schedule_list[1].time = date_time(15, JUL, 9, 30);
  settings.num_test_schedule = 2;
  testing::internal::CaptureStdout();
  show_schedule();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Test UPS at : 1 0 10:0\nTest UPS at : 15 6 9:30\n");
}

TEST_F(ScheduleTest, PreviewsOfDatedEntries) {
  struct Case {
    const char *name;
    std::time_t now;
    std::optional<std::time_t> shutdown;
    std::optional<std::time_t> self_test;
  };
  add_range(date_time(31, DEC, 18, 0), date_time(2, JAN, 8, 0));
  add_range(date_time(29, FEB, 10, 0), date_time(1, MAR, 10, 0));
  add_range(date_time(31, FEB, 10, 0), date_time(1, MAR, 10, 0));  // never
  settings.test_schedule_list[0].time = date_time(1, JUL, 10, 0);
  settings.test_schedule_list[1].time = date_time(30, FEB, 10, 0);  // never
  settings.num_test_schedule = 2;
  const Case cases[] = {
      {"EarlyInTheYear", local(2026, 3, 2, 0, 0), local(2026, 12, 31, 18, 0),
       local(2026, 7, 1, 10, 0)},
      // The ten-minute look-ahead has passed the down-time's minute: the
      // shutdown waits for the leap day; the test's minute is under way.
      {"TooLateThisYear", local(2027, 12, 31, 17, 51), local(2028, 2, 29, 10, 0),
       local(2028, 7, 1, 10, 0)},
      {"TestMinuteUnderWay", local(2026, 7, 1, 10, 0, 59), local(2026, 12, 31, 18, 0),
       local(2026, 7, 1, 10, 0)},
  };
  for (const Case &c : cases) {
    const std::optional<ShutdownPreview> shutdown = next_scheduled_shutdown(settings, c.now);
    ASSERT_TRUE(shutdown) << c.name;
    EXPECT_EQ(shutdown->down, *c.shutdown) << c.name;
    EXPECT_EQ(next_self_test(settings, c.now), c.self_test) << c.name;
  }
  EXPECT_EQ(next_scheduled_shutdown(settings, local(2026, 3, 2, 0, 0))->sleep_minutes, 2280);
  settings.num_test_schedule = 0;
  EXPECT_EQ(next_self_test(settings, local(2026, 3, 2, 0, 0)), std::nullopt);
}

unsigned int seconds_slept;
int testing_while_asleep;

void fake_sleep(unsigned int seconds) {
  seconds_slept += seconds;
  testing_while_asleep = ups_testing;
}

class SelfTestScheduleTest : public test::SimulatedUpsTest {
 protected:
  void SetUp() override {
    SimulatedUpsTest::SetUp();
    setenv("TZ", "UTC0", 1);
    tzset();
    set_clock_function(fixed_clock);
    set_sleep_function(fake_sleep);
    seconds_slept = 0;
    testing_while_asleep = 0;
    std::snprintf(log_filename, sizeof log_filename, "%s", home.file("tornax.log").c_str());
  }

  static void add_test(struct tm time) {
    settings.test_schedule_list[settings.num_test_schedule++].time = time;
  }

  void check_at(std::time_t now) {
    fake_now = now;
    check_test_schedule(fd);
  }

  int tests_started() const {
    int count = 0;
    for (const ReceivedCommand &command : sim.received()) {
      count += command.bytes == "XT\n";
    }
    return count;
  }

  // The texts of the log lines, without their time stamps.
  std::vector<std::string> logged() const {
    std::vector<std::string> texts;
    const std::string log = test::read_file(log_filename);
    std::size_t start = 0;
    for (std::size_t end; (end = log.find(" \n", start)) != std::string::npos; start = end + 2) {
      const std::size_t text = log.find(" : ", start) + 3;
      texts.push_back(log.substr(text, end - text));
    }
    return texts;
  }

  test::TempDir home;
};

const std::string test_logged = "Schedule UPS TEST";
const std::string test_passed = "Schedule UPS TEST return : \"OK\"";

TEST_F(SelfTestScheduleTest, RunsOncePerMatchingMinuteAndAgainTheNextYear) {
  add_test(date_time(1, JAN, 10, 0));
  check_at(local(2027, 1, 1, 9, 59, 59));
  EXPECT_EQ(tests_started(), 0);
  check_at(local(2027, 1, 1, 10, 0, 0));
  EXPECT_EQ(tests_started(), 1);
  EXPECT_EQ(seconds_slept, 15u);
  EXPECT_EQ(testing_while_asleep, 1);
  EXPECT_EQ(ups_testing, 0);
  EXPECT_STREQ(ups_teststatus, "OK");
  check_at(local(2027, 1, 1, 10, 0, 59));
  EXPECT_EQ(tests_started(), 1);
  check_at(local(2027, 1, 1, 10, 1, 0));
  EXPECT_EQ(settings.test_schedule_list[0].executed, 0);
  check_at(local(2028, 1, 1, 10, 0, 30));
  EXPECT_EQ(tests_started(), 2);
  EXPECT_EQ(logged(),
            (std::vector<std::string>{test_logged, test_passed, test_logged, test_passed}));
}

// Each test holds the cycle 15 s; back to back they would silence the status
// lines long enough for clients to give the daemon up.
TEST_F(SelfTestScheduleTest, EntriesForOneMinuteShareOneTest) {
  add_test(date_time(15, JUL, 9, 30));
  add_test(date_time(1, JAN, 0, 0));
  add_test(date_time(15, JUL, 9, 30));
  check_at(local(2027, 7, 15, 9, 30, 10));
  check_at(local(2027, 7, 15, 9, 30, 40));
  EXPECT_EQ(tests_started(), 1);
  EXPECT_EQ(logged(), (std::vector<std::string>{test_logged, test_passed}));
  EXPECT_EQ(settings.test_schedule_list[2].executed, 1);
}

// A configuration file with the required statements and `extra`.
std::string configuration(const std::string &extra) {
  static const char *const stems[] = {"POWERFAIL",      "POWERRETURN", "LOWBATT",
                                      "POWERFAIL_DOWN", "COMM_ERROR",  "COMM_CONNECT",
                                      "SCHEDULE_DOWN",  "OVERLOAD"};
  std::string text = "WALLPATH \"wall\"\n";
  for (const char *stem : stems) {
    text += std::string(stem) + "_ALERT 0 none \"x\"\n" + stem + "_LOG no\n";
  }
  return text + extra;
}

// A reload resets the count and fills the entries' times again, but keeps
// their `executed` flags, so a test that ran in this minute does not run twice.
TEST_F(SelfTestScheduleTest, ReloadInTheMatchingMinuteDoesNotRepeatTheTest) {
  std::snprintf(config_filename, sizeof config_filename, "%s",
                home.write("tornax.conf", configuration("UPSTEST 1 JAN 10:00\n")).c_str());
  config_read();
  check_at(local(2027, 1, 1, 10, 0, 5));
  ASSERT_EQ(tests_started(), 1);
  ASSERT_TRUE(config_reload());
  check_at(local(2027, 1, 1, 10, 0, 40));
  EXPECT_EQ(tests_started(), 1);
}

TEST_F(SelfTestScheduleTest, UnansweredStatusLogsThePreviousText) {
  sim.set_silent(true);
  std::snprintf(ups_teststatus, sizeof ups_teststatus, "AB");
  add_test(date_time(1, JAN, 10, 0));
  check_at(local(2027, 1, 1, 10, 0));
  EXPECT_EQ(tests_started(), 1);
  EXPECT_EQ(logged(), (std::vector<std::string>{test_logged, "Schedule UPS TEST return : \"AB\""}));
}

TEST(TestResultLineTest, FitsItsBufferAndKeepsTheClosingQuote) {
  struct Case {
    std::string status;
    std::size_t size;
    const char *expected;
  };
  const Case cases[] = {
      {"", 4, "Schedule UPS TEST return : \"\""},
      {"OK", 4, "Schedule UPS TEST return : \"OK\""},
      {"ABCD", 4, "Schedule UPS TEST return : \"ABCD\""},  // not terminated within its size
      {"12345678901234567890", 21, "Schedule UPS TEST return : \"12345678901234567890\""},
      {"12345678901234567890XYZ", 24, "Schedule UPS TEST return : \"12345678901234567890\""},
  };
  for (const Case &c : cases) {
    char line[test_result_size + 8];
    std::memset(line, '#', sizeof line);
    format_test_result(line, c.status.c_str(), c.size);
    EXPECT_STREQ(line, c.expected);
    EXPECT_EQ(line[test_result_size], '#') << "wrote past the line";
  }
}

}  // namespace
}  // namespace tornax
