// scripts/demo as a newcomer runs it, on the programs of this build: the
// scripted outage must play out to the sandboxed halt with every record in
// place, an interactive run must pass typed commands to the simulated UPS, and
// however the demo ends, nothing it started may be left running.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/kit/files.h"
#include "tests/support/sandbox_run.h"

namespace tornax {
namespace {

using namespace std::chrono_literals;
using test::read_file;

// One run of scripts/demo with its output in files; an interactive run reads
// what the test types.
class DemoRun {
 public:
  DemoRun(const test::TempDir &dir, std::vector<std::string> args)
      : run_dir_(dir.file("run")), out_(dir.file("out")), err_(dir.file("err")) {
    args.insert(args.begin(), {std::string(TORNAX_SOURCE_DIR) + "/scripts/demo", "--bin",
                               TORNAX_BINARY_DIR, "--dir", run_dir_});
    std::vector<char *> argv;
    for (std::string &arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
      dup2(open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    stdin_ = in[1];
  }
  ~DemoRun() {
    if (!status_) {
      stop();
    }
    close(stdin_);
  }
  DemoRun(const DemoRun &) = delete;
  DemoRun &operator=(const DemoRun &) = delete;

  void type(const std::string &line) const {
    ASSERT_EQ(write(stdin_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  bool narrated(const std::string &text, std::chrono::milliseconds limit = 60s) const {
    return test::wait_until([&] { return output().find(text) != std::string::npos; }, limit);
  }
  void signal(int sig) const { kill(pid_, sig); }

  // The demo's exit status (128 + signal when killed). A demo still running
  // after `limit` is stopped as Ctrl-C would, then killed: the test fails,
  // but leaves nothing behind.
  int wait_exit(std::chrono::milliseconds limit = 110s) {
    if (!test::wait_until([&] { return reaped(); }, limit)) {
      ADD_FAILURE() << "the demo still runs after its time limit";
      stop();
    }
    return *status_;
  }

  std::string output() const { return read_file(out_); }
  std::string errors() const { return read_file(err_); }
  std::string file(const std::string &name) const { return read_file(run_dir_ + "/" + name); }
  const std::string &run_dir() const { return run_dir_; }

 private:
  bool reaped() {
    int status = 0;
    if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return status_.has_value();
  }
  void stop() {
    kill(pid_, SIGTERM);
    if (!test::wait_until([&] { return reaped(); }, 20s)) {
      kill(pid_, SIGKILL);
      test::wait_until([&] { return reaped(); }, 5s);
    }
  }

  std::string run_dir_, out_, err_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::optional<int> status_;
};

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The log's entries without their time stamps ("[12/07/26] 22:35:40 : ").
std::vector<std::string> log_texts(const std::string &log) {
  std::vector<std::string> texts;
  for (const std::string &line : lines_of(log)) {
    const std::size_t text = line.rfind('[', 0) == 0 ? line.find(" : ") : std::string::npos;
    texts.push_back(text == std::string::npos ? line : line.substr(text + 3));
  }
  return texts;
}

// The narration lines of `tag` that contain `text`, in order.
std::vector<std::string> narration(const std::string &output, const std::string &tag) {
  std::vector<std::string> found;
  for (const std::string &line : lines_of(output)) {
    const std::size_t at = line.find("[" + tag + "]");
    if (at != std::string::npos && at < 8) {
      found.push_back(line.substr(line.find_first_not_of(' ', at + tag.size() + 2)));
    }
  }
  return found;
}

// Processes whose command line or environment names `text`: whatever the demo
// started names its run directory.
std::vector<std::string> processes_naming(const std::string &text) {
  std::vector<std::string> found;
  DIR *proc = opendir("/proc");
  while (dirent *entry = proc ? readdir(proc) : nullptr) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos ||
        pid == std::to_string(getpid())) {
      continue;
    }
    const std::string cmdline = read_file("/proc/" + pid + "/cmdline");
    if (cmdline.find(text) != std::string::npos ||
        read_file("/proc/" + pid + "/environ").find(text) != std::string::npos) {
      found.push_back(pid + " " + cmdline);
    }
  }
  if (proc) {
    closedir(proc);
  }
  return found;
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
      "Brenmoor Tornax X : Power failure: the UPS runs on battery. "
      "Save your work.\n"
      "Brenmoor Tornax X : You have aproximate 0:2 Hour, before server "
      "shutdown.\n";
  EXPECT_EQ(demo.file("wall"),
            fail + "Brenmoor Tornax X : Power is back: the UPS runs on mains again.\n" + fail +
                "Brenmoor Tornax X : UPS battery low: the server shuts down now.\n"
                "Brenmoor Tornax X : The server shuts down because of the power failure.\n");
  EXPECT_EQ(demo.file("modem"),
            "ATDT5550100,,,1001 power fail\nATDT5550100,,,1002 power back\n"
            "ATDT5550100,,,1001 power fail\nATDT5550100,,,1003 low battery\n"
            "ATDT5550100,,,1004 shutting down\n");
  EXPECT_EQ(lines_of(demo.file("script")).size(), 1u);
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
  EXPECT_EQ(narration(out, "check").size(), 7u) << out;
  EXPECT_EQ(out.find("FAILED"), std::string::npos) << out;
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
