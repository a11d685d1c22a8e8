// The real tornax program in the sandbox, against the simulated UPS running
// in this (outside) process: start-up and its refusals, the files, the
// signals, and events seen in the log.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>

#include "tests/support/sandboxed_daemon.h"

namespace tornax::test {
namespace {

class DaemonE2eTest : public SandboxedDaemonTest {
 protected:
  // The daemon's pid as its own namespace sees it (what the pid file holds).
  std::string namespace_pid() const {
    const std::string status = read_file("/proc/" + std::to_string(daemon) + "/status");
    const std::size_t line = status.find("NSpid:");
    const std::size_t end = status.find('\n', line);
    const std::string nspid = status.substr(line, end - line);
    return nspid.substr(nspid.find_last_of(" \t") + 1);
  }
};

TEST_F(DaemonE2eTest, StartsDetachesAndStopsOnTerm) {
  ASSERT_NO_FATAL_FAILURE(start_configured());
  EXPECT_EQ(run->stdout_text(), daemon_banner);
  EXPECT_EQ(run->stderr_text(),
            "Detect TXSIM-1 Simline 1000VA (230V) on " + sim.slave_path() + "\n");
  EXPECT_EQ(read_file(home.pid_file()), namespace_pid() + "\n");
  const std::string pid = namespace_pid();

  ASSERT_EQ(kill(daemon, SIGTERM), 0);
  EXPECT_EQ(run->wait(), 0);
  EXPECT_NE(home.exits().find(pid + " exit 0\n"), std::string::npos) << home.exits();
  EXPECT_FALSE(test::file_exists(home.pid_file()));
  const std::string log = home.log();
  EXPECT_EQ(log.substr(log.rfind(" : ")), " : *** Daemon stopped *** \n");
}

TEST_F(DaemonE2eTest, NotRootIsRefusedBeforeAnyFileIsTouched) {
  home.configure(sim.slave_path());
  run = home.start({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                    test::built_program("tornax")});
  EXPECT_EQ(run->wait(), 1);
  EXPECT_EQ(run->stderr_text(),
            "Brenmoor Tornax X : You don't have root permission\nBrenmoor Tornax X : Exit\n");
  EXPECT_EQ(run->stdout_text(), "");
  EXPECT_FALSE(test::file_exists(home.pid_file()));
  EXPECT_FALSE(test::file_exists(home.file("tornax.log")));
}

TEST_F(DaemonE2eTest, HomeOfOneHundredFiftyCharactersIsAcceptedAndOneMoreRefused) {
  std::string longest = home.path();
  while (longest.size() < 150) {
    longest += "/" + std::string(std::min<std::size_t>(20, 150 - longest.size() - 1), 'h');
    mkdir(longest.c_str(), 0755);
  }
  ASSERT_EQ(longest.size(), 150u);
  test::TempDir records;
  const std::string config = home.configuration(sim.slave_path());
  std::ofstream(longest + "/tornax.conf") << config;

  test::SandboxRun refused({test::built_program("tornax")}, {"TORNAXHOME=" + longest + "x"},
                           records.path());
  EXPECT_EQ(refused.wait(), 1);
  EXPECT_EQ(refused.stderr_text(),
            "Brenmoor Tornax X : $TORNAXHOME too long\n\nBrenmoor Tornax X : Exit\n");

  test::SandboxRun accepted({test::built_program("tornax")}, {"TORNAXHOME=" + longest},
                            records.path());
  EXPECT_TRUE(wait_until([&] { return test::file_exists(longest + "/tornax.pid"); }));
  const pid_t pid = accepted.find_process("tornax");
  ASSERT_GT(pid, 0);
  kill(pid, SIGTERM);
  EXPECT_EQ(accepted.wait(), 0);
  EXPECT_NE(read_file(longest + "/tornax.log").find("*** Daemon stopped ***"), std::string::npos);
}

TEST_F(DaemonE2eTest, SecondDaemonIsRefusedBeforeItForks) {
  home.configure(sim.slave_path());
  const std::string tornax = test::built_program("tornax");
  const std::string script = tornax + "; while [ ! -s " + home.pid_file() +
                             " ]; do sleep 0.05; done; " + tornax + "; echo second=$?";
  run = home.start({"sh", "-c", script});
  EXPECT_TRUE(wait_until([&] { return run->stdout_text().find("second=") != std::string::npos; }));
  EXPECT_EQ(run->stdout_text(), daemon_banner + "second=1\n");
  err = run->stderr_text();
  EXPECT_NE(err.find("Brenmoor Tornax X : PIDFILE exist\nBrenmoor Tornax X : Exit\n"),
            std::string::npos)
      << err;
  const std::string log = home.log();
  EXPECT_EQ(log.find("*** Daemon started ***"), log.rfind("*** Daemon started ***"));
  daemon = run->find_process("tornax");
  ASSERT_GT(daemon, 0);
  stop_daemon();
}

TEST_F(DaemonE2eTest, StalePidFileIsReplacedWithAWarning) {
  home.configure(sim.slave_path());
  home.dir.write("tornax.pid", "4000000\n");
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  EXPECT_NE(run->stderr_text().find("Brenmoor Tornax X : Replacing stale PIDFILE " +
                                    home.pid_file() + " (no daemon runs with its pid)\n"),
            std::string::npos);
  EXPECT_TRUE(wait_until([&] { return read_file(home.pid_file()) == namespace_pid() + "\n"; }));
  stop_daemon();
}

TEST_F(DaemonE2eTest, ReloadAppliesANewFileAndKeepsTheOldOneWhenTheNewIsBroken) {
  ASSERT_NO_FATAL_FAILURE(start_configured());
  const std::string wall2 = home.file("wall2.out");
  home.configure(sim.slave_path(), "WALLPATH \"cat >> " + wall2 + "\"\n");
  kill(daemon, SIGHUP);
  EXPECT_TRUE(wait_for_log(home, "Reinitialize configuration"));
  EXPECT_TRUE(wait_until([&] {
    return run->stderr_text().find("Brenmoor Tornax X : Reinitial configuration\n") !=
           std::string::npos;
  }));
  // Those lines come before the file is read; the next query comes after.
  EXPECT_TRUE(sim.wait_for_received(sim.received_count() + 1, std::chrono::seconds(20)));

  home.dir.write("tornax.conf", "POWERFAIL_ALERT 0 all\n");  // line 1 ends too early
  kill(daemon, SIGHUP);
  EXPECT_TRUE(wait_for_log(
      home, "Reading the configuration failed; the previous configuration stays in force"));
  EXPECT_NE(
      run->stdout_text().find("Brenmoor Tornax X : Configuration Error! line 2: syntax error \n"),
      std::string::npos)
      << run->stdout_text();

  sim.set_mains(false);  // the alert goes where the last good file said
  EXPECT_TRUE(wait_until([&] {
    return read_file(wall2).find("Brenmoor Tornax X : POWERFAIL alert\n") != std::string::npos;
  }));
  EXPECT_EQ(home.wall(), "");
  EXPECT_EQ(run->find_process("tornax", std::chrono::milliseconds(0)), daemon);
  stop_daemon();
}

TEST_F(DaemonE2eTest, PowerFailAndReturnAreLogged) {
  ASSERT_NO_FATAL_FAILURE(start_configured());
  sim.set_mains(false);
  EXPECT_TRUE(wait_for_log(home, "Power fail detected"));
  EXPECT_TRUE(wait_for_log(home, "Server shutdown in 0:"));
  sim.set_mains(true);
  EXPECT_TRUE(wait_for_log(home, "Power is return"));
  const std::string log = home.log();
  EXPECT_LT(log.find("Power fail detected"), log.find("Power is return"));
  stop_daemon();
}

TEST_F(DaemonE2eTest, SilentUpsDoesNotHoldTheStart) {
  home.configure(sim.slave_path());
  sim.set_silent(true);
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  EXPECT_EQ(run->stdout_text(), daemon_banner);
  EXPECT_EQ(run->stderr_text(), "Detect  (0V) on " + sim.slave_path() + "\n");
  EXPECT_TRUE(wait_for_log(home, "Communication with UPS error"));
  sim.set_silent(false);
  EXPECT_TRUE(wait_for_log(home, "Establish communication with UPS"));
  stop_daemon();
}

TEST_F(DaemonE2eTest, MissingDeviceIsReportedOnceAndOpenedWhenItAppears) {
  const std::string link = home.file("ups");
  home.configure(link);
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  EXPECT_EQ(run->stderr_text(),
            "Brenmoor Tornax X : Cannot open UPS device (" + link +
                "): No such file or directory; monitoring goes on and retries every cycle\n"
                "Detect  (0V) on " +
                link + "\n");
  EXPECT_TRUE(wait_for_log(home, "Communication with UPS error"));
  ASSERT_EQ(symlink(sim.slave_path().c_str(), link.c_str()), 0);
  EXPECT_TRUE(wait_for_log(home, "UPS device " + link + " opened"));
  EXPECT_TRUE(wait_for_log(home, "Establish communication with UPS"));
  stop_daemon();
  EXPECT_EQ(run->stderr_text().find("Cannot open UPS device"),
            run->stderr_text().rfind("Cannot open UPS device"));
}

}  // namespace
}  // namespace tornax::test
