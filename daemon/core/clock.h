// Time and sleeping, each reached through one replaceable function so tests
// can run a 15-second self-test or a schedule at 22:20 without waiting for it.
// Production code never replaces them. Replace them only from the main thread
// before other threads start.
#ifndef TORNAX_DAEMON_CORE_CLOCK_H
#define TORNAX_DAEMON_CORE_CLOCK_H

#include <ctime>
#include <string>

namespace tornax {

// The current calendar time (time(nullptr) unless a test set another clock).
std::time_t clock_now();

// Sleeps for the full number of seconds: a signal that interrupts the sleep
// (the one-second alarm ticks) does not shorten it.
void sleep_full(unsigned int seconds);

using ClockFunction = std::time_t (*)();
using SleepFunction = void (*)(unsigned int seconds);

// Install a replacement; nullptr restores the real one. Return the previous.
ClockFunction set_clock_function(ClockFunction function);
SleepFunction set_sleep_function(SleepFunction function);

// `when` as local time in the strftime `format` (at most 63 characters of
// text); "?" when it can't be shown. The attribute has the compiler check
// every call's format.
std::string local_time_text(std::time_t when, const char *format)
    __attribute__((format(strftime, 2, 0)));

// Whole seconds of a clock that only moves forward (not the calendar time,
// which the administrator or NTP may set back): for rates and time-outs.
// Any thread; no seam, as nothing waits on it.
long monotonic_seconds();

// The real implementations, for replacements that want to delegate.
std::time_t real_clock_now();
void real_sleep_full(unsigned int seconds);

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_CLOCK_H
