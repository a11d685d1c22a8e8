#include "daemon/report/logger.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "daemon/core/clock.h"
#include "daemon/core/util.h"
#include "tests/kit/files.h"
#include "tests/support/daemon_state.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::read_file;

class LoggerTest : public test::DaemonStateTest {
 protected:
  void SetUp() override {
    DaemonStateTest::SetUp();
    test::use_utc_time_zone();
    set_clock_function(test::fixed_now);
    std::snprintf(log_filename, sizeof log_filename, "%s", home.file("tornax.log").c_str());
  }
  std::string log() const { return read_file(home.file("tornax.log")); }

  test::TempDir home;
};

constexpr const char *stamp = "[12/06/26] 18:44:21";

TEST_F(LoggerTest, EntryHasPosixTimeStampAndBlankBeforeLineEnd) {
  writelog("*** Daemon started ***");
  writelog("Reinitialize configuration");
  EXPECT_EQ(log(), std::string(stamp) + " : *** Daemon started *** \n" + stamp +
                       " : Reinitialize configuration \n");
}

TEST_F(LoggerTest, NoHandleStaysOpenBetweenEntries) {
  writelog("first");
  ASSERT_EQ(unlink(home.file("tornax.log").c_str()), 0);
  writelog("second");
  EXPECT_EQ(log(), std::string(stamp) + " : second \n");
}

TEST_F(LoggerTest, RestartsOnlyAboveTheSizeLimitAndKeepsTheFullLogAsOld) {
  settings.logsize = 1;
  home.write("tornax.log.old", "older history\n");
  const std::string entry = std::string(stamp) + " : x \n";  // 25 bytes
  // Fill the file to exactly 1024 bytes: the next entry is still appended.
  std::string filler(1024 - entry.size(), 'f');
  filler.back() = '\n';
  home.write("tornax.log", filler + entry);
  writelog("x");
  EXPECT_EQ(log().size(), 1024 + entry.size());
  writelog("after");
  EXPECT_EQ(log(), std::string(stamp) + " : *** Logfile restart *** \n" + stamp + " : after \n");
  EXPECT_EQ(read_file(home.file("tornax.log.old")), filler + entry + entry);
}

TEST_F(LoggerTest, HugeSizeLimitDoesNotWrapToASmallOne) {
  settings.logsize = 4194305;  // 4 GiB + 1 KiB: wraps to 1 KiB in 32 bits
  home.write("tornax.log", std::string(2000, 'a') + "\n");
  writelog("kept");
  EXPECT_EQ(log().substr(0, 2001), std::string(2000, 'a') + "\n");
}

TEST_F(LoggerTest, SymlinkedLogIsNotFollowed) {
  const std::string target = home.write("target", "untouched\n");
  ASSERT_EQ(symlink(target.c_str(), log_filename), 0);
  testing::internal::CaptureStderr();
  writelog("one");
  writelog("two");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("Brenmoor Tornax X : Cannot Open logfile (") + log_filename +
                "). Too many levels of symbolic links; entries are held until it can be written "
                "again\n");
  EXPECT_EQ(read_file(target), "untouched\n");
}

// A log whose directory is missing, or a disk that is full: reported once,
// not at every entry; the entries wait in memory, up to a limit, and reach
// the log, with a count of those lost, once it can be written again.
TEST_F(LoggerTest, UnwritableLogIsReportedOnceAndHeldUntilItWorksAgain) {
  std::snprintf(log_filename, sizeof log_filename, "%s/later/tornax.log", home.path().c_str());
  testing::internal::CaptureStderr();
  for (int i = 0; i < 300; ++i) {
    writelog(("entry " + std::to_string(i)).c_str());
  }
  ASSERT_EQ(mkdir(home.file("later").c_str(), 0755), 0);
  writelog("back");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("Brenmoor Tornax X : Cannot Open logfile (") + log_filename +
                "). No such file or directory; entries are held until it can be written again\n" +
                "Brenmoor Tornax X : Logfile (" + log_filename + ") can be written again\n");
  const std::string text = read_file(log_filename);
  EXPECT_EQ(text.substr(0, text.find('\n') + 1), std::string(stamp) + " : entry 0 \n");
  EXPECT_EQ(text.substr(text.rfind(" : entry ")),
            " : entry 255 \n" + std::string(stamp) +
                " : 44 log entries were lost while the logfile could not be written \n" + stamp +
                " : back \n");
}

TEST_F(LoggerTest, FullDiskIsReportedOnce) {
  std::snprintf(log_filename, sizeof log_filename, "/dev/full");
  testing::internal::CaptureStderr();
  writelog("one");
  writelog("two");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Brenmoor Tornax X : Cannot write logfile (/dev/full). No space left on device; "
            "entries are held until it can be written again\n");
}

struct LoggerCase {
  const char *name;
  unsigned int slots[event_count];
  int enabled_mask;
  unsigned int remain;
  const char *expected;  // entries without time stamps, one per line
};

void PrintTo(const LoggerCase &c, std::ostream *os) {
  *os << c.name;
}

class LoggerEventsTest : public LoggerTest, public testing::WithParamInterface<LoggerCase> {};

std::string strip_stamps(const std::string &text) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    const std::string prefix = std::string(stamp) + " : ";
    if (line.rfind(prefix, 0) == 0) {
      line = line.substr(prefix.size());
    }
    out += line + "|";
    start = end + 1;
  }
  return out;
}

TEST_P(LoggerEventsTest, LogsEventsWhoseSlotIsOne) {
  const LoggerCase &c = GetParam();
  for (int n = 0; n < event_count; ++n) {
    status[n] = c.slots[n];
    settings.log_control[n].enable = (c.enabled_mask >> n) & 1;
  }
  remain_time = c.remain;
  logger();
  EXPECT_EQ(strip_stamps(log()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Events, LoggerEventsTest,
    testing::Values(LoggerCase{"PowerFailWithCountdown",
                               {1, 0, 0, 0, 0, 0, 0, 0},
                               0xff,
                               65,
                               "Power fail detected |Server shutdown in 1:5| |"},
                    LoggerCase{"CountdownAtZero",
                               {1, 0, 0, 0, 0, 0, 0, 0},
                               0xff,
                               0,
                               "Power fail detected |Server shutdown in 0:0| |"},
                    LoggerCase{"PowerFailLoggingOff", {1, 0, 0, 0, 0, 0, 0, 0}, 0xfe, 65, ""},
                    LoggerCase{"OngoingCountsAreSilent", {2, 0, 3, 0, 7, 2, 0, 0}, 0xff, 65, ""},
                    LoggerCase{"LowBatteryThenShutdownThenConnect",
                               {0, 0, 1, 1, 0, 1, 0, 0},
                               0xff,
                               5,
                               "Low battary detected |Powerfail fail timeout, Server is shutdown |"
                               "Establish communication with UPS |"},
                    LoggerCase{
                        "EveryText",
                        {0, 1, 0, 0, 1, 0, 1, 1},
                        0xff,
                        5,
                        "Power is return |Communication with UPS error |Schedule shutdown |"}),
    [](const testing::TestParamInfo<LoggerCase> &case_info) { return case_info.param.name; });

}  // namespace
}  // namespace tornax
