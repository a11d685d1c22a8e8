// The real tornax program in the sandbox tells people about a power failure
// played by the simulated UPS: alerts through the wall command (with the
// countdown line) or on the console, and pages written to the modem device.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "sim/simulated_ups.h"
#include "tests/support/daemon_home.h"
#include "tests/support/sim_fixture.h"

namespace tornax {
namespace {

using test::DaemonHome;
using test::read_file;
using test::wait_for_log;
using test::wait_until;

const std::string title = "Brenmoor Tornax X : ";

class NotificationE2eTest : public testing::Test {
 protected:
  void SetUp() override { sim.start(); }
  void TearDown() override { sim.stop(); }

  void start(const std::string &extra) {
    home.configure(sim.slave_path(), extra);
    run = test::start_daemon(home);
    daemon = run->find_process("tornax");
    ASSERT_GT(daemon, 0) << run->stderr_text();
  }
  // Lets `cycles` more monitoring cycles poll the UPS (eight queries each).
  bool let_cycles_pass(std::size_t cycles) {
    return sim.wait_for_received(sim.received_count() + cycles * 8, std::chrono::seconds(20));
  }
  // Stops the daemon between two cycles, so everything the last cycle
  // alerted or paged has been written.
  void stop() {
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_EQ(run->wait(), 0) << run->stderr_text();
  }

  SimulatedUps sim{test::test_ups_options()};
  DaemonHome home;
  std::unique_ptr<test::SandboxRun> run;
  pid_t daemon = 0;
};

TEST_F(NotificationE2eTest, PowerFailIsBroadcastWithItsCountdownAndPagedOnce) {
  const std::string modem = home.dir.write("modem", "ATZ\n");
  // 125 minutes before the power-fail shutdown: the countdown reads 2:5.
  ASSERT_NO_FATAL_FAILURE(
      start("BACKUPTIME 125\n"
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
  stop();

  EXPECT_EQ(home.wall(), title + "POWERFAIL alert\n" + title +
                             "You have aproximate 2:5 Hour, before server shutdown.\n" + title +
                             "POWERRETURN alert\n");
  EXPECT_EQ(read_file(modem), "ATZ\nATDT5550100;mains lost\nATDT5550100;mains back\n");
  EXPECT_EQ(read_file(run->record_dir() + "/console"), "");
}

TEST_F(NotificationE2eTest, ConsoleAlertLandsOnTheConsoleAndScopeNoneNowhere) {
  ASSERT_NO_FATAL_FAILURE(
      start("BACKUPTIME 90\n"
            "POWERFAIL_ALERT 0 console \"Mains lost, on battery\"\n"
            "POWERRETURN_ALERT 0 none \"never shown\"\n"));

  sim.set_mains(false);
  ASSERT_TRUE(wait_for_log(home, "Power fail detected"));
  sim.set_mains(true);
  ASSERT_TRUE(wait_for_log(home, "Power is return"));
  stop();

  EXPECT_EQ(read_file(run->record_dir() + "/console"),
            title + "Mains lost, on battery\n" + title +
                "You have aproximate 1:30 Hour, before server shutdown.\n");
  EXPECT_EQ(home.wall(), "");
  EXPECT_EQ(run->actions(), "");  // no stub (the system's wall among them) was called
}

TEST_F(NotificationE2eTest, MissingModemIsReportedPerPageAndNeverCreated) {
  const std::string modem = home.file("no-such-modem");
  ASSERT_NO_FATAL_FAILURE(
      start("BACKUPTIME 10\n"
            "MODEM_DEVICE " +
            modem +
            "\n"
            "POWERFAIL_PAGER yes \"mains lost\"\n"
            "POWERRETURN_PAGER yes \"mains back\"\n"));

  sim.set_mains(false);
  ASSERT_TRUE(wait_for_log(home, "Power fail detected"));
  sim.set_mains(true);
  ASSERT_TRUE(wait_for_log(home, "Power is return"));
  ASSERT_TRUE(let_cycles_pass(1));  // monitoring goes on after the failed pages
  stop();

  const std::string failure = title + "Cannot open modem device (" + modem + ")\n";
  const std::string err = run->stderr_text();
  const std::size_t first = err.find(failure);
  ASSERT_NE(first, std::string::npos) << err;
  EXPECT_EQ(err.substr(first), failure + failure);
  EXPECT_FALSE(test::file_exists(modem));
  // The alerts still went out.
  EXPECT_EQ(home.wall(), title + "POWERFAIL alert\n" + title +
                             "You have aproximate 0:10 Hour, before server shutdown.\n" + title +
                             "POWERRETURN alert\n");
}

}  // namespace
}  // namespace tornax
