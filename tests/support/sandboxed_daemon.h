// The common ground of the end-to-end tests of the real daemon: a simulated
// UPS running in this (outside) process for the whole test, a home for the
// daemon, and the daemon started in the sandbox against the simulator's line.
#ifndef TORNAX_TESTS_SUPPORT_SANDBOXED_DAEMON_H
#define TORNAX_TESTS_SUPPORT_SANDBOXED_DAEMON_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/simulated_ups.h"
#include "tests/kit/files.h"
#include "tests/kit/processes.h"
#include "tests/kit/texts.h"
#include "tests/support/daemon_home.h"
#include "tests/support/sandbox_run.h"
#include "tests/support/sim_fixture.h"

namespace tornax::test {

// A sandbox's status once a halt inside it ended its init.
inline constexpr int halted = 130;

class SandboxedDaemonTest : public testing::Test {
 protected:
  // `ups`: the simulator's options (a fixture for another protocol passes its own).
  explicit SandboxedDaemonTest(SimulatedUpsOptions ups = test_ups_options())
      : sim(std::move(ups)) {}
  // Starts the simulator and finds a free loopback port.
  void SetUp() override;
  // Stops the simulator; a sandbox still running ends with `run`.
  void TearDown() override;

  // Starts `argv` (default: the daemon alone) in the sandbox with the home as
  // it is, and waits until the daemon has logged its start; sets `run` and
  // `daemon` (its host pid). A fatal failure, with the run's output, when it
  // did not start.
  void start_daemon(const std::vector<std::string> &argv = {});
  // Writes the home's configuration for the simulator's line with `extra`,
  // then starts the daemon as start_daemon() does, behind `prefix` (a command
  // such as prlimit ...) when one is given.
  void start_configured(const std::string &extra = "", const std::vector<std::string> &prefix = {});
  // Stops the daemon with SIGTERM between two cycles and expects a clean end
  // of its sandbox.
  void stop_daemon();
  // Runs `tornax args...` (behind `prefix`, a command such as setpriv) in a
  // sandbox of its own to its end, with this home, as an administrator's
  // command; its output goes to `out` and `err`. Returns its exit status, -1
  // when it did not end.
  int run_to_end(const std::vector<std::string> &args, const std::vector<std::string> &prefix = {});
  // Lets `cycles` more monitoring cycles poll the UPS (eight queries each);
  // false when they did not come within a generous time.
  bool let_cycles_pass(std::size_t cycles);

  SimulatedUps sim;
  DaemonHome home;
  std::unique_ptr<SandboxRun> run;
  pid_t daemon = 0;
  // A loopback port nothing listened on at the start, for a listener of the
  // daemon's.
  int port = 0;
  std::string out, err;
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_SANDBOXED_DAEMON_H
