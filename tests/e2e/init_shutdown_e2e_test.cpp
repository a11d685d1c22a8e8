// The shutdown through the init system with the real tornax program in the
// sandbox, whose systemctl is a recording stub: the daemon records the UPS
// switch-off and asks for the orderly power-off; with nothing carrying it
// out, its keeper forces the host down at the deadline and at last runs the
// direct sequence, which halts the sandbox. `tornax -S`, the hook's mode,
// sends the recorded bytes to the simulated UPS.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "daemon/shutdown/switch_off_record.h"
#include "tests/support/sandboxed_daemon.h"

namespace tornax::test {
namespace {

class InitShutdownE2eTest : public SandboxedDaemonTest {
 protected:
  // Where the sandbox has the daemon keep its switch-off record.
  std::string record_path() const { return home.records.file("run/switch-off"); }
  void write_record(const SwitchOffRequest &intent, const SimulatedUps *ups = nullptr) {
    mkdir(home.records.file("run").c_str(), 0755);
    const bool qx = ups != nullptr && ups->protocol() == SimProtocol::qx;
    const SwitchOffRecord record{current_boot_id(), (ups != nullptr ? *ups : sim).slave_path(),
                                 intent, qx ? "qx" : "classic"};
    std::string error;
    ASSERT_TRUE(tornax::write_record(record_path(), record, &error)) << error;
  }
};

TEST_F(InitShutdownE2eTest, AsksSystemdThenTheKeeperForcesTheHostDownAtTheDeadline) {
  ASSERT_NO_FATAL_FAILURE(start_configured(
      "HOST_SHUTDOWN init\nSHUTDOWN_DEADLINE 2\nTURNOFF_UPS yes\nUPS_SHUTDOWN_DELAY 20\n"));
  sim.set_mains(false);
  sim.set_low_battery(true);
  EXPECT_EQ(run->wait(std::chrono::seconds(90)), halted) << run->stderr_text();

  // The record is the hook's: this boot, this line, TD=20 and D=0.
  EXPECT_EQ(read_file(record_path()),
            format_record({current_boot_id(), sim.slave_path(), {20, 0, 3}}));
  const std::string actions = run->actions();
  for (const char *asked :
       {"/bin/systemctl --no-block start --job-mode=replace-irreversibly poweroff.target\n",
        "/bin/systemctl --force poweroff\n"}) {
    EXPECT_NE(actions.find(asked), std::string::npos) << actions;
  }
  EXPECT_EQ(actions.substr(actions.find("/sbin/swapoff")), "/sbin/swapoff -a\n/bin/umount -a -f\n");
  const std::string log = home.log();
  for (const char *entry :
       {"Host shutdown through the init system (HOST_SHUTDOWN init): systemd is asked for an "
        "orderly power-off, forced after 2 s; the system-shutdown hook sends the UPS TD=20 and "
        "D=0 (D=3 when the mains are back)",
        "The orderly shutdown has not ended after 2 s (SHUTDOWN_DEADLINE): the host is forced down",
        "The forced power-off has not taken effect after 2 s: the direct sequence runs"}) {
    EXPECT_TRUE(log_has(home, entry)) << log;
  }
  // The keeper's direct sequence still gives the UPS its bytes, last.
  EXPECT_EQ(last_commands(sim, 2),
            (std::vector<std::string>{padded_control("TD=20\n"), padded_control("D=0\n")}));
}

TEST_F(InitShutdownE2eTest, SwitchOffModeSendsTheRecordedBytes) {
  const struct {
    bool mains;
    std::vector<std::string> sent;
  } cases[] = {
      {false, {"L\n", padded_control("TD=20\n"), padded_control("D=0\n")}},
      {true, {"L\n", padded_control("TD=20\n"), padded_control("D=3\n")}},  // the restart sleep
  };
  for (const auto &c : cases) {
    sim.set_mains(c.mains);
    ASSERT_NO_FATAL_FAILURE(write_record({20, 0, 3}));
    EXPECT_EQ(run_to_end({"-S", "poweroff"}), 0) << err;
    EXPECT_EQ(last_commands(sim, 3), c.sent);
    EXPECT_EQ(err, daemon_title + "Turn off UPS: TD=20, D=" + (c.mains ? "3" : "0") + " sent on " +
                       sim.slave_path() + "\n");
  }
  const std::size_t before = sim.received_count();
  EXPECT_EQ(run_to_end({"-S", "reboot"}), 0) << err;
  EXPECT_EQ(sim.received_count(), before);
}

// A Qx UPS gets its own protocol's command from the recorded switch-off.
TEST_F(InitShutdownE2eTest, SwitchOffModeSpeaksTheRecordedProtocol) {
  SimulatedUpsOptions options = test_ups_options();
  options.protocol = SimProtocol::qx;
  SimulatedUps qx(options);
  qx.start();
  ASSERT_NO_FATAL_FAILURE(write_record({30, 0, 3}, &qx));
  EXPECT_EQ(run_to_end({"-S", "poweroff"}), 0) << err;
  EXPECT_EQ(last_commands(qx, 1), std::vector<std::string>{"S.5R0003\r"}) << err;
  EXPECT_EQ(sim.received_count(), 0u);
}

TEST_F(InitShutdownE2eTest, TheDaemonRemovesAStaleRecordAtStart) {
  ASSERT_NO_FATAL_FAILURE(write_record({20, 0, 3}));
  ASSERT_NO_FATAL_FAILURE(start_configured());
  EXPECT_FALSE(file_exists(record_path()));
  EXPECT_TRUE(log_has(home, "Removed the UPS switch-off record " + record_path() +
                                " left from an earlier shutdown"))
      << home.log();
  stop_daemon();
}

}  // namespace
}  // namespace tornax::test
