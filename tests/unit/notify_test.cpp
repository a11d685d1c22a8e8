#include "daemon/report/notify.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/kit/files.h"
#include "tests/support/notify_socket.h"
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

TEST(NotifyAddressTest, PathsAndAbstractNamesOnly) {
  EXPECT_EQ(notify_address("/run/systemd/notify")->second,
            offsetof(sockaddr_un, sun_path) + sizeof "/run/systemd/notify");
  const auto abstract = notify_address("@/org/example/notify");
  ASSERT_TRUE(abstract);
  EXPECT_EQ(abstract->first.sun_path[0], '\0');
  EXPECT_EQ(abstract->second, offsetof(sockaddr_un, sun_path) + 20);  // no terminating NUL
  const std::string texts[] = {"", "@", "relative/path", "vsock:2:1234",
                               "/" + std::string(sizeof(sockaddr_un::sun_path), 'x')};
  for (const std::string &text : texts) {
    EXPECT_FALSE(notify_address(text)) << text;
  }
  EXPECT_EQ(without_watchdog("WATCHDOG=1\nREADY=1\nSTATUS=x"), "READY=1\nSTATUS=x");
  EXPECT_EQ(without_watchdog("WATCHDOG=1"), "");
}

// The manager's socket as it names it, by path or abstract; WATCHDOG_PID
// naming another process keeps the petting back; children stay silent.
TEST(SystemdNotifierTest, SpeaksTheProtocolToItsSocketOnly) {
  test::TempDir dir;
  const std::string abstract = "@tornax-notify-test-" + std::to_string(getpid());
  for (const std::string &address : {dir.file("notify"), abstract}) {
    for (const std::string &watchdog_pid :
         {std::string(), std::to_string(getpid()), std::to_string(getpid() + 1)}) {
      SCOPED_TRACE(address + ", WATCHDOG_PID " + watchdog_pid);
      test::NotifySocket manager(address);
      setenv("NOTIFY_SOCKET", address.c_str(), 1);
      setenv("WATCHDOG_USEC", "30000000", 1);
      if (!watchdog_pid.empty()) {
        setenv("WATCHDOG_PID", watchdog_pid.c_str(), 1);
      }
      SystemdNotifier notifier;
      EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);
      EXPECT_EQ(getenv("WATCHDOG_PID"), nullptr);
      EXPECT_EQ(getenv("WATCHDOG_USEC"), nullptr);
      ASSERT_TRUE(notifier.listening());
      const pid_t child = fork();
      if (child == 0) {
        notifier.notify("READY=1\nSTATUS=from the child");
        _exit(0);
      }
      waitpid(child, nullptr, 0);
      notifier.notify("WATCHDOG=1\nREADY=1");
      const bool ours = watchdog_pid.empty() || watchdog_pid == std::to_string(getpid());
      EXPECT_EQ(manager.next(), ours ? "WATCHDOG=1\nREADY=1" : "READY=1");
      EXPECT_EQ(manager.next(std::chrono::milliseconds(50)), std::nullopt);
    }
  }
}

}  // namespace
}  // namespace tornax
