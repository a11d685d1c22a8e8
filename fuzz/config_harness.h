// What the two configuration harnesses share: the configuration file in
// memory, the properties every configuration in force keeps, and the uses
// made of it where the file's values, taken as written, meet the calendar
// arithmetic: the summary of `tornax -t` and the shutdown schedule's check at
// the moments its down-times fall due.
#ifndef TORNAX_FUZZ_CONFIG_HARNESS_H
#define TORNAX_FUZZ_CONFIG_HARNESS_H

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "daemon/config/config_check.h"
#include "daemon/config/config_read.h"
#include "daemon/core/clock.h"
#include "daemon/core/schedule.h"
#include "daemon/core/util.h"
#include "fuzz/harness.h"
#include "tornax.h"

namespace tornax::fuzz {

// The configuration file the daemon reads: config_filename names it.
inline MemoryFile &config_file() {
  static MemoryFile file;
  return file;
}

// Points config_filename at the in-memory file and sets a zone with daylight
// saving time, so manual ranges cross its changes. Once, before any input.
inline void set_up_config_harness() {
  std::snprintf(config_filename, sizeof config_filename, "%s", config_file().path());
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
}

// Reads `size` bytes of `data` as the configuration file over the settings
// in force; returns the failure, if any.
inline std::optional<ConfigFailure> read_config(const std::uint8_t *data, std::size_t size) {
  config_file().fill(data, size);
  return try_config_read();
}

inline bool is_flag(int value) {
  return value == 0 || value == 1;
}

// What the alerter, the logger, the pager and the schedules rely on in every
// configuration in force: all required statements, values they can index and
// count with.
inline void require_sound_settings(const Settings &s) {
  for (int e = 0; e < event_count; ++e) {
    require(s.alert[e].found == 1 && s.log_control[e].found == 1, "required statements found");
    require(s.alert[e].who >= scope_none && s.alert[e].who <= scope_all, "a known alert scope");
    require(s.alert[e].interval >= 0, "a repeat interval that is not negative");
    require(is_flag(s.log_control[e].enable) && is_flag(s.pager[e].enable), "yes/no flags");
  }
  require(s.wall_cmd.has_value(), "a broadcast command");
  require(is_flag(s.turnoff_ups), "a yes/no TURNOFF_UPS");
  require(s.http_port >= 0 && s.http_port <= 65535, "an HTTP_PORT that names a port or none");
  require(s.shutdown_schedule_mode >= schedule_none && s.shutdown_schedule_mode <= schedule_manual,
          "a known schedule mode");
  require(s.num_shutdown_schedule >= 0 && s.num_shutdown_schedule <= max_schedule_entries,
          "manual ranges within their table");
  require(s.num_test_schedule >= 0 && s.num_test_schedule <= max_schedule_entries,
          "self-test dates within their table");
}

inline std::time_t &fake_now() {
  static std::time_t now = 0;
  return now;
}

// Runs the shutdown check with the clock 600 seconds before `due` (in local
// time, normalised as the calendar does), if the calendar can represent it.
inline void check_schedule_before(struct tm due) {
  due.tm_isdst = -1;
  const std::time_t t = std::mktime(&due);
  if (t == static_cast<std::time_t>(-1)) {
    return;
  }
  fake_now() = t - schedule_lookahead;
  check_shutdown_schedule();
}

// The moment a record's down-time names on `mday` January 2031, a year whose
// first week holds every weekday.
inline struct tm on_day(const struct tm &downtime, int mday) {
  struct tm due {};
  due.tm_year = 131;
  due.tm_mday = mday;
  due.tm_hour = downtime.tm_hour;
  due.tm_min = downtime.tm_min;
  return due;
}

// Summarises the configuration as `tornax -t` does, shows the schedule and
// checks it when each of its first down-times falls due: the daily ones on
// every day of a week (so also on the last day of an apply period), the
// manual ranges on their dates.
inline void use_configuration(const Settings &s) {
  struct tm new_year {};
  new_year.tm_year = 131;
  new_year.tm_mday = 1;
  new_year.tm_isdst = -1;
  configuration_summary(s, std::mktime(&new_year));
  set_clock_function([] { return fake_now(); });
  show_schedule();
  const shutdown_schedule &first = s.shutdown_schedule_list[0];
  if (s.shutdown_schedule_mode == schedule_manual) {
    constexpr int checked = 4;
    for (int i = 0; i < s.num_shutdown_schedule && i < checked; ++i) {
      struct tm due = s.shutdown_schedule_list[i].downtime;
      due.tm_year = 131;
      check_schedule_before(due);
    }
  } else if (s.shutdown_schedule_mode != schedule_none) {
    for (int day = 1; day <= 7; ++day) {
      check_schedule_before(on_day(first.downtime, day));
    }
  }
  set_clock_function(nullptr);
}

}  // namespace tornax::fuzz

#endif  // TORNAX_FUZZ_CONFIG_HARNESS_H
