// The shutdown schedule and the UPS self-test schedule. The shutdown check
// looks ten minutes ahead for a down-time (daily, daily with a longer rest at
// the end of a working week, weekly, or on listed dates) and works out how
// long the UPS is to stay off, from the down-time to the following up-time.
// The self-test check runs the UPS self-test in the minute each entry names.
// Both read the schedules from `settings` and the time through clock_now();
// they run on the main thread inside the monitoring cycle, which holds
// tornax_mutex.
#ifndef TORNAX_DAEMON_CORE_SCHEDULE_H
#define TORNAX_DAEMON_CORE_SCHEDULE_H

#include <cstddef>
#include <ctime>
#include <optional>

#include "tornax.h"

namespace tornax {

// Seconds the shutdown check looks ahead: the length of the cycle's countdown.
inline constexpr int schedule_lookahead = 600;

// Returns the UPS sleep time in minutes when a scheduled down-time falls in
// the minute that begins 600 seconds from now, else 0 (also with no schedule
// or an unknown mode). Prints the sleep-time line on standard output when it
// triggers. Never changes the stored schedule.
int check_shutdown_schedule();

// Prints the loaded shutdown schedule and the self-test entries on standard
// output. A diagnostic aid; the daemon's own flow does not call it.
void show_schedule();

// Runs, through the UPS driver's self-test on `fd`, one self-test when an entry's minute (day,
// month, hour, minute) is now and its test has not yet run in it, logging
// "Schedule UPS TEST" before and the result line after; entries naming the
// same minute share that one test. Keeps each entry's `executed` flag; raises
// ups_testing for the length of the test.
void check_test_schedule(int fd);

// Size of the self-test result line, terminator included.
inline constexpr std::size_t test_result_size = 50;

// Formats "Schedule UPS TEST return : \"<status>\"" into `line` (at least
// test_result_size characters). Reads at most `status_size` characters of
// `status`, which need not be terminated, and cuts a status too long for the
// line so that the closing quote stays.
void format_test_result(char *line, const char *test_status, std::size_t status_size);

// A scheduled shutdown as a daemon running from now would see it: the
// down-time it starts at and the UPS sleep time in minutes.
struct ShutdownPreview {
  std::time_t down = 0;
  int sleep_minutes = 0;
};

// The next down-time at which `config`'s shutdown schedule starts a shutdown
// for a daemon running from `now` (the first whose minute the ten-minute
// look-ahead has not passed), judged by the check itself; nullopt with no
// schedule or none that starts one. Prints nothing; reads no clock.
std::optional<ShutdownPreview> next_scheduled_shutdown(const Settings &config, std::time_t now);

// The start of the next minute, the current one included, in which a
// self-test of `config` runs; nullopt with none that can occur.
std::optional<std::time_t> next_self_test(const Settings &config, std::time_t now);

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_SCHEDULE_H
