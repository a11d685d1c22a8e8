// The real tornax program in the sandbox tells people about a power failure
// played by the simulated UPS: alerts through the wall command (with the
// countdown line) or on the console, and pages written to the modem device.
#include <string>

#include "tests/support/sandboxed_daemon.h"

namespace tornax::test {
namespace {

class NotificationE2eTest : public SandboxedDaemonTest {
 protected:
  // Mains lost and back, each seen by the daemon.
  void lose_and_restore_mains() {
    sim.set_mains(false);
    ASSERT_TRUE(wait_for_log(home, "Power fail detected"));
    sim.set_mains(true);
    ASSERT_TRUE(wait_for_log(home, "Power is return"));
  }
};

TEST_F(NotificationE2eTest, PowerFailIsBroadcastWithItsCountdownAndPagedOnce) {
  const std::string modem = home.dir.write("modem", "ATZ\n");
  // 125 minutes before the power-fail shutdown: the countdown reads 2:5.
  ASSERT_NO_FATAL_FAILURE(
      start_configured("BACKUPTIME 125\n"
                       "MODEM_DEVICE " +
                       modem +
                       "\n"
                       "POWERFAIL_PAGER yes \"ATDT5550100;mains lost\"\n"
                       "POWERRETURN_PAGER yes \"ATDT5550100;mains back\"\n"
                       "COMM_ERROR_PAGER no \"never sent\"\n"));

  sim.set_mains(false);
  ASSERT_TRUE(wait_until([&] { return home.wall().find("shutdown.") != std::string::npos; }))
      << home.wall();
  ASSERT_TRUE(let_cycles_pass(3));  // the outage goes on: no second alert, no second page
  sim.set_mains(true);
  ASSERT_TRUE(wait_for_log(home, "Power is return"));
  stop_daemon();

  EXPECT_EQ(home.wall(), daemon_title + "POWERFAIL alert\n" + daemon_title +
                             "You have aproximate 2:5 Hour, before server shutdown.\n" +
                             daemon_title + "POWERRETURN alert\n");
  EXPECT_EQ(read_file(modem), "ATZ\nATDT5550100;mains lost\nATDT5550100;mains back\n");
  EXPECT_EQ(read_file(run->record_dir() + "/console"), "");
}

TEST_F(NotificationE2eTest, ConsoleAlertLandsOnTheConsoleAndScopeNoneNowhere) {
  ASSERT_NO_FATAL_FAILURE(
      start_configured("BACKUPTIME 90\n"
                       "POWERFAIL_ALERT 0 console \"Mains lost, on battery\"\n"
                       "POWERRETURN_ALERT 0 none \"never shown\"\n"));

  ASSERT_NO_FATAL_FAILURE(lose_and_restore_mains());
  stop_daemon();

  EXPECT_EQ(read_file(run->record_dir() + "/console"),
            daemon_title + "Mains lost, on battery\n" + daemon_title +
                "You have aproximate 1:30 Hour, before server shutdown.\n");
  EXPECT_EQ(home.wall(), "");
  EXPECT_EQ(run->actions(), "");  // no stub (the system's wall among them) was called
}

TEST_F(NotificationE2eTest, MissingModemIsReportedPerPageAndNeverCreated) {
  const std::string modem = home.file("no-such-modem");
  ASSERT_NO_FATAL_FAILURE(
      start_configured("BACKUPTIME 10\n"
                       "MODEM_DEVICE " +
                       modem +
                       "\n"
                       "POWERFAIL_PAGER yes \"mains lost\"\n"
                       "POWERRETURN_PAGER yes \"mains back\"\n"));

  ASSERT_NO_FATAL_FAILURE(lose_and_restore_mains());
  ASSERT_TRUE(let_cycles_pass(1));  // monitoring goes on after the failed pages
  stop_daemon();

  const std::string failure = daemon_title + "Cannot open modem device (" + modem + ")\n";
  err = run->stderr_text();
  const std::size_t first = err.find(failure);
  ASSERT_NE(first, std::string::npos) << err;
  EXPECT_EQ(err.substr(first), failure + failure);
  EXPECT_FALSE(test::file_exists(modem));
  // The alerts still went out.
  EXPECT_EQ(home.wall(), daemon_title + "POWERFAIL alert\n" + daemon_title +
                             "You have aproximate 0:10 Hour, before server shutdown.\n" +
                             daemon_title + "POWERRETURN alert\n");
}

}  // namespace
}  // namespace tornax::test
