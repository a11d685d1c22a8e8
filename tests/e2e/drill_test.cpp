// tornax-drill on an administrator's configuration, the program of this build
// on the daemon beside it: what it finds wrong with a faulty one, that
// it runs neither the shutdown script nor the hooks unless asked, the
// shortened power-fail timeout on the sample configuration, and a
// configuration the daemon refuses. The demo's test covers the default
// scenario with --run-script and a client on the sample configuration.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/kit/files.h"
#include "tests/support/script_run.h"

namespace tornax {
namespace {

using namespace std::chrono_literals;
using test::narration;
using test::read_file;

const char *const events[] = {"POWERFAIL",  "POWERRETURN",  "LOWBATT",       "POWERFAIL_DOWN",
                              "COMM_ERROR", "COMM_CONNECT", "SCHEDULE_DOWN", "OVERLOAD"};

// The administrator's home: a configuration and a script that writes where
// it ran and what TORNAX_DRILL said into `ran`.
struct AdminHome {
  test::TempDir dir{"tornax-drill-home"};
  std::string ran = dir.file("ran");
  AdminHome(const std::string &config, int script_mode) {
    chmod(dir.path().c_str(), 0755);
    dir.write("tornax.conf", config);
    dir.write("shutdown.sh", "#!/bin/sh\necho \"drill=$TORNAX_DRILL\" >> '" + ran + "'\n",
              script_mode);
  }
};

// One run of the drill; its files in `run`.
struct DrillRun {
  test::TempDir dir{"tornax-drill-run"};
  std::string run = dir.file("run");
  test::ScriptRun script;
  DrillRun(const std::string &home, std::vector<std::string> args)
      : script(dir, std::string(TORNAX_BINARY_DIR) + "/tornax-drill", with_common(args, home)) {}
  std::vector<std::string> with_common(std::vector<std::string> &args, const std::string &home) {
    args.insert(args.begin(), {"--dir", run});
    args.push_back(home);
    return args;
  }
  std::string file(const std::string &name) const { return read_file(run + "/" + name); }
  std::string summary() const {
    const std::string out = script.output();
    const std::size_t at = out.find("==== Summary");
    return at == std::string::npos ? out : out.substr(at);
  }
};

std::string part(const std::string &summary, const std::string &title) {
  const std::size_t at = summary.find(title);
  if (at == std::string::npos) {
    return "";
  }
  std::size_t end = at;
  while ((end = summary.find('\n', end + 1)) != std::string::npos &&
         summary.compare(end + 1, 2, "  ") == 0) {
  }
  return summary.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
}

// A configuration that tells nobody of a power failure, pages without a
// modem, has no shutdown before the battery is empty, leaves the UPS on, has
// a script that is not executable and a hook that would mail.
std::string faulty_configuration(const std::string &hook) {
  std::string text =
      "UPS_DEVICE /dev/ttyS0\nWALLPATH /usr/bin/wall\nTURNOFF_UPS no\n"
      "SILENT_SHUTDOWN 0\nLOWBATT_PAGER yes \"ATDT1\"\nLOWBATT_EXEC " +
      hook + "\n";
  for (const std::string e : events) {
    text += e + "_ALERT 0 " + (e == "LOWBATT" ? "all" : "none") + " \"" + e + " text\"\n" + e +
            "_LOG yes\n";
  }
  return text;
}

TEST(Drill, FaultyConfigurationOutageIsFoundAndNothingRealRuns) {
  test::TempDir hooks{"tornax-drill-hook"};
  chmod(hooks.path().c_str(), 0755);
  const std::string hook =
      hooks.write("mail", "#!/bin/sh\ntouch '" + hooks.file("mailed") + "'\n", 0755);
  AdminHome home(faulty_configuration(hook), 0644);
  DrillRun drill(home.dir.path(), {});
  ASSERT_EQ(drill.script.wait_exit(), 1) << drill.script.output() << drill.script.errors();
  EXPECT_EQ(drill.script.errors(), "");

  // Neither the script (not executable, and not asked for) nor the hook ran.
  EXPECT_FALSE(test::file_exists(home.ran));
  EXPECT_FALSE(test::file_exists(hooks.file("mailed")));
  EXPECT_EQ(drill.file("hooks.out"), "would run " + hook + " (TORNAX_EVENT=LOWBATT)\n");
  EXPECT_EQ(drill.file("daemon.status"), "130\n");
  const std::vector<std::string> said = narration(drill.script.output(), "drill");
  EXPECT_NE(std::find(said.begin(), said.end(),
                      "the LOWBATT_EXEC hook is not run: the drill says when it would run " + hook),
            said.end());
  EXPECT_EQ(narration(drill.script.output(), "wall"),
            std::vector<std::string>{"Brenmoor Tornax X : LOWBATT text"});

  const std::string summary = drill.summary();
  EXPECT_EQ(part(summary, "Commands the UPS received:"), "Commands the UPS received:\n  none\n");
  EXPECT_EQ(part(summary, "Remote hosts"),
            "Remote hosts (tornaxalert on other hosts):\n"
            "  none is told: the status server is off (MAX_CLIENT 0)\n");
  EXPECT_EQ(part(summary, "Findings"),
            "Findings about the configuration:\n"
            "  - a power failure is told to nobody: no POWERFAIL_ALERT, page, hook, status server "
            "or network UPS server\n"
            "  - only the UPS's own low-battery mark shuts the host down: an aged battery can run "
            "empty first; set BACKUPTIME, SHUTDOWN_RUNTIME or SHUTDOWN_CHARGE\n"
            "  - a UPS that goes silent on battery leaves the host up until the battery is empty: "
            "set SILENT_SHUTDOWN or BACKUPTIME\n"
            "  - the shutdown script " +
                home.dir.file("shutdown.sh") +
                " is not executable: it is not run\n"
                "  - TURNOFF_UPS is off: after the halt the UPS runs on until its battery is "
                "empty, and the host does not come back by itself when the mains return\n"
                "  - pages are configured but no MODEM_DEVICE is set: none is sent\n");
  const std::string steps = part(summary, "Shutdown steps");
  EXPECT_LT(steps.find("[log]     Power-fail shutdown: the UPS reports low battery"),
            steps.find("[halt]    /bin/umount -a -f"))
      << steps;
  EXPECT_EQ(steps.find("Execute shutdown script"), std::string::npos) << steps;
}

// The sample with a network UPS server added (on a port nothing answers on).
TEST(Drill, ShortenedTimeoutOnTheSampleRunsTheScriptOnlyWhenAsked) {
  AdminHome home(read_file(std::string(TORNAX_SOURCE_DIR) + "/packaging/tornax.conf") +
                     "NUT_PORT 3\nNUT_USER upsmon secret\n",
                 0755);
  chmod(home.dir.file("tornax.conf").c_str(), 0600);  // it holds a password
  DrillRun drill(home.dir.path(), {"--scenario", "timeout", "--run-script"});
  ASSERT_EQ(drill.script.wait_exit(200s), 0) << drill.script.output() << drill.script.errors();
  EXPECT_EQ(read_file(home.ran), "drill=1\n");
  const std::vector<std::string> said = narration(drill.script.output(), "drill");
  ASSERT_GE(said.size(), 5u);
  EXPECT_NE(std::find(said.begin(), said.end(),
                      "BACKUPTIME is 1 min in this drill (the configuration: none: no time "
                      "limit on battery)"),
            said.end())
      << drill.script.output();
  EXPECT_NE(drill.file("home/tornax.log")
                .find("Power-fail shutdown: on battery for 60 s, reaching BACKUPTIME (60 s)"),
            std::string::npos)
      << drill.file("home/tornax.log");
  const std::string summary = drill.summary();
  EXPECT_NE(
      summary.find("[script]  running " + home.dir.file("shutdown.sh") + " with TORNAX_DRILL=1\n"),
      std::string::npos)
      << summary;
  // The sample as shipped leaves the drill nothing to find.
  EXPECT_EQ(part(summary, "Findings"), "Findings about the configuration:\n  none\n");
  EXPECT_EQ(part(summary, "Secondary hosts"),
            "Secondary hosts (network UPS protocol):\n"
            "  network UPS server: port 3 on every IPv4 and IPv6 address, UPS tornax, at most 16 "
            "clients at once; 1 account, a "
            "shutdown waits up to 15 s for the hosts logged in\n"
            "  in the drill: no host is logged in to the network UPS server\n"
            "  no daemon running on this host answers on that port now\n");
}

// The init path rehearsed: what the daemon asks of systemd (the sandbox's
// stub takes it), and the system-shutdown hook sending the UPS its bytes.
TEST(Drill, RehearsesTheShutdownThroughSystemd) {
  AdminHome home(
      read_file(std::string(TORNAX_SOURCE_DIR) + "/packaging/tornax.conf") + "HOST_SHUTDOWN init\n",
      0755);
  DrillRun drill(home.dir.path(), {"--scenario", "timeout"});
  ASSERT_EQ(drill.script.wait_exit(200s), 0) << drill.script.output() << drill.script.errors();
  const std::vector<std::string> said = narration(drill.script.output(), "halt");
  for (const std::string &line : std::vector<std::string>{
           "the daemon asked systemd: systemctl --no-block start --job-mode=replace-irreversibly "
           "poweroff.target (the sandbox's stub took it: nothing was asked)",
           "the system-shutdown hook (tornax -S poweroff): Turn off UPS: TD=2, D=0 sent on " +
               drill.run + "/ups",
           std::string("on a real host systemd powers the machine off here, and the UPS switches "
                       "itself off")}) {
    EXPECT_NE(std::find(said.begin(), said.end(), line), said.end()) << line << "\n"
                                                                     << drill.script.output();
  }
}

// Configurations the drill does not rehearse, and say why: one the daemon
// refuses (a group-writable script), and one its copy could not reproduce
// (a statement it replaces sharing a line with one it keeps).
TEST(Drill, RefusesWhatItCannotRehearseFaithfully) {
  struct Case {
    std::string config;
    int script_mode;
    int status;
    std::string said;
  } cases[] = {
      {faulty_configuration("/bin/true"), 0775, 1,
       "  - the daemon refuses to start with it (tornax -t, status 1):\n      "},
      {faulty_configuration("/bin/true") + "UPS_DEVICE /dev/ttyS0 MAX_CLIENT 3\n", 0755, 2,
       "the drill's copy of the configuration would not do what the original does; put each "
       "statement on a line of its own:\n"
       "  the original: Status server: at most 3 clients\n"
       "  the copy:     Status server: off\n"},
  };
  for (const Case &c : cases) {
    AdminHome home(c.config, c.script_mode);
    DrillRun drill(home.dir.path(), {});
    ASSERT_EQ(drill.script.wait_exit(), c.status) << drill.script.output() << drill.script.errors();
    const std::string said = drill.script.output() + drill.script.errors();
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_FALSE(test::file_exists(drill.run + "/home/tornax.log")) << "the daemon never started";
  }
}

}  // namespace
}  // namespace tornax
