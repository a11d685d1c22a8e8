// Event hooks with the real tornax program in the sandbox: the environment a
// hook gets, a failing hook, a slow one killed at its time-out while the
// cycles go on, a hook made unsafe after the start, the hooks of a shutdown,
// and the refusal of an unsafe hook at the start and by the check.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/sandboxed_daemon.h"

namespace tornax::test {
namespace {

class HooksE2eTest : public SandboxedDaemonTest {
 protected:
  // A hook in the home: a shell script, executable, safe unless `mode` says.
  std::string hook(const std::string &name, const std::string &body, int mode = 0755) {
    return home.dir.write(name, "#!/bin/sh\n" + body + "\n", mode);
  }
  // A hook that notes its start in <name>.out, then runs `body`.
  std::string noting_hook(const std::string &name, const std::string &body = "") {
    return hook(name, "echo started >> " + home.file(name + ".out") + "\n" + body);
  }
  std::string noted(const std::string &name) const { return read_file(home.file(name + ".out")); }
  // The log line about a hook, or "" when there is none.
  std::string log_line(const std::string &about) const {
    std::istringstream lines(home.log());
    for (std::string line; std::getline(lines, line);) {
      if (line.find(about) != std::string::npos) {
        return line.substr(line.find(" : ") + 3);
      }
    }
    return "";
  }
};

TEST_F(HooksE2eTest, EnvironmentFailureTimeOutAndAnUnsafeHook) {
  // The environment exactly as the program received it, without a shell's help.
  const std::string env_hook =
      hook("env", "tr '\\0' '\\n' < /proc/$$/environ > " + home.file("env.tmp") + "\nmv " +
                      home.file("env.tmp") + " " + home.file("env.out"));
  const std::string failing = hook("failing", "exit 3");
  const std::string slow = noting_hook("slow", "sleep 600");
  const std::string unsafe = noting_hook("unsafe");
  home.configure(sim.slave_path(), "EXEC_TIMEOUT 3\nUPS_LOCATION \"lab 2\"\nPOWERFAIL_EXEC " +
                                       env_hook + "\nPOWERRETURN_EXEC " + failing +
                                       "\nCOMM_ERROR_EXEC " + slow + "\nCOMM_CONNECT_EXEC " +
                                       unsafe + "\n");
  ASSERT_NO_FATAL_FAILURE(start_daemon());

  sim.set_mains(false);
  ASSERT_TRUE(wait_until([&] { return test::file_exists(home.file("env.out")); }));
  // Each variable in order, with the values it may take here (none listed:
  // any); the battery drains while the test runs. The line voltage is the
  // cycle's first query: when the mains fail after it, the event's cycle
  // still carries the reading from before.
  const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
      {"PATH", {"/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"}},
      {"TORNAX_EVENT", {"POWERFAIL"}},
      {"TORNAX_MESSAGE", {"Power fail detected"}},
      {"TORNAX_TIME", {}},
      {"TORNAX_STATUS", {"2"}},
      {"TORNAX_LINE_VOLTAGE", {"0", "230.5"}},
      {"TORNAX_OUTPUT_VOLTAGE", {"230"}},
      {"TORNAX_BATTERY_CHARGE", {"100", "99"}},
      {"TORNAX_LOAD", {"40"}},
      {"TORNAX_FREQUENCY", {"50"}},
      {"TORNAX_LOAD_CURRENT", {}},
      {"TORNAX_BACKUP_TIME", {"30", "29"}},
      {"TORNAX_REMAIN_MINUTES", {"30", "29"}},
      {"TORNAX_UPS", {"TXSIM-1 Simline 1000VA"}},
      {"TORNAX_LOCATION", {"lab 2"}},
      {"TORNAX_HOST", {}},
  };
  const std::string env = read_file(home.file("env.out"));
  std::istringstream lines(env);
  std::size_t n = 0;
  for (std::string line; std::getline(lines, line); ++n) {
    ASSERT_LT(n, expected.size()) << env;
    const auto &[name, values] = expected[n];
    ASSERT_EQ(line.substr(0, name.size() + 1), name + "=") << env;
    const std::string value = line.substr(name.size() + 1);
    EXPECT_TRUE(values.empty() || std::find(values.begin(), values.end(), value) != values.end())
        << line;
  }
  EXPECT_EQ(n, expected.size()) << env;
  const std::string time = env.substr(env.find("TORNAX_TIME=") + 12, 25);
  EXPECT_EQ(time.find('\n'), 24u) << time;  // 2026-12-08T10:30:15+0100
  EXPECT_EQ(time[10], 'T') << time;

  sim.set_mains(true);
  ASSERT_TRUE(wait_for_log(home, "POWERRETURN_EXEC"));
  EXPECT_EQ(log_line("POWERRETURN_EXEC"),
            "POWERRETURN_EXEC " + failing + " failed: exit status 3 ");

  // The slow hook neither holds up the cycles nor outlives its time-out.
  ASSERT_EQ(chmod(unsafe.c_str(), 0777), 0);
  sim.set_silent(true);
  ASSERT_TRUE(wait_until([&] { return noted("slow") == "started\n"; }));
  const std::size_t queries = sim.received_count();
  ASSERT_TRUE(wait_for_log(home, "COMM_ERROR_EXEC", std::chrono::seconds(30)));
  EXPECT_EQ(log_line("COMM_ERROR_EXEC"),
            "COMM_ERROR_EXEC " + slow + " killed after EXEC_TIMEOUT (3 s) ");
  EXPECT_GE(sim.received_count(), queries + 2) << "cycles went on meanwhile";
  EXPECT_TRUE(wait_until([&] { return run->find_process("sleep", {}) == 0; }));

  sim.set_silent(false);  // communication back: its hook is unsafe now
  ASSERT_TRUE(wait_for_log(home, "COMM_CONNECT_EXEC"));
  EXPECT_EQ(log_line("COMM_CONNECT_EXEC"),
            "COMM_CONNECT_EXEC " + unsafe +
                " not run: writable by group or others (mode 0777); it must be owned by root "
                "and not writable by group or others ");
  EXPECT_EQ(noted("unsafe"), "");
  EXPECT_TRUE(run->running());
}

// Hooks started before the shutdown have the shutdown script's turn: one
// that ends within it finishes, one that doesn't is killed before the
// sequence goes on.
TEST_F(HooksE2eTest, HooksOfAShutdownHaveTheScriptsTurn) {
  home.dir.write("shutdown.sh", "#!/bin/sh\nsleep 3\n", 0755);
  const std::string quick =
      noting_hook("quick", "sleep 1; echo finished >> " + home.file("quick.out"));
  const std::string endless = noting_hook("endless", "sleep 600");
  home.configure(sim.slave_path(),
                 "POWERFAIL_DOWN_EXEC " + quick + "\nLOWBATT_EXEC " + endless + "\n");
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  sim.set_low_battery(true);
  EXPECT_EQ(run->wait(std::chrono::seconds(90)), halted) << run->stderr_text();
  EXPECT_EQ(noted("quick"), "started\nfinished\n");
  EXPECT_EQ(noted("endless"), "started\n");
  EXPECT_EQ(log_line("LOWBATT_EXEC"), "LOWBATT_EXEC " + endless + " killed: the shutdown goes on ");
  EXPECT_EQ(log_line("POWERFAIL_DOWN_EXEC"), "");
}

// A hook that starts a job and exits at once: the job ends at the hook's
// time-out all the same.
TEST_F(HooksE2eTest, AJobAHookLeftRunningEndsAtItsTimeOut) {
  const std::string leaving = hook("leaving", "sleep 600 &\necho $! > " + home.file("job.pid"));
  home.configure(sim.slave_path(), "EXEC_TIMEOUT 2\nPOWERFAIL_EXEC " + leaving + "\n");
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  sim.set_mains(false);
  ASSERT_TRUE(wait_until([&] { return read_file(home.file("job.pid")).size() > 1; }));
  const pid_t job = run->find_process("sleep");
  ASSERT_GT(job, 0);
  EXPECT_TRUE(wait_until([&] { return !process_alive(job); }, std::chrono::seconds(30)));
  EXPECT_TRUE(wait_for_log(home, "POWERFAIL_EXEC " + leaving +
                                     " left processes behind: killed after EXEC_TIMEOUT (2 s)"));
  EXPECT_TRUE(run->running());
}

TEST_F(HooksE2eTest, AnUnsafeHookRefusesTheStartAndTheCheck) {
  const std::string unsafe = hook("unsafe", "", 0775);
  home.configure(sim.slave_path(), "OVERLOAD_EXEC " + unsafe + "\n");
  const std::string refusal = daemon_title + "Refusing OVERLOAD_EXEC " + unsafe +
                              ": writable by group or others (mode 0775); it must be owned by "
                              "root and not writable by group or others\n" +
                              daemon_title + "Exit\n";
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{}, std::vector<std::string>{"-t"}}) {
    EXPECT_EQ(run_to_end(args), 1);
    EXPECT_EQ(err, refusal);
  }
  EXPECT_FALSE(test::file_exists(home.pid_file()));
}

// The shipped examples, run in the sandbox as the daemon runs them (only the
// TORNAX_* variables and PATH), against recording sendmail and curl.
TEST_F(HooksE2eTest, TheExampleHooksSendWhatTheyAreTold) {
  const std::string tools = home.dir.file("tools");
  ASSERT_EQ(mkdir(tools.c_str(), 0755), 0);
  const std::string record = home.file("sent");
  home.dir.write("tools/sendmail",
                 "#!/bin/sh\necho \"$*\" > " + record + "\ncat >> " + record + "\n", 0755);
  home.dir.write("tools/curl",
                 "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > " + record + "\n", 0755);
  const std::vector<std::string> env = {"env",
                                        "-i",
                                        "PATH=" + tools + ":/usr/bin:/bin",
                                        "TORNAX_EVENT=POWERFAIL",
                                        "TORNAX_MESSAGE=Power fail detected",
                                        "TORNAX_TIME=2026-12-08T10:30:15+0100",
                                        "TORNAX_HOST=web 1",
                                        "TORNAX_UPS=TXSIM-1 Simline",
                                        "TORNAX_LOCATION=lab 2",
                                        "TORNAX_LINE_VOLTAGE=0",
                                        "TORNAX_BATTERY_CHARGE=87",
                                        "TORNAX_LOAD=40",
                                        "TORNAX_BACKUP_TIME=26",
                                        "TORNAX_REMAIN_MINUTES=21"};
  const struct {
    const char *name;
    std::string sent;
  } cases[] = {
      {"mail",
       "-t -oi\nTo: root\nSubject: [tornax] POWERFAIL on web 1: Power fail detected\n\n"
       "Power fail detected (POWERFAIL) at 2026-12-08T10:30:15+0100 on web 1.\n\n"
       "UPS:            TXSIM-1 Simline (lab 2)\nLine voltage:   0 V\nBattery:        87 %\n"
       "Load:           40 %\nBackup time:    26 min\n"
       "Time left before the shutdown: 21 min\n"},
      {"webhook",
       "[--silent]\n[--show-error]\n[--fail]\n[--max-time]\n[20]\n[--header]\n"
       "[Content-Type: application/json]\n[--data-binary]\n"
       "[{\"event\":\"POWERFAIL\",\"message\":\"Power fail detected\","
       "\"time\":\"2026-12-08T10:30:15+0100\",\"host\":\"web 1\",\"ups\":\"TXSIM-1 Simline\","
       "\"location\":\"lab 2\",\"battery_charge\":87,\"backup_minutes\":26,"
       "\"remain_minutes\":21}]\n[https://hooks.example.org/tornax]\n"},
      {"push",
       "[--silent]\n[--show-error]\n[--fail]\n[--max-time]\n[20]\n[--header]\n"
       "[Title: UPS on web 1: Power fail detected]\n[--header]\n[Priority: high]\n"
       "[--data-binary]\n[Power fail detected at 2026-12-08T10:30:15+0100. Battery 87 %, 21 min "
       "left before the shutdown.]\n[https://ntfy.sh/replace-with-a-secret-topic]\n"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> argv = env;
    argv.push_back(std::string(TORNAX_SOURCE_DIR) + "/packaging/hooks/" + c.name);
    test::SandboxRun sandbox(argv, {}, home.records.path());
    EXPECT_EQ(sandbox.wait(), 0) << c.name << ": " << sandbox.stderr_text();
    EXPECT_EQ(read_file(record), c.sent) << c.name;
  }
}

}  // namespace
}  // namespace tornax::test
