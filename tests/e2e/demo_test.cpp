// scripts/demo as a newcomer runs it, on the programs of this build: the
// scripted outage must play out to the sandboxed halt with every record in
// place, an interactive run must pass typed commands to the simulated UPS, and
// however the demo ends, nothing it started may be left running.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/kit/files.h"
#include "tests/support/script_run.h"

namespace tornax {
namespace {

using namespace std::chrono_literals;
using test::lines_of;
using test::narration;
using test::processes_naming;
using test::read_file;

// One run of scripts/demo on the programs of this build, its files in `run`.
class DemoRun : public test::ScriptRun {
 public:
  DemoRun(const test::TempDir &dir, std::vector<std::string> args)
      : ScriptRun(dir, "demo", with_common(dir, std::move(args))), run_dir_(dir.file("run")) {}
  std::string file(const std::string &name) const { return read_file(run_dir_ + "/" + name); }
  const std::string &run_dir() const { return run_dir_; }

 private:
  static std::vector<std::string> with_common(const test::TempDir &dir,
                                              std::vector<std::string> args) {
    args.insert(args.begin(), {"--bin", TORNAX_BINARY_DIR, "--dir", dir.file("run")});
    return args;
  }
  std::string run_dir_;
};

// The log's entries without their time stamps ("[12/07/26] 22:35:40 : ").
std::vector<std::string> log_texts(const std::string &log) {
  std::vector<std::string> texts;
  for (const std::string &line : lines_of(log)) {
    const std::size_t text = line.rfind('[', 0) == 0 ? line.find(" : ") : std::string::npos;
    texts.push_back(text == std::string::npos ? line : line.substr(text + 3));
  }
  return texts;
}

void expect_nothing_left(const DemoRun &demo) {
  EXPECT_EQ(processes_naming(demo.run_dir()), std::vector<std::string>{});
  EXPECT_FALSE(test::file_exists(demo.run_dir() + "/ups")) << "the simulator's link";
  EXPECT_FALSE(test::file_exists(demo.run_dir() + "/ups.fifo")) << "the simulator's FIFO";
}

TEST(Demo, ScriptedOutagePlaysOutToTheSandboxedHalt) {
  test::TempDir dir;
  DemoRun demo(dir, {"--batch"});
  ASSERT_EQ(demo.wait_exit(), 0) << demo.output() << demo.errors();
  expect_nothing_left(demo);

  // The daemon: its log, broadcasts, pages, script, host commands and UPS commands.
  EXPECT_EQ(log_texts(demo.file("home/tornax.log")),
            (std::vector<std::string>{
                "*** Daemon started *** ", "Power fail detected ", "Server shutdown in 0:2", " ",
                "Power is return ", "Power fail detected ", "Server shutdown in 0:2", " ",
                "Low battary detected ", "Powerfail fail timeout, Server is shutdown ",
                "Power-fail shutdown: the UPS reports low battery "}));
  const std::string fail =
      "Brenmoor Tornax X : Power failure: the UPS is running on battery. "
      "Save your work and log out.\n"
      "Brenmoor Tornax X : You have aproximate 0:2 Hour, before server "
      "shutdown.\n";
  EXPECT_EQ(demo.file("wall"),
            fail + "Brenmoor Tornax X : Power is back. The UPS runs on mains again.\n" + fail +
                "Brenmoor Tornax X : UPS battery low: the server shuts down NOW.\n"
                "Brenmoor Tornax X : The server shuts down because of the power failure.\n");
  EXPECT_EQ(demo.file("modem"),
            "ATDT5550100,,,1001 power fail\nATDT5550100,,,1002 power back\n"
            "ATDT5550100,,,1001 power fail\nATDT5550100,,,1003 low battery\n"
            "ATDT5550100,,,1004 shutting down\n");
  // The demo's script saw TORNAX_DRILL=1 and skipped its real actions.
  const std::string script = demo.run_dir() + "/sample/shutdown.sh";
  EXPECT_EQ(demo.file("script"), "running " + script + " with TORNAX_DRILL=1\n" +
                                     "shutdown.sh: a drill; stopping nothing\n" + script +
                                     " ended with status 0\n");
  EXPECT_FALSE(test::file_exists(demo.run_dir() + "/home/tornax.pid"));
  const std::string actions = demo.file("daemon.sandbox/actions");
  EXPECT_LT(actions.find("swapoff -a"), actions.find("umount -a -f")) << actions;
  const std::string ups = demo.file("simulator");
  EXPECT_NE(ups.find("received \"TD=2\\n\" + 10 NUL"), std::string::npos) << ups;
  EXPECT_LT(ups.find("\"TD=2"), ups.find("received \"D=0\\n\" + 11 NUL")) << ups;

  // The client: its warnings, one shutdown run per low-battery line, its end.
  const std::vector<std::string> warned = lines_of(demo.file("client.wall"));
  ASSERT_GE(warned.size(), 5u);
  const std::string alert = "Brenmoor Tornax Alert : ";
  EXPECT_EQ(std::vector<std::string>(warned.begin(), warned.begin() + 4),
            (std::vector<std::string>{alert + "Power fail detect", alert + "Power is return",
                                      alert + "Power fail detect", alert + "Low battery detect"}));
  for (std::size_t i = 4; i < warned.size(); ++i) {
    EXPECT_EQ(warned[i], alert + "Low battery detect,shutdown executed");
  }
  EXPECT_EQ(lines_of(demo.file("client.shutdown")).size(), warned.size() - 4);
  EXPECT_EQ(demo.file("client.err"),
            alert + "Connection lost\n" + alert + "Reconnect time expired. Quit.\n");

  // The narration follows the outage step by step and ends in the halt.
  const std::string out = demo.output();
  std::size_t at = 0;
  for (const char *step :
       {"> mains off", "Power fail detected", "> mains on", "Power is return", "> mains off",
        "Power fail detected", "> lowbatt", "Low battary detected", "Execute shutdown script",
        "(shutdown delay 2)", "(switch off; sleep time 0 min)", "(status 130)",
        "the client has ended (status 0)", "the outage played out"}) {
    at = out.find(step, at);
    ASSERT_NE(at, std::string::npos) << "missing in order: " << step << "\n" << out;
  }
  const std::vector<std::string> status = narration(out, "status");
  ASSERT_GE(status.size(), 4u) << out;
  EXPECT_NE(status[1].find("<- on mains"), std::string::npos) << status[1];
  std::size_t checks = 0;
  for (const std::string &line : lines_of(out)) {
    checks += line.rfind("demo: ok: ", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(checks, 7u) << out;
  EXPECT_EQ(out.find("FAILED"), std::string::npos) << out;

  // The drill's summary: the steps of the shutdown in their order, the UPS's
  // commands decoded, what the remote hosts read; the demo's additions leave
  // nothing to find.
  const std::string summary = out.substr(out.find("==== Summary of the drill (outage)"));
  at = 0;
  for (const char *step :
       {"Shutdown steps", "[log]     Power-fail shutdown: the UPS reports low battery",
        "[page]    ATDT5550100,,,1004 shutting down",
        "[daemon]  Brenmoor Tornax X : Execute shutdown script",
        "[script]  shutdown.sh: a drill; stopping nothing",
        "[daemon]  Brenmoor Tornax X : sending all processes the TERM signal...",
        "[halt]    /sbin/swapoff -a", "[halt]    /bin/umount -a -f", "Commands the UPS received:\n",
        "received \"TD=2\\n\" + 10 NUL (shutdown delay 2)\n",
        "received \"D=0\\n\" + 11 NUL (switch off; sleep time 0 min)\n",
        "Remote hosts (tornaxalert on other hosts):\n"
        "  status server: port 4004 on every IPv4 and IPv6 address, at most 3 clients at "
        "once; each "
        "client read:\n",
        "s  on battery, low battery\n  a client shuts its own host down on the low-battery line\n",
        "Findings about the configuration:\n  none\n"}) {
    at = summary.find(step, at);
    ASSERT_NE(at, std::string::npos) << "missing in order: " << step << "\n" << summary;
  }
  EXPECT_EQ(demo.errors(), "");
}

TEST(Demo, InterruptStopsEverythingItStarted) {
  test::TempDir dir;
  DemoRun demo(dir, {"--batch"});
  ASSERT_TRUE(demo.narrated("1. the mains fail")) << demo.output() << demo.errors();
  ASSERT_TRUE(test::file_exists(demo.run_dir() + "/home/tornax.pid"));
  demo.signal(SIGINT);
  EXPECT_EQ(demo.wait_exit(30s), 130);
  EXPECT_NE(demo.errors().find("interrupted"), std::string::npos) << demo.errors();
  expect_nothing_left(demo);
}

TEST(Demo, InteractiveRunPassesTypedCommandsToTheSimulatedUps) {
  test::TempDir dir;
  DemoRun demo(dir, {"--interactive"});
  ASSERT_TRUE(demo.narrated("Type simulator commands")) << demo.output() << demo.errors();
  demo.type("mains off\n");
  ASSERT_TRUE(demo.narrated("Power fail detected")) << demo.output();
  demo.type("bogus\nlowbatt\n");
  EXPECT_EQ(demo.wait_exit(), 0) << demo.output() << demo.errors();
  expect_nothing_left(demo);
  const std::string out = demo.output();
  EXPECT_NE(out.find("[ups]      error: "), std::string::npos) << "the simulator's answer\n" << out;
  EXPECT_NE(out.find("(status 130)"), std::string::npos) << out;
  EXPECT_NE(out.find("the client has ended (status 0)"), std::string::npos) << out;
}

}  // namespace
}  // namespace tornax
