// The real tornax program in the sandbox as an administrator and a service
// manager meet it: its options, the configuration check, the refusal of an
// unsafe file, the notifications of a foreground daemon, and a restart
// during an outage that resumes the power-fail count.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "daemon/core/options.h"
#include "daemon/core/outage.h"
#include "tests/support/notify_socket.h"
#include "tests/support/sandboxed_daemon.h"

namespace tornax::test {
namespace {

class OperationsE2eTest : public SandboxedDaemonTest {
 protected:
  std::set<std::string> home_files() const {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(home.path())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }
};

TEST_F(OperationsE2eTest, HelpVersionAndUsageErrors) {
  EXPECT_EQ(run_to_end({"-h"}), 0);
  EXPECT_EQ(out, usage_text());
  EXPECT_EQ(err, "");
  EXPECT_EQ(run_to_end({"-V"}), 0);
  EXPECT_EQ(out, daemon_banner);
  EXPECT_EQ(run_to_end({"-x"}), 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, daemon_title + "unknown option -x\n" + usage_text());
  EXPECT_EQ(run_to_end({"start"}), 1);
  EXPECT_EQ(err, daemon_title + "unexpected argument start\n" + usage_text());
}

TEST_F(OperationsE2eTest, CheckReadsAsTheDaemonDoesAndTouchesNothing) {
  home.configure(sim.slave_path(), "MAX_CLIENT 3\n");
  const std::set<std::string> before = home_files();
  EXPECT_EQ(run_to_end({"-t"}), 0) << err;
  const std::string summary_start = "configuration OK\nUPS device: " + sim.slave_path() + "\n";
  EXPECT_EQ(out.substr(0, summary_start.size()), summary_start) << out;
  EXPECT_NE(out.find("\nStatus server: port 4004 on every IPv4 and IPv6 address, at most 3 "
                     "clients at once\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(err, "");
  // Any user who can read the file, without a UPS.
  ASSERT_EQ(chmod(home.path().c_str(), 0755), 0);
  const std::string summary = out;
  EXPECT_EQ(run_to_end({"-t"}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}), 0)
      << err;
  EXPECT_EQ(out, summary);
  EXPECT_EQ(home_files(), before);
  EXPECT_EQ(sim.received_count(), 0u);

  home.dir.write("tornax.conf", "LOGSIZE\n");
  EXPECT_EQ(run_to_end({"-t"}), 1);
  EXPECT_EQ(out, daemon_title + "Configuration Error! line 2: syntax error \n");
  home.dir.write("tornax.conf", "WALLPATH wall\n");
  EXPECT_EQ(run_to_end({"-t"}), 1);
  EXPECT_EQ(err, daemon_title + "POWERFAIL_ALERT tag not found\n" + daemon_title + "Exit\n");
  home.dir.write("tornax.conf", std::string(9000, 'x') + "\n");
  EXPECT_EQ(run_to_end({"-t"}), 1);  // the daemon's start-up ends with 2 here
  EXPECT_EQ(err, "token too large, exceeds YYLMAX\n");
}

TEST_F(OperationsE2eTest, UnsafeFileRefusesTheStartAndTheCheck) {
  home.configure(sim.slave_path());
  const std::string config = home.file("tornax.conf");
  ASSERT_EQ(chmod(config.c_str(), 0664), 0);
  const std::string refusal = daemon_title + "Refusing " + config +
                              ": writable by group or others (mode 0664); it must be owned by "
                              "root and not writable by group or others\n" +
                              daemon_title + "Exit\n";
  EXPECT_EQ(run_to_end({}), 1);
  EXPECT_EQ(err, refusal);
  EXPECT_EQ(out, "");
  EXPECT_EQ(run_to_end({"-t"}), 1);
  EXPECT_EQ(err, refusal);
  EXPECT_FALSE(test::file_exists(home.pid_file()));
  EXPECT_FALSE(test::file_exists(home.file("tornax.log")));
}

// The session a process belongs to, from /proc.
pid_t session_of(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string state;
  pid_t parent = 0, group = 0, session = 0;
  fields >> state >> parent >> group >> session;
  return session;
}

TEST_F(OperationsE2eTest, ForegroundDaemonTalksToTheServiceManager) {
  home.configure(sim.slave_path());
  test::NotifySocket systemd(home.file("notify"));
  run = home.start({test::built_program("tornax"), "-f"},
                   {systemd.environment(), "WATCHDOG_USEC=30000000"});
  EXPECT_EQ(systemd.next(),
            "WATCHDOG=1\nREADY=1\nSTATUS=on line, battery 100%, 30 min left, 0 clients");
  EXPECT_EQ(systemd.next(), "WATCHDOG=1");  // every cycle
  daemon = run->find_process("tornax");
  ASSERT_GT(daemon, 0);
  EXPECT_NE(session_of(daemon), daemon);  // neither forked nor detached
  EXPECT_EQ(run->stdout_text(), daemon_banner);

  sim.set_mains(false);
  EXPECT_TRUE(systemd.next_starting("WATCHDOG=1\nSTATUS=on battery, battery "));
  ASSERT_EQ(kill(daemon, SIGHUP), 0);
  EXPECT_TRUE(systemd.next_starting("RELOADING=1\nMONOTONIC_USEC="));
  EXPECT_EQ(systemd.next(), "READY=1");
  ASSERT_EQ(kill(daemon, SIGTERM), 0);
  EXPECT_TRUE(systemd.next_starting("STOPPING=1"));
  EXPECT_EQ(run->wait(), 0);
}

// The outage record of the home, with its start moved `seconds` earlier.
void age_outage(const DaemonHome &home, long long seconds) {
  std::optional<OutageRecord> record = parse_outage_record(read_file(home.file("tornax.outage")));
  ASSERT_TRUE(record);
  record->began -= seconds;
  record->boot_seconds -= seconds;
  home.dir.write("tornax.outage", format_outage_record(*record));
}

TEST_F(OperationsE2eTest, RestartDuringAnOutageDoesNotPostponeTheShutdown) {
  ASSERT_NO_FATAL_FAILURE(start_configured("BACKUPTIME 1\n"));
  const std::string outage = home.file("tornax.outage");
  sim.set_mains(false);
  ASSERT_TRUE(wait_for_log(home, "Power fail detected"));
  ASSERT_TRUE(wait_until([&] { return test::file_exists(outage); }));
  const std::string recorded = read_file(outage);
  ASSERT_TRUE(let_cycles_pass(3));
  stop_daemon();
  EXPECT_EQ(read_file(outage), recorded);  // a stop is no end of the outage

  ASSERT_NO_FATAL_FAILURE(start_daemon());
  ASSERT_TRUE(wait_for_log(home, "Resuming the power failure that began at "));
  const std::string log = home.log();
  const std::size_t so_far = log.find(" seconds on battery so far");
  ASSERT_NE(so_far, std::string::npos) << log;
  EXPECT_GE(std::stoi(log.substr(log.rfind(": ", so_far) + 2)), 3) << log;
  stop_daemon();

  // Down for longer than BACKUPTIME: the host goes down in the first cycle.
  age_outage(home, 120);
  run = home.start();
  EXPECT_EQ(run->wait(std::chrono::seconds(90)), halted) << run->stderr_text();
  EXPECT_NE(home.log().find("59 seconds on battery so far"), std::string::npos) << home.log();
  EXPECT_NE(home.log().find("Powerfail fail timeout, Server is shutdown"), std::string::npos);
  EXPECT_EQ(occurrences(home.log(), "Power fail detected"), 1u) << home.log();
}

}  // namespace
}  // namespace tornax::test
