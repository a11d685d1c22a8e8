#include "daemon/core/schedule.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "daemon/core/clock.h"
#include "daemon/core/cycle_facts.h"
#include "daemon/report/logger.h"
#include "daemon/ups/driver.h"
#include "tornax.h"

namespace tornax {
namespace {

constexpr int minutes_per_day = 1440;

// The configuration's values are taken as written, so arithmetic on them runs
// in 64 bits and the result is held within an int.
int clamp_to_int(long long value) {
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

int clamp_count(int count) {
  return std::clamp(count, 0, max_schedule_entries);
}

bool same_clock(const struct tm &a, const struct tm &b) {
  return a.tm_hour == b.tm_hour && a.tm_min == b.tm_min;
}

bool same_date_and_clock(const struct tm &a, const struct tm &b) {
  return same_clock(a, b) && a.tm_mday == b.tm_mday && a.tm_mon == b.tm_mon;
}

// Hours and minutes from a down-time to the next up-time on the clock. A
// window that runs over midnight borrows a day, which the daily schedule
// ignores and the others take from the weekday difference.
struct ClockDifference {
  long long hour = 0;
  long long min = 0;
  int borrowed_day = 0;
};

ClockDifference clock_difference(const struct tm &down, const struct tm &up) {
  ClockDifference d;
  int borrowed_hour = 0;
  d.min = static_cast<long long>(up.tm_min) - down.tm_min;
  if (d.min < 0) {
    d.min += 60;
    borrowed_hour = 1;
  }
  d.hour = static_cast<long long>(up.tm_hour) - borrowed_hour - down.tm_hour;
  if (d.hour < 0) {
    d.hour += 24;
    d.borrowed_day = 1;
  }
  return d;
}

// Days from one weekday to another, less a borrowed day, wrapped into a week.
long long weekday_difference(int from, int to, int borrowed_day) {
  long long days = static_cast<long long>(to) - borrowed_day - from;
  return days < 0 ? days + 7 : days;
}

// A check that triggers prints its sleep time on `report`; a preview of the
// schedule passes nullptr and prints nothing.
int report_sleep(long long day, const ClockDifference &d, std::FILE *report) {
  const int total = clamp_to_int(day * minutes_per_day + d.hour * 60 + d.min);
  if (report != nullptr) {
    std::fprintf(report, "sleeptime day=%lld hour=%lld min=%lld total=%d\n", day, d.hour, d.min,
                 total);
    std::fflush(report);
  }
  return total;
}

int check_daily(const shutdown_schedule &window, const struct tm &ahead, std::FILE *report) {
  if (!same_clock(window.downtime, ahead)) {
    return 0;
  }
  return report_sleep(0, clock_difference(window.downtime, window.uptime), report);
}

// On the last weekday of the working period the rest runs on to the up-time
// on the period's first weekday.
int check_daily_apply(const shutdown_schedule &window, const shutdown_apply_struct &apply,
                      const struct tm &ahead, std::FILE *report) {
  if (!same_clock(window.downtime, ahead)) {
    return 0;
  }
  const ClockDifference d = clock_difference(window.downtime, window.uptime);
  long long day = 0;
  if (apply.end.tm_wday == ahead.tm_wday) {
    day = weekday_difference(apply.end.tm_wday, apply.begin.tm_wday, d.borrowed_day);
  }
  return report_sleep(day, d, report);
}

int check_weekly(const shutdown_schedule &window, const struct tm &ahead, std::FILE *report) {
  if (!same_clock(window.downtime, ahead) || window.downtime.tm_wday != ahead.tm_wday) {
    return 0;
  }
  const ClockDifference d = clock_difference(window.downtime, window.uptime);
  const long long day =
      weekday_difference(window.downtime.tm_wday, window.uptime.tm_wday, d.borrowed_day);
  return report_sleep(day, d, report);
}

// The calendar time of a record's date and clock time in `year`. Whether
// daylight-saving time applies is worked out for that date, so the sleep
// ends at the up-time as the clocks will show it. Works on a copy: the
// stored record keeps its fields.
std::optional<std::time_t> calendar_time(struct tm when, int year) {
  when.tm_year = year;
  when.tm_isdst = -1;
  const std::time_t t = std::mktime(&when);
  if (t == static_cast<std::time_t>(-1)) {
    return std::nullopt;
  }
  return t;
}

// Sleep minutes of a matched manual range; an up-time before the down-time
// lies in the next year (a range from 31 DEC to 2 JAN). A date too far out
// for the calendar starts nothing.
int manual_sleep(const shutdown_schedule &range, int year, std::FILE *report) {
  const std::optional<std::time_t> down = calendar_time(range.downtime, year);
  std::optional<std::time_t> up = calendar_time(range.uptime, year);
  if (!down || !up) {
    return 0;
  }
  double seconds = std::trunc(std::difftime(*up, *down));
  if (seconds < 0) {
    up = calendar_time(range.uptime, year + 1);
    if (!up) {
      return 0;
    }
    seconds = std::trunc(std::difftime(*up, *down));
  }
  const double minutes = std::trunc(seconds / 60);
  const int total = static_cast<int>(std::clamp<double>(minutes, INT_MIN, INT_MAX));
  if (report != nullptr) {
    std::fprintf(report, "sleeptime total=%d\n", total);
    std::fflush(report);
  }
  return total;
}

// The first range in file order whose down-time is the moment ahead decides.
int check_manual(const Settings &config, const struct tm &ahead, std::FILE *report) {
  const int count = clamp_count(config.num_shutdown_schedule);
  for (int i = 0; i < count; ++i) {
    const shutdown_schedule &range = config.shutdown_schedule_list[i];
    if (same_date_and_clock(range.downtime, ahead)) {
      return manual_sleep(range, ahead.tm_year, report);
    }
  }
  return 0;
}

int check_schedule_at(const Settings &config, const struct tm &ahead, std::FILE *report) {
  const shutdown_schedule &first = config.shutdown_schedule_list[0];
  switch (config.shutdown_schedule_mode) {
    case schedule_daily:
      return check_daily(first, ahead, report);
    case schedule_daily_apply:
      return check_daily_apply(first, config.schedule_apply, ahead, report);
    case schedule_weekly:
      return check_weekly(first, ahead, report);
    case schedule_manual:
      return check_manual(config, ahead, report);
    default:
      return 0;
  }
}

void show_shutdown_schedule(const Settings &config) {
  const struct tm &down = config.shutdown_schedule_list[0].downtime;
  const struct tm &up = config.shutdown_schedule_list[0].uptime;
  switch (config.shutdown_schedule_mode) {
    case schedule_daily:
      std::printf("Shutdown every day %d:%d to %d:%d\n", down.tm_hour, down.tm_min, up.tm_hour,
                  up.tm_min);
      break;
    case schedule_daily_apply:
      std::printf("shutdwon every day  %d:%d to %d:%d apply on %d to %d\n", down.tm_hour,
                  down.tm_min, up.tm_hour, up.tm_min, config.schedule_apply.begin.tm_wday,
                  config.schedule_apply.end.tm_wday);
      break;
    case schedule_weekly:
      std::printf("Shutdown every day %d %d:%d to %d %d:%d\n", down.tm_wday, down.tm_hour,
                  down.tm_min, up.tm_wday, up.tm_hour, up.tm_min);
      break;
    case schedule_manual:
      std::printf("shutdown manual at\n");
      for (int i = 0; i < clamp_count(config.num_shutdown_schedule); ++i) {
        const shutdown_schedule &range = config.shutdown_schedule_list[i];
        std::printf("%d %d %d:%d to %d %d %d:%d\n", range.downtime.tm_mday, range.downtime.tm_mon,
                    range.downtime.tm_hour, range.downtime.tm_min, range.uptime.tm_mday,
                    range.uptime.tm_mon, range.uptime.tm_hour, range.uptime.tm_min);
      }
      break;
    default:
      break;
  }
}

// A test holds the cycle, and the status lines with it, for 15 seconds, so
// entries that name the same minute share one test instead of running one
// after the other while clients give the daemon up for lost.
void run_self_test(int fd) {
  if (ups_lacks(lacks_self_test)) {
    writelog("Schedule UPS TEST skipped: the UPS protocol in use has no self-test");
    return;
  }
  writelog("Schedule UPS TEST");
  ups_testing = 1;
  note_self_test(true);  // the cycle publishes nothing while the test holds it
  ups_driver().self_test(fd);
  note_self_test(false);
  ups_testing = 0;
  char line[test_result_size];
  format_test_result(line, ups_teststatus, sizeof ups_teststatus);
  writelog(line);
}

}  // namespace

int check_shutdown_schedule() {
  const std::time_t rawtime = clock_now() + schedule_lookahead;
  struct tm this_time {};
  if (localtime_r(&rawtime, &this_time) == nullptr) {
    return 0;
  }
  return check_schedule_at(settings, this_time, stdout);
}

void show_schedule() {
  show_shutdown_schedule(settings);
  for (int n = 0; n < clamp_count(settings.num_test_schedule); ++n) {
    const struct tm &time = settings.test_schedule_list[n].time;
    std::printf("Test UPS at : %d %d %d:%d\n", time.tm_mday, time.tm_mon, time.tm_hour,
                time.tm_min);
  }
  std::fflush(stdout);
}

void check_test_schedule(int fd) {
  const std::time_t rawtime = clock_now();
  struct tm this_time {};
  if (localtime_r(&rawtime, &this_time) == nullptr) {
    return;
  }
  bool due = false;
  for (int n = 0; n < clamp_count(settings.num_test_schedule); ++n) {
    test_schedule &entry = settings.test_schedule_list[n];
    if (!same_date_and_clock(entry.time, this_time)) {
      entry.executed = 0;
    } else if (entry.executed == 0) {
      entry.executed = 1;
      due = true;
    }
  }
  if (due) {
    run_self_test(fd);
  }
}

void format_test_result(char *line, const char *test_status, std::size_t status_size) {
  static constexpr char opening[] = "Schedule UPS TEST return : \"";
  // Room for the status: the line less its fixed text, closing quote and terminator.
  constexpr std::size_t room = test_result_size - (sizeof opening - 1) - 2;
  const std::size_t length = std::min(strnlen(test_status, status_size), room);
  std::snprintf(line, test_result_size, "%s%.*s\"", opening, static_cast<int>(length), test_status);
}

// ---- Previews -----------------------------------------------------------------

namespace {

// Years a dated entry is looked for ahead: a 29 FEB comes round within eight.
constexpr int preview_years = 8;

// The moment a local date and clock time name, when that moment exists as
// written: not for a 31 FEB, an hour of 25, or a clock time that the change
// to summer time skips (the checks, which compare the clock, never see those).
std::optional<std::time_t> local_moment(int year, int mon, int mday, int hour, int min) {
  struct tm when {};
  when.tm_year = year;
  when.tm_mon = mon;
  when.tm_mday = mday;
  when.tm_hour = hour;
  when.tm_min = min;
  when.tm_isdst = -1;
  const std::time_t t = std::mktime(&when);
  if (t == static_cast<std::time_t>(-1) || when.tm_year != year || when.tm_mon != mon ||
      when.tm_mday != mday || when.tm_hour != hour || when.tm_min != min) {
    return std::nullopt;
  }
  return t;
}

// The local date `days` after the one of `now`, normalised (noon keeps a
// change of clocks from moving it to another day).
struct tm date_after(std::time_t now, int days) {
  struct tm date {};
  localtime_r(&now, &date);
  date.tm_mday += days;
  date.tm_hour = 12;
  date.tm_min = 0;
  date.tm_sec = 0;
  date.tm_isdst = -1;
  std::mktime(&date);
  return date;
}

// The check itself decides whether a candidate down-time starts a shutdown,
// so the preview can't disagree with it (a window whose up-time equals its
// down-time, say, starts none).
std::optional<ShutdownPreview> try_down_time(const Settings &config, std::time_t candidate,
                                             std::time_t earliest) {
  struct tm local {};
  if (candidate < earliest || localtime_r(&candidate, &local) == nullptr) {
    return std::nullopt;
  }
  const int sleep = check_schedule_at(config, local, nullptr);
  if (sleep == 0) {
    return std::nullopt;
  }
  return ShutdownPreview{candidate, sleep};
}

std::optional<ShutdownPreview> next_clock_shutdown(const Settings &config, std::time_t now,
                                                   std::time_t earliest) {
  const struct tm &down = config.shutdown_schedule_list[0].downtime;
  for (int day = 0; day <= 8; ++day) {
    const struct tm date = date_after(now, day);
    const std::optional<std::time_t> candidate =
        local_moment(date.tm_year, date.tm_mon, date.tm_mday, down.tm_hour, down.tm_min);
    if (candidate) {
      if (std::optional<ShutdownPreview> found = try_down_time(config, *candidate, earliest)) {
        return found;
      }
    }
  }
  return std::nullopt;
}

// The first moment from `earliest` on that shows the date and clock of
// `when` (no year: it recurs every year).
std::optional<std::time_t> next_dated(const struct tm &when, std::time_t now,
                                      std::time_t earliest) {
  const struct tm today = date_after(now, 0);
  for (int year = today.tm_year - 1; year <= today.tm_year + preview_years; ++year) {
    const std::optional<std::time_t> t =
        local_moment(year, when.tm_mon, when.tm_mday, when.tm_hour, when.tm_min);
    if (t && *t >= earliest) {
      return t;
    }
  }
  return std::nullopt;
}

std::optional<ShutdownPreview> next_manual_shutdown(const Settings &config, std::time_t now,
                                                    std::time_t earliest) {
  std::optional<ShutdownPreview> first;
  for (int i = 0; i < clamp_count(config.num_shutdown_schedule); ++i) {
    const std::optional<std::time_t> t =
        next_dated(config.shutdown_schedule_list[i].downtime, now, earliest);
    if (!t || (first && *t >= first->down)) {
      continue;
    }
    if (std::optional<ShutdownPreview> found = try_down_time(config, *t, earliest)) {
      first = found;
    }
  }
  return first;
}

}  // namespace

std::optional<ShutdownPreview> next_scheduled_shutdown(const Settings &config, std::time_t now) {
  // The check looks 600 s ahead, so a down-time whose minute ends within
  // that look-ahead is already too close.
  const std::time_t earliest = now + schedule_lookahead - 59;
  switch (config.shutdown_schedule_mode) {
    case schedule_daily:
    case schedule_daily_apply:
    case schedule_weekly:
      return next_clock_shutdown(config, now, earliest);
    case schedule_manual:
      return next_manual_shutdown(config, now, earliest);
    default:
      return std::nullopt;
  }
}

std::optional<std::time_t> next_self_test(const Settings &config, std::time_t now) {
  // The minute under way still counts: its test runs in the next cycle.
  const std::time_t earliest = now - 59;
  std::optional<std::time_t> first;
  for (int n = 0; n < clamp_count(config.num_test_schedule); ++n) {
    const std::optional<std::time_t> t =
        next_dated(config.test_schedule_list[n].time, now, earliest);
    if (t && (!first || *t < *first)) {
      first = t;
    }
  }
  return first;
}

}  // namespace tornax
