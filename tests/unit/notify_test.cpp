#include "daemon/report/notify.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/support/recording_notifier.h"

namespace tornax {
namespace {

TEST(ServiceStatusTextTest, StateInOneLine) {
  struct Case {
    ServiceState state;
    const char *expected;
  };
  const Case cases[] = {
      {{true, false, 100.0f, 30, 0}, "on line, battery 100%, 30 min left, 0 clients"},
      {{true, true, 87.4f, 42, 1}, "on battery, battery 87%, 42 min left, 1 client"},
      {{false, true, 87.4f, 42, 2}, "UPS not answering, 2 clients"},
      // Readings come from the UPS: absurd ones stay printable.
      {{true, false, std::nanf(""), 0, 3}, "on line, battery 0%, 0 min left, 3 clients"},
      {{true, false, -5.0f, 0, 0}, "on line, battery 0%, 0 min left, 0 clients"},
      {{true, false, 1e30f, 4294967295u, 0},
       "on line, battery 999%, 4294967295 min left, 0 clients"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(service_status_text(c.state), c.expected);
  }
}

TEST(ServiceReportsTest, ReadyOnceStatusOnChangeWatchdogEveryCycle) {
  test::RecordingNotifier notifier;
  ServiceReports reports(notifier);
  const ServiceState on_line{true, false, 100.0f, 30, 0};
  ServiceState on_battery = on_line;
  on_battery.on_battery = true;
  reports.cycle_completed(on_line);
  reports.cycle_completed(on_line);
  reports.reloading();
  reports.reloaded();
  reports.cycle_completed(on_battery);
  reports.stopping();
  reports.shutting_down();
  ASSERT_EQ(notifier.messages.size(), 7u);
  EXPECT_EQ(notifier.messages[0],
            "WATCHDOG=1\nREADY=1\nSTATUS=on line, battery 100%, 30 min left, 0 clients");
  EXPECT_EQ(notifier.messages[1], "WATCHDOG=1");
  EXPECT_EQ(notifier.messages[2].rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u);
  EXPECT_EQ(notifier.messages[3], "READY=1");
  EXPECT_EQ(notifier.messages[4],
            "WATCHDOG=1\nSTATUS=on battery, battery 100%, 30 min left, 0 clients");
  EXPECT_EQ(notifier.messages[5], "STOPPING=1");
  EXPECT_EQ(notifier.messages[6],
            "WATCHDOG=1\nWATCHDOG_USEC=86400000000\nSTATUS=shutting the host down");
}

}  // namespace
}  // namespace tornax
