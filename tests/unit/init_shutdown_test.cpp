// The shutdown through the init system with the recording host: the path
// HOST_SHUTDOWN picks, what is asked of systemd, the switch-off record, the
// deadline and its keeper, and the system-shutdown hook's bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "daemon/core/timings.h"
#include "daemon/core/util.h"
#include "daemon/shutdown/deadline.h"
#include "daemon/shutdown/shutdown.h"
#include "daemon/shutdown/switch_off_hook.h"
#include "daemon/shutdown/switch_off_record.h"
#include "daemon/ups/driver.h"
#include "daemon/ups/ups.h"
#include "tests/kit/files.h"
#include "tests/support/daemon_state.h"
#include "tests/support/recording_host.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::read_file;
using test::RecordingHost;

const std::string request =
    "system /bin/systemctl --no-block start --job-mode=replace-irreversibly poweroff.target";
const std::string forced = "system /bin/systemctl --force poweroff";

std::string command15(const std::string &text) {
  return text + std::string(15 - text.size(), '\0');
}

// A pty whose master side stands for the UPS: nobody answers, so the
// question whether the mains are back goes unanswered after a short time.
class UpsLine {
 public:
  UpsLine() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    grantpt(master_);
    unlockpt(master_);
    path_ = ptsname(master_);
    // Held open, so the line never hangs up between two openings.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
  }
  ~UpsLine() {
    close(slave_);
    close(master_);
  }
  const std::string &path() const { return path_; }
  std::string received() const {
    std::string bytes;
    char buffer[256];
    ssize_t n;
    while ((n = read(master_, buffer, sizeof buffer)) > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

class InitShutdownTest : public test::DaemonStateTest {
 protected:
  void SetUp() override {
    DaemonStateTest::SetUp();
    mkdir(dir.file("run").c_str(), 0755);
    setenv("TORNAX_RUN_DIR", dir.file("run").c_str(), 1);
    std::snprintf(pid_filename, sizeof pid_filename, "%s", dir.file("tornax.pid").c_str());
    std::snprintf(log_filename, sizeof log_filename, "%s", dir.file("tornax.log").c_str());
    std::snprintf(shutdown_script_filename, sizeof shutdown_script_filename, "%s",
                  dir.file("shutdown.sh").c_str());
    timings.reply_timeout = std::chrono::milliseconds(100);
    settings.ups_filename = line.path();
    settings.host_shutdown = HostShutdown::init;
    settings.ups_shutdown_delay = 20;
    serial_fd = openport(line.path().c_str());
  }
  void TearDown() override {
    close(serial_fd);
    unsetenv("TORNAX_RUN_DIR");
    DaemonStateTest::TearDown();
  }
  std::string record_text() const { return read_file(switch_off_record_path()); }
  std::string record_for(int delay, int sleep, int restart) const {
    return format_record({current_boot_id(), line.path(), {delay, sleep, restart}});
  }
  // The log's entries without their stamps and the blank before the line end.
  std::string log() const {
    std::string entries;
    const std::string text = read_file(log_filename);
    for (std::size_t at = 0; (at = text.find(" : ", at)) != std::string::npos; at += 3) {
      entries += text.substr(at + 3, text.find(" \n", at) - at - 3) + "\n";
    }
    return entries;
  }

  test::TempDir dir;
  UpsLine line;
  RecordingHost host;
};

TEST(ChoosePathTest, AutoFollowsTheInitTheOthersAreFixed) {
  const struct {
    HostShutdown setting;
    bool systemd;
    ShutdownPath path;
    std::string why;
  } cases[] = {
      {HostShutdown::automatic, true, ShutdownPath::init,
       "HOST_SHUTDOWN auto: systemd runs as init"},
      {HostShutdown::automatic, false, ShutdownPath::direct,
       "HOST_SHUTDOWN auto: systemd does not run as init"},
      {HostShutdown::init, false, ShutdownPath::init, "HOST_SHUTDOWN init"},
      {HostShutdown::direct, true, ShutdownPath::direct, "HOST_SHUTDOWN direct"},
  };
  for (const auto &c : cases) {
    const PathChoice choice = choose_path(c.setting, c.systemd);
    EXPECT_EQ(choice.path, c.path) << c.why;
    EXPECT_EQ(choice.why, c.why);
  }
}

// What each mode leaves for the hook, and what is asked of systemd.
TEST_F(InitShutdownTest, RecordsTheSwitchOffAndAsksForAnOrderlyPowerOff) {
  const struct {
    int mode, turnoff;
    long sleep;
    bool recorded;
    int sleep_sent;
  } cases[] = {
      {POWERFAIL_DOWN, 1, 0, true, 0},
      {POWERFAIL_DOWN, 0, 0, false, 0},
      {SCHEDULE_DOWN, 0, 60, true, 59},  // 60 x 0.993
  };
  for (const auto &c : cases) {
    host.actions.clear();
    remove_record(switch_off_record_path());
    settings.turnoff_ups = c.turnoff;
    dir.write("tornax.pid", "4242\n");
    EXPECT_EQ(shutdown_sequence(c.mode, c.sleep, host), 0);
    EXPECT_EQ(host.actions, (std::vector<std::string>{"keeper 120", request, "await stop"}));
    EXPECT_EQ(record_text(), c.recorded ? record_for(20, c.sleep_sent, 3) : "") << c.mode;
    EXPECT_FALSE(test::file_exists(pid_filename));
  }
  EXPECT_EQ(line.received(), "");  // the hook speaks to the UPS, not the daemon
  EXPECT_EQ(log().substr(0, log().find('\n')),
            "Host shutdown through the init system (HOST_SHUTDOWN init): systemd is asked for an "
            "orderly power-off, forced after 120 s; the system-shutdown hook sends the UPS TD=20 "
            "and D=0 (D=3 when the mains are back)");
}

// systemd refusing, or no record to leave: the direct sequence runs instead,
// and it sends the bytes itself.
TEST_F(InitShutdownTest, FallsBackToTheDirectSequence) {
  settings.turnoff_ups = 1;
  host.shell_result = 256;
  EXPECT_EQ(shutdown_sequence(POWERFAIL_DOWN, 0, host), 0);
  ASSERT_GE(host.actions.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(host.actions.begin(), host.actions.begin() + 3),
            (std::vector<std::string>{"keeper 120", request, "kill 4321 9"}));
  EXPECT_EQ(host.actions.back(), "halt");
  EXPECT_EQ(record_text(), "");
  EXPECT_EQ(line.received(), "L\n" + command15("TD=20\n") + command15("D=0\n"));
  EXPECT_NE(log().find("systemd did not take the power-off (status 256): the direct sequence runs"),
            std::string::npos)
      << log();

  host = RecordingHost{};
  dir.write("blocked", "");  // the record's directory can't be made
  setenv("TORNAX_RUN_DIR", dir.file("blocked/run").c_str(), 1);
  EXPECT_EQ(shutdown_sequence(POWERFAIL_DOWN, 0, host), 0);
  EXPECT_EQ(host.actions.back(), "halt");
  EXPECT_EQ(std::count(host.actions.begin(), host.actions.end(), request), 0);
  EXPECT_NE(log().find("Cannot record the UPS switch-off (cannot make " + dir.file("blocked/run") +
                       ": Not a directory): the direct sequence runs"),
            std::string::npos)
      << log();
}

TEST(SwitchOffRecordTest, ParsesOnlyWhatItWrites) {
  for (std::size_t i = 0; i < ups_driver_count(); ++i) {
    const SwitchOffRecord record{"0b4c-77", "/dev/ttyS0", {-5, 992, 9999}, ups_driver_at(i).name};
    std::string error;
    const std::optional<SwitchOffRecord> back = parse_record(format_record(record), &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(format_record(*back), format_record(record));
    EXPECT_EQ(back->protocol, ups_driver_at(i).name);
  }

  // As earlier versions wrote it: no protocol, so the classic one.
  const std::string good = "boot_id=b\ndevice=/dev/x\ndelay=1\nsleep=0\nrestart_sleep=3\n";
  std::string error;
  const std::optional<SwitchOffRecord> earlier = parse_record(good, &error);
  ASSERT_TRUE(earlier) << error;
  EXPECT_EQ(earlier->protocol, "classic");
  const struct {
    std::string text, error;
  } cases[] = {
      {good.substr(0, good.size() - 1), "the last line has no line end"},
      {good + "delay=2\n", "delay comes twice"},
      {good + "protocol=morse\n",
       "protocol \"morse\" is unknown (" + std::string(ups_driver_names()) + ")"},
      {good + "mode=3\n", "unknown line \"mode=3\""},
      {"boot_id=b\ndevice=/dev/x\ndelay=1\nsleep=0\n", "restart_sleep is missing"},
      {"boot_id=\ndevice=/dev/x\ndelay=1\nsleep=0\nrestart_sleep=3\n", "boot_id is empty"},
      {"boot_id=b\ndevice=ttyS0\ndelay=1\nsleep=0\nrestart_sleep=3\n",
       "device is not an absolute path"},
      {"boot_id=b\ndevice=/dev/x\ndelay=1x\nsleep=0\nrestart_sleep=3\n",
       "delay is not a number in range"},
      {"boot_id=b\ndevice=/dev/x\ndelay=1\nsleep=99999999999\nrestart_sleep=3\n",
       "sleep is not a number in range"},
      {"boot_id=b\ndevice=/dev/x\ndelay=1\nsleep=0\nrestart_sleep=-1\n",
       "restart_sleep is not a number in range"},
  };
  for (const auto &c : cases) {
    EXPECT_FALSE(parse_record(c.text, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST(SwitchOffRecordTest, LoadJudgesTheBootAndTheFile) {
  test::TempDir dir;
  const std::string path = dir.file("run/switch-off");
  const SwitchOffRecord record{"this-boot", "/dev/ttyS0", {20, 0, 3}};
  EXPECT_EQ(load_record(path, "this-boot").state, RecordState::absent);
  std::string error;
  ASSERT_TRUE(write_record(path, record, &error)) << error;
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_FALSE(test::file_exists(path + ".new"));

  const LoadedRecord loaded = load_record(path, "this-boot");
  EXPECT_EQ(loaded.state, RecordState::valid);
  EXPECT_EQ(format_record(loaded.record), format_record(record));
  EXPECT_EQ(load_record(path, "next-boot").state, RecordState::earlier_boot);
  EXPECT_EQ(load_record(path, "").state, RecordState::earlier_boot);

  chmod(path.c_str(), 0666);
  const LoadedRecord unsafe = load_record(path, "this-boot");
  EXPECT_EQ(unsafe.state, RecordState::refused);
  EXPECT_EQ(unsafe.reason, "writable by group or others (mode 0666)");
  dir.write("run/switch-off", "boot_id=this-boot\n");
  EXPECT_EQ(load_record(path, "this-boot").reason, "device is missing");
  EXPECT_TRUE(remove_record(path));
  EXPECT_FALSE(remove_record(path));
}

TEST(ShutdownDeadlineTest, TheRuntimeOfAPowerFailShutdownBringsItForward) {
  const struct {
    unsigned int configured;
    int mode;
    float backup_minutes;
    unsigned int expected;
  } cases[] = {
      {120, POWERFAIL_DOWN, 0.0f, 120},     // no runtime reported
      {120, POWERFAIL_DOWN, 10.0f, 120},    // plenty left
      {120, POWERFAIL_DOWN, 2.5f, 120},     // 150 s: exactly the margin more
      {120, POWERFAIL_DOWN, 2.0f, 90},      // 120 s less 30
      {120, POWERFAIL_DOWN, 0.5f, 10},      // 30 s: no shorter than 10
      {5, POWERFAIL_DOWN, 0.5f, 5},         // never later than configured
      {120, SCHEDULE_DOWN, 1.0f, 120},      // on mains the runtime does not press
      {120, POWERFAIL_DOWN, -1.0f, 120},    // nonsense is no report
      {3600, POWERFAIL_DOWN, 1e30f, 3600},  // nor is a huge one a cap
  };
  for (const auto &c : cases) {
    EXPECT_EQ(shutdown_deadline(c.configured, c.mode, c.backup_minutes), c.expected)
        << c.configured << " " << c.mode << " " << c.backup_minutes;
  }
}

TEST_F(InitShutdownTest, KeeperEscalatesOnlyWhileTheShutdownHasNotEnded) {
  const struct {
    std::vector<bool> ended;
    std::vector<std::string> first_actions;
  } cases[] = {
      {{true}, {"pause 120", "ended?"}},
      {{false, false, true},
       {"pause 120", "ended?", "ignore " + std::to_string(SIGTERM), forced, "pause 1", "ended?",
        "pause 1", "ended?"}},
  };
  for (const auto &c : cases) {
    RecordingHost keeper;
    keeper.ended_answers = c.ended;
    EXPECT_EQ(keep_deadline(120, keeper), 0);
    EXPECT_EQ(keeper.actions, c.first_actions);
  }

  // Neither ended it: the direct sequence, the UPS told what the record says.
  std::string error;
  ASSERT_TRUE(
      write_record(switch_off_record_path(), {current_boot_id(), line.path(), {7, 0, 0}}, &error))
      << error;
  RecordingHost keeper;
  EXPECT_EQ(keep_deadline(4, keeper), 0);
  ASSERT_GE(keeper.actions.size(), 6u);
  const std::string ignore_term = "ignore " + std::to_string(SIGTERM);
  EXPECT_EQ(std::vector<std::string>(keeper.actions.begin(), keeper.actions.begin() + 13),
            (std::vector<std::string>{"pause 4", "ended?", ignore_term, forced, "pause 1", "ended?",
                                      "pause 1", "ended?", "pause 1", "ended?", "pause 1", "ended?",
                                      ignore_term}));
  EXPECT_EQ(keeper.actions.back(), "halt");
  EXPECT_EQ(line.received(), command15("TD=7\n") + command15("D=0\n"));
  EXPECT_EQ(log(),
            "The orderly shutdown has not ended after 120 s (SHUTDOWN_DEADLINE): the host is "
            "forced down\n"
            "The orderly shutdown has not ended after 4 s (SHUTDOWN_DEADLINE): the host is forced "
            "down\n"
            "The forced power-off has not taken effect after 4 s: the direct sequence runs\n");

  // The forced final stage has begun but waits on processes that ignore its
  // SIGTERM: the keeper tells the UPS itself, and only once.
  ASSERT_TRUE(
      write_record(switch_off_record_path(), {current_boot_id(), line.path(), {7, 0, 0}}, &error))
      << error;
  RecordingHost held_up;
  held_up.ended_answers = {false, true};
  EXPECT_EQ(keep_deadline(4, held_up), 0);
  EXPECT_EQ(held_up.actions.back(), "ended?");
  EXPECT_EQ(line.received(), command15("TD=7\n") + command15("D=0\n"));
  EXPECT_FALSE(test::file_exists(switch_off_record_path())) << "the hook would send it again";
  EXPECT_NE(log().find("The final stage of the forced power-off has begun: the UPS is switched "
                       "off now"),
            std::string::npos)
      << log();
}

// The hook sends exactly the direct sequence's bytes, and only for this
// boot's record of a power-off.
TEST_F(InitShutdownTest, HookSendsTheRecordedBytesOnlyWhenItShould) {
  const std::string path = switch_off_record_path();
  const struct {
    std::string record;  // empty: none
    std::string verb;
    int status;
    std::string bytes;
  } cases[] = {
      {"", "poweroff", 0, ""},
      {record_for(20, 0, 0), "poweroff", 0, command15("TD=20\n") + command15("D=0\n")},
      {record_for(20, 0, 3), "halt", 0, "L\n" + command15("TD=20\n") + command15("D=0\n")},
      {record_for(5, 58, 3), "", 0, command15("TD=5\n") + command15("D=58\n")},
      {record_for(20, 0, 0), "reboot", 0, ""},
      {record_for(20, 0, 0), "kexec", 0, ""},
      {format_record({"an-earlier-boot", line.path(), {20, 0, 0}}), "poweroff", 0, ""},
      {"boot_id=" + current_boot_id() + "\ndevice=" + line.path() +
           "\ndelay=20\nsleep=0\nrestart_sleep=0\n",
       "poweroff", 0, command15("TD=20\n") + command15("D=0\n")},  // written before protocols
      {format_record({current_boot_id(), line.path(), {20, 0, 0}, "morse"}), "poweroff", 1, ""},
      {"boot_id=" + current_boot_id() + "\n", "poweroff", 1, ""},
  };
  for (const auto &c : cases) {
    remove_record(path);
    if (!c.record.empty()) {
      dir.write("run/switch-off", c.record);
    }
    EXPECT_EQ(switch_off_main(c.verb), c.status) << c.record << c.verb;
    EXPECT_EQ(line.received(), c.bytes) << c.record << c.verb;
  }
  alarm(0);
}

}  // namespace
}  // namespace tornax
