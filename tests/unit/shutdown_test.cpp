#include "daemon/shutdown/shutdown.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "daemon/core/timings.h"
#include "daemon/core/util.h"
#include "daemon/ups/classic.h"
#include "daemon/ups/driver.h"
#include "daemon/ups/qx.h"
#include "daemon/ups/ups.h"
#include "tests/kit/files.h"
#include "tests/support/daemon_state.h"
#include "tests/support/recording_host.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::file_exists;
using test::RecordingHost;

// Sends a standard stream to a file for the life of the object, so that what
// was written can be read back between two host actions.
class CapturedStream {
 public:
  CapturedStream(std::FILE *stream, const std::string &path) : stream_(stream) {
    std::fflush(stream_);
    fd_ = fileno(stream_);
    saved_ = dup(fd_);
    file_ = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    dup2(file_, fd_);
  }
  ~CapturedStream() {
    std::fflush(stream_);
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
  }
  CapturedStream(const CapturedStream &) = delete;
  CapturedStream &operator=(const CapturedStream &) = delete;

  // What was written since the last call.
  std::string take() {
    std::fflush(stream_);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = pread(file_, buffer, sizeof buffer, offset_)) > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
      offset_ += n;
    }
    return text;
  }

 private:
  std::FILE *stream_;
  int fd_ = -1;
  int saved_ = -1;
  int file_ = -1;
  off_t offset_ = 0;
};

// Records the host actions like RecordingHost and, before each one, what the
// sequence wrote since the previous action: standard output, the bytes sent
// to the UPS, standard error (in that order within one note) and the removal
// of the pid file. So one list shows the whole sequence in its order.
class JournalHost final : public HostActions {
 public:
  RecordingHost recorder;
  std::vector<std::string> journal;
  CapturedStream *out = nullptr;
  CapturedStream *err = nullptr;
  int ups_reader = -1;
  bool pid_file_seen = true;

  void note() {
    add("out: ", out ? out->take() : "");
    add("ups: ", read_ups());
    add("err: ", err ? err->take() : "");
    if (pid_file_seen && !file_exists(pid_filename)) {
      pid_file_seen = false;
      journal.push_back("pid file removed");
    }
  }

  void sync_filesystems() override {
    note();
    recorder.sync_filesystems();
    recorded();
  }
  int send_signal(pid_t pid, int sig) override {
    note();
    const int result = recorder.send_signal(pid, sig);
    recorded();
    return result;
  }
  void ignore_signal(int sig) override {
    note();
    recorder.ignore_signal(sig);
    recorded();
  }
  int run_shell(const char *command) override {
    note();
    const int result = recorder.run_shell(command);
    recorded();
    return result;
  }
  void pause_seconds(unsigned int seconds) override {
    note();
    recorder.pause_seconds(seconds);
    recorded();
  }
  int halt_system() override {
    note();
    const int result = recorder.halt_system();
    recorded();
    return result;
  }
  // The direct sequence never reaches the init path's actions.
  bool init_is_systemd() override { return false; }
  pid_t start_keeper(unsigned int) override { return -1; }
  bool orderly_shutdown_ended() override { return false; }
  void await_stop() override {}

 private:
  void add(const char *tag, const std::string &text) {
    if (!text.empty()) {
      journal.push_back(tag + text);
    }
  }
  void recorded() { journal.push_back(recorder.actions.back()); }
  std::string read_ups() const {
    std::string bytes;
    char buffer[256];
    ssize_t n;
    while (ups_reader >= 0 && (n = read(ups_reader, buffer, sizeof buffer)) > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
  }
};

// A control command as the UPS receives it: the text, then zero bytes up to 15.
std::string command15(const std::string &text) {
  return text + std::string(15 - text.size(), '\0');
}

std::string warned(const std::string &text) {
  return std::string("err: Brenmoor Tornax X : ") + text + "\n";
}

std::string ignored(int sig) {
  return "ignore " + std::to_string(sig);
}

class ShutdownTest : public test::DaemonStateTest {
 protected:
  void SetUp() override {
    DaemonStateTest::SetUp();
    std::snprintf(pid_filename, sizeof pid_filename, "%s", home.file("tornax.pid").c_str());
    std::snprintf(shutdown_script_filename, sizeof shutdown_script_filename, "%s",
                  home.file("shutdown.sh").c_str());
    home.write("tornax.pid", "4242\n");
    // A line nobody answers: the switch-off's question whether the mains are
    // back goes unanswered, after a short time-out.
    host.ups_reader = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(host.ups_reader, 0);
    ASSERT_EQ(grantpt(host.ups_reader), 0);
    ASSERT_EQ(unlockpt(host.ups_reader), 0);
    timings.reply_timeout = std::chrono::milliseconds(100);
    serial_fd = openport(ptsname(host.ups_reader));
    ASSERT_GE(serial_fd, 0);
  }
  void TearDown() override {
    close(host.ups_reader);
    close(serial_fd);
    DaemonStateTest::TearDown();
  }

  // Runs the sequence against the journal host; returns the journal.
  std::vector<std::string> run(int mode, long sleep_time) {
    {
      CapturedStream out(stdout, home.file("stdout"));
      CapturedStream err(stderr, home.file("stderr"));
      host.out = &out;
      host.err = &err;
      exit_status = shutdown_sequence(mode, sleep_time, host);
      host.note();
      host.out = host.err = nullptr;
    }
    return host.journal;
  }

  test::TempDir home;
  JournalHost host;
  int exit_status = -1;
};

TEST_F(ShutdownTest, ScheduledShutdownTakesEveryStepInOrder) {
  const std::string script = home.write("shutdown.sh", "#!/bin/sh\n", 0755);
  settings.ups_shutdown_delay = 5;
  classic_quirks().sleep_time_multiplier = 0.97f;
  const std::vector<std::string> expected = {
      warned("Execute shutdown script\n"),
      "pause 2",
      "system " + script,
      "pid file removed",
      ignored(SIGTERM),
      ignored(SIGQUIT),
      ignored(SIGCHLD),
      ignored(SIGHUP),
      ignored(SIGTSTP),
      ignored(SIGTTIN),
      ignored(SIGTTOU),
      "sync",
      "kill 1 " + std::to_string(SIGTSTP),
      "pause 3",
      warned("sending all processes the TERM signal...\r\n"),
      "kill -1 " + std::to_string(SIGTERM),
      "pause 3",
      "sync",
      warned("Turning off swap\r\n"),
      "system /sbin/swapoff -a",
      warned("Unmounting all file systems\r\n"),
      "system /bin/umount -a -f",
      "out: Sleep UPS for 60 min\n",
      "ups: " + command15("TD=5\n") + command15("D=58\n"),
      warned("The system is halted.\r\n"),
      "halt",
  };
  EXPECT_EQ(run(SCHEDULE_DOWN, 60), expected);
  EXPECT_EQ(exit_status, 0);
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_STREQ(cwd, "/");
}

// The tail of the journal after the unmount: what each mode tells the UPS.
struct ModeCase {
  const char *name;
  int mode;
  int turnoff_ups;
  long sleep_time;
  float multiplier;
  std::vector<std::string> tail;
};

class ShutdownModeTest : public ShutdownTest, public testing::WithParamInterface<ModeCase> {};

TEST_P(ShutdownModeTest, SendsTheModesUpsCommands) {
  const ModeCase &c = GetParam();
  settings.turnoff_ups = c.turnoff_ups;
  settings.ups_shutdown_delay = 7;
  classic_quirks().sleep_time_multiplier = c.multiplier;
  const std::vector<std::string> journal = run(c.mode, c.sleep_time);
  ASSERT_GE(journal.size(), c.tail.size());
  const std::vector<std::string> tail(journal.end() - static_cast<long>(c.tail.size()),
                                      journal.end());
  EXPECT_EQ(tail, c.tail);
  EXPECT_EQ(journal.end()[-static_cast<long>(c.tail.size()) - 1], "system /bin/umount -a -f");
  EXPECT_EQ(exit_status, 0);
}

const std::string halted = warned("The system is halted.\r\n");

INSTANTIATE_TEST_SUITE_P(
    Modes, ShutdownModeTest,
    testing::Values(
        ModeCase{"PowerFailLeavesUpsOn", 3, 0, 0, 0.993f, {halted, "halt"}},
        ModeCase{"PowerFailTurnsUpsOff",
                 3,
                 1,
                 0,
                 0.993f,
                 {"ups: L\n" + command15("TD=7\n") + command15("D=0\n"),
                  warned("Turn off UPS") + halted.substr(5), "halt"}},
        ModeCase{"ScheduledIgnoresTurnoffSetting",
                 6,
                 0,
                 1000,
                 0.993f,
                 {"out: Sleep UPS for 1000 min\n",
                  "ups: " + command15("TD=7\n") + command15("D=992\n"), halted, "halt"}},
        ModeCase{"ScheduledOneMinuteSleepsZero",
                 6,
                 1,
                 1,
                 0.97f,
                 {"out: Sleep UPS for 1 min\n",
                  "ups: L\n" + command15("TD=7\n") + command15("D=0\n"), halted, "halt"}},
        ModeCase{"OtherModeSendsNothing", 0, 1, 60, 0.993f, {halted, "halt"}},
        ModeCase{"ModeFourSendsNothing", 4, 1, 60, 0.993f, {halted, "halt"}}),
    [](const testing::TestParamInfo<ModeCase> &case_info) {
      return std::string(case_info.param.name);
    });

// The direct sequence tells the UPS through the driver in use: a Qx UPS
// gets its one switch-off command, after a power fail and a schedule alike.
TEST_F(ShutdownTest, QxUpsGetsItsOwnSwitchOffCommand) {
  use_ups_driver(qx_driver());
  settings.turnoff_ups = 1;
  settings.ups_shutdown_delay = 30;
  const struct {
    int mode;
    long sleep_time;
    const char *sent;
  } cases[] = {{POWERFAIL_DOWN, 0, "ups: S.5R0003\r"}, {SCHEDULE_DOWN, 120, "ups: S.5R0120\r"}};
  for (const auto &c : cases) {
    host.journal.clear();
    std::vector<std::string> sent;
    for (const std::string &entry : run(c.mode, c.sleep_time)) {
      if (entry.rfind("ups: ", 0) == 0) {
        sent.push_back(entry);
      }
    }
    EXPECT_EQ(sent, std::vector<std::string>{c.sent});
  }
}

TEST(CorrectedSleepTimeTest, ProductInDoublePrecisionTruncatedTowardZero) {
  struct Case {
    long minutes;
    float multiplier;
    long expected;
  };
  const Case cases[] = {
      {60, 0.97f, 58},      // 58.2000017
      {1000, 0.993f, 992},  // 992.99997; a single-precision product would give 993
      {1, 0.97f, 0},
      {1, 0.993f, 0},
      {0, 0.97f, 0},
      {-60, 0.97f, -58},  // toward zero, not down
      {LONG_MAX, 0.993f, INT_MAX},
      {LONG_MIN, 0.97f, INT_MIN},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(corrected_sleep_time(c.minutes, c.multiplier), c.expected)
        << c.minutes << " x " << c.multiplier;
  }
}

TEST_F(ShutdownTest, InitThatCannotBeIdledEndsWithStatusOneBeforeAnySignal) {
  settings.turnoff_ups = 1;
  host.recorder.kill_result = -1;
  const std::vector<std::string> journal = run(POWERFAIL_DOWN, 0);
  ASSERT_GE(journal.size(), 2u);
  EXPECT_EQ(journal.end()[-2], "kill 1 " + std::to_string(SIGTSTP));
  EXPECT_EQ(journal.back(), warned("shutdown: can't idle init.\r\n"));
  EXPECT_EQ(exit_status, 1);
  EXPECT_FALSE(file_exists(pid_filename));
}

TEST_F(ShutdownTest, ScriptWithoutExecutePermissionIsSkippedSilently) {
  home.write("shutdown.sh", "#!/bin/sh\n", 0644);
  const std::vector<std::string> journal = run(POWERFAIL_DOWN, 0);
  EXPECT_EQ(journal.front(), "pid file removed");
  for (const std::string &entry : journal) {
    EXPECT_EQ(entry.find("shutdown"), std::string::npos) << entry;
  }
}

// Anyone who could write the script could have it run as root.
TEST_F(ShutdownTest, UnsafeScriptIsNotRunAndThatIsLogged) {
  const std::string script = home.write("shutdown.sh", "#!/bin/sh\n", 0775);
  std::snprintf(log_filename, sizeof log_filename, "%s", home.file("tornax.log").c_str());
  const std::string refusal = "Shutdown script " + script +
                              " not run: writable by group or others (mode 0775); it must be "
                              "owned by root and not writable by group or others";
  const std::vector<std::string> journal = run(POWERFAIL_DOWN, 0);
  ASSERT_GE(journal.size(), 2u);
  EXPECT_EQ(journal[0], warned(refusal));
  EXPECT_EQ(journal[1], "pid file removed");
  for (const std::string &action : host.recorder.actions) {
    EXPECT_EQ(action.find(script), std::string::npos) << action;
  }
  const std::string log = test::read_file(log_filename);
  EXPECT_EQ(log.substr(log.find(" : ")), " : " + refusal + " \n");
}

// The home directory is the administrator's choice; a blank or a quote in
// it must not keep the script from running, nor run anything else.
TEST_F(ShutdownTest, ScriptPathIsQuotedForTheShell) {
  test::TempDir odd_home;
  const std::string dir = odd_home.file("ups home 'it's; echo x");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const std::string marker = home.file("ran");
  const std::string script = dir + "/shutdown.sh";
  std::snprintf(shutdown_script_filename, sizeof shutdown_script_filename, "%s", script.c_str());
  odd_home.write("ups home 'it's; echo x/shutdown.sh", "#!/bin/sh\necho \"$#\" > " + marker + "\n",
                 0755);
  run(POWERFAIL_DOWN, 0);
  ASSERT_GE(host.recorder.actions.size(), 2u);
  const std::string command = host.recorder.actions[1].substr(std::string("system ").size());
  ASSERT_EQ(command.front(), '\'');
  // Run what the sequence handed to the shell: only this test's own script.
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(test::read_file(marker), "0\n");
}

TEST_F(ShutdownTest, DownExitsWithTheSequencesStatus) {
  EXPECT_EXIT(down(POWERFAIL_DOWN, 0, host), testing::ExitedWithCode(0), "halted");
  host.recorder.kill_result = -1;
  EXPECT_EXIT(down(POWERFAIL_DOWN, 0, host), testing::ExitedWithCode(1), "can't idle init");
}

}  // namespace
}  // namespace tornax
