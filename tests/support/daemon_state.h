// Puts the daemon's global state back to what a freshly started process has.
#ifndef TORNAX_TESTS_SUPPORT_DAEMON_STATE_H
#define TORNAX_TESTS_SUPPORT_DAEMON_STATE_H

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace tornax::test {

// Settings, status, measurements, the prefix queue, the time seams and the
// waits and limits of `timings`.
void reset_daemon_state();

// Points the daemon's log at `path` with every event logged, for tests that
// read what the monitoring cycle logs.
void log_every_event_to(const std::string &path);

// Local time is UTC from now on in this process, so dates in texts are the
// same on every machine.
void use_utc_time_zone();

// 6 December 2026, 18:44:21 UTC: a clock function for tests whose "now" is
// fixed.
std::time_t fixed_now();

// The six measurements of a poll, as the monitoring cycle stores them.
struct Readings {
  float line = 0;       // ups_linevoltage
  float output = 0;     // ups_invvoltage
  float charge = 0;     // ups_percentbatt
  float load = 0;       // ups_percentloadpower
  float frequency = 0;  // ups_freq
  float current = 0;    // ups_loadcurrent
};
// Stores them in the daemon's globals (the caller takes tornax_mutex where
// threads read them).
void set_readings(const Readings &readings);

// A fixture that resets the daemon's state before each test.
class DaemonStateTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_daemon_state(); }
  void TearDown() override { reset_daemon_state(); }
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_DAEMON_STATE_H
