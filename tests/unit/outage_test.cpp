#include "daemon/core/outage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "daemon/core/clock.h"
#include "daemon/core/util.h"
#include "tests/kit/files.h"
#include "tests/support/daemon_state.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::file_exists;
using test::read_file;

TEST(OutageRecordTest, TextRoundTripAndGarbage) {
  const OutageRecord record{1796582661, "0f1e2d3c-aaaa", 1234};
  const std::optional<OutageRecord> back = parse_outage_record(format_outage_record(record));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->began, record.began);
  EXPECT_EQ(back->boot_id, record.boot_id);
  EXPECT_EQ(back->boot_seconds, record.boot_seconds);
  for (const char *garbage : {"", "began x\n", "began 1\nboot b\n", "began 1\nuptime 2\n",
                              "began 1\nboot b\nuptime -3\n", "began 1\nboot b\nuptime 2\nx 1\n"}) {
    EXPECT_FALSE(parse_outage_record(garbage)) << garbage;
  }
}

TEST(ResumedCountTest, SecondsOnBatteryShortOfTheTimeout) {
  const BootTime now{"boot-a", 1000};
  struct Case {
    OutageRecord record;
    unsigned int timeout;
    unsigned int expected;
  };
  const Case cases[] = {
      {{0, "boot-a", 925}, 600, 75},
      {{0, "boot-a", 1000}, 600, 1},   // began this second: still a count
      {{0, "boot-a", 100}, 600, 599},  // past the timeout: the next mark reaches it
      {{0, "boot-a", 100}, 0, 900},    // no timeout: nothing to stay short of
      {{0, "boot-b", 925}, 600, 0},    // the host went down since
      {{0, "boot-a", 1001}, 600, 0},   // from the future
  };
  for (const Case &c : cases) {
    EXPECT_EQ(resumed_count(c.record, now, c.timeout), c.expected)
        << c.record.boot_id << " " << c.record.boot_seconds << " " << c.timeout;
  }
}

BootTime fake_boot() {
  return {"boot-a", 1000};
}

class OutageRecorderTest : public test::DaemonStateTest {
 protected:
  void SetUp() override {
    DaemonStateTest::SetUp();
    test::use_utc_time_zone();
    set_clock_function(test::fixed_now);
    std::snprintf(outage_filename, sizeof outage_filename, "%s",
                  home.file("tornax.outage").c_str());
    std::snprintf(log_filename, sizeof log_filename, "%s", home.file("tornax.log").c_str());
    settings.powerfail_timeout = 600;
  }
  // The identification's replies, as they left the prefix queue.
  static void identified(const char *marks, float linenormal) {
    last_prefixqueue = static_cast<int>(std::strlen(marks));
    std::memcpy(prefixqueue + 1, marks, std::strlen(marks));
    ups_linenormal = linenormal;
  }
  std::string log() const { return read_file(home.file("tornax.log")); }

  test::TempDir home;
  OutageRecorder recorder{fake_boot};
};

TEST_F(OutageRecorderTest, RecordedWhenTheOutageBeginsAndRemovedWhenItEnds) {
  recorder.after_cycle();
  EXPECT_FALSE(file_exists(outage_filename));
  status[POWERFAIL] = 3;  // first seen three counts in
  recorder.after_cycle();
  EXPECT_EQ(read_file(outage_filename), "began 1796582659\nboot boot-a\nuptime 998\n");
  status[POWERFAIL] = 0;
  recorder.after_cycle();
  EXPECT_FALSE(file_exists(outage_filename));
  EXPECT_EQ(log(), "");
}

TEST_F(OutageRecorderTest, StartResumesOnBatteryAndDropsOtherwise) {
  struct Case {
    const char *name;
    const char *boot;
    const char *marks;
    float linenormal;
    unsigned int count;
    bool kept;
    const char *logged;
  };
  const Case cases[] = {
      {"on battery", "boot-a", "!", 230, 75, true, ""},
      {"low battery", "boot-a", " *", 230, 75, true, ""},
      {"power back", "boot-a", "!$", 230, 0, false,
       "Power came back while the daemon was not running"},
      {"on line", "boot-a", "", 230, 0, false, "Power came back while the daemon was not running"},
      {"another boot", "boot-b", "!", 230, 0, false, ""},
      {"no answer", "boot-a", "", 0, 0, true, ""},
  };
  for (const Case &c : cases) {
    SetUp();  // a fresh daemon each time
    home.write("tornax.outage", format_outage_record({test::fixed_now() - 75, c.boot, 925}));
    home.write("tornax.log", "");
    identified(c.marks, c.linenormal);
    OutageRecorder fresh{fake_boot};
    fresh.start();
    EXPECT_EQ(status[POWERFAIL], c.count) << c.name;
    EXPECT_EQ(file_exists(outage_filename), c.kept) << c.name;
    const std::string logged =
        c.count != 0 ? "Resuming the power failure that began at [12/06/26] 18:43:06: 75 seconds "
                       "on battery so far"
                     : c.logged;
    const std::string expected_log =
        logged.empty() ? "" : "[12/06/26] 18:44:21 : " + logged + " \n";
    EXPECT_EQ(log(), expected_log) << c.name;
  }
}

// A UPS that did not answer the identification: the first answered cycle
// tells whether the outage goes on.
TEST_F(OutageRecorderTest, SilentStartIsSettledByTheFirstAnsweredCycle) {
  home.write("tornax.outage", format_outage_record({test::fixed_now() - 75, "boot-a", 925}));
  recorder.start();
  status[COMM_ERROR] = 1;
  recorder.after_cycle();
  EXPECT_TRUE(file_exists(outage_filename));
  status[COMM_ERROR] = 0;
  status[POWERFAIL] = 1;
  recorder.after_cycle();
  EXPECT_EQ(status[POWERFAIL], 75u);
  EXPECT_TRUE(file_exists(outage_filename));
  EXPECT_NE(log().find("75 seconds on battery so far"), std::string::npos);
}

}  // namespace
}  // namespace tornax
