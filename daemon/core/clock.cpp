#include "daemon/core/clock.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <string>

namespace tornax {
namespace {

ClockFunction clock_function = real_clock_now;
SleepFunction sleep_function = real_sleep_full;

}  // namespace

std::time_t real_clock_now() {
  return std::time(nullptr);
}

void real_sleep_full(unsigned int seconds) {
  struct timespec remaining {
    static_cast<std::time_t>(seconds), 0
  };
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

// The format is checked where each call names it (the declaration's
// attribute), so passing it on here needs no check of its own.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string local_time_text(std::time_t when, const char *format) {
  struct tm local {};
  char text[64];
  if (localtime_r(&when, &local) == nullptr ||
      std::strftime(text, sizeof text, format, &local) == 0) {
    return "?";
  }
  return text;
}
#pragma GCC diagnostic pop

long monotonic_seconds() {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count());
}

std::time_t clock_now() {
  return clock_function();
}

void sleep_full(unsigned int seconds) {
  sleep_function(seconds);
}

ClockFunction set_clock_function(ClockFunction function) {
  ClockFunction previous = clock_function;
  clock_function = function ? function : real_clock_now;
  return previous;
}

SleepFunction set_sleep_function(SleepFunction function) {
  SleepFunction previous = sleep_function;
  sleep_function = function ? function : real_sleep_full;
  return previous;
}

}  // namespace tornax
