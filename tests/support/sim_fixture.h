// A simulated UPS on a pty with the daemon's side of the line opened through
// openport(), for in-process tests of the UPS link and the monitoring cycle.
#ifndef TORNAX_TESTS_SUPPORT_SIM_FIXTURE_H
#define TORNAX_TESTS_SUPPORT_SIM_FIXTURE_H

#include <chrono>
#include <string>
#include <vector>

#include "sim/simulated_ups.h"
#include "tests/support/daemon_state.h"

namespace tornax::test {

// Options for test simulators: self-tests end at once, so a test that skips
// the daemon's 15-second wait still reads a finished test's status.
SimulatedUpsOptions test_ups_options();

// Resets the daemon's state, starts `sim` and opens its line into `fd` (also
// stored in serial_fd). Tests change the simulated state through `sim`.
class SimulatedUpsTest : public DaemonStateTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Opens the line again with a shorter reply time-out, so that tests of
  // many silent or broken exchanges do not wait 0.8 s for each.
  void shorten_reply_timeout(std::chrono::milliseconds timeout);

  SimulatedUps sim{test_ups_options()};
  int fd = -1;
};

// Waits until at least `bytes` bytes of input wait unread on `fd`; false when
// the time ran out.
bool wait_for_pending_input(int fd, int bytes,
                            std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The command bytes of the last `count` entries of the simulator's log.
std::vector<std::string> last_commands(const SimulatedUps &sim, std::size_t count);

// The bytes of every control command (shutdown delay, switch-off) in the
// simulator's log, in order.
std::vector<std::string> control_commands(const SimulatedUps &sim);

// A control command's text padded with NUL bytes to the 15 bytes it is sent as.
std::string padded_control(const std::string &text);

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_SIM_FIXTURE_H
