#include "daemon/core/cycle_facts.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>

#include "daemon/config/config_read.h"
#include "daemon/core/monitor.h"
#include "daemon/core/powerfail.h"

namespace tornax {
namespace {

// The handed-over copy and the lock that guards the pointer alone. Never
// destroyed: the HTTP thread may read it until the very end of the process.
struct Published {
  std::mutex lock;
  std::shared_ptr<const CycleFacts> facts;
};

const std::time_t process_start = std::time(nullptr);

std::shared_ptr<const CycleFacts> unpublished_facts() {
  auto facts = std::make_shared<CycleFacts>();
  facts->start_time = process_start;
  return facts;
}

Published &published() {
  static Published *const instance = [] {
    auto *p = new Published;
    p->facts = unpublished_facts();
    return p;
  }();
  return *instance;
}

std::atomic<bool> self_test_now{false};

// Publications so far. Surfaces wait for it to move with a futex, so a
// status line goes out right after a cycle has published instead of at a
// phase of its own, which could lag a change by most of a second.
alignas(std::atomic_ref<unsigned int>::required_alignment) unsigned int publications = 0;
std::atomic<int> waiting{0};  // threads in wait_for_publication

std::atomic_ref<unsigned int> publication_counter() {
  return std::atomic_ref<unsigned int>(publications);
}

struct timespec deadline_after(std::chrono::milliseconds limit) {
  struct timespec deadline {};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const long long ms = std::max<long long>(limit.count(), 0);
  deadline.tv_sec += static_cast<std::time_t>(ms / 1000);
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}

// A waiter counts itself before it reads the count, and the publisher moves
// the count before it looks for waiters: either the waiter sees the new
// count, or the publisher sees the waiter and wakes it.
void wake_waiters() {
  publication_counter().fetch_add(1);
  if (waiting.load() > 0) {
    syscall(SYS_futex, &publications, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
  }
}

void publish_ext_status() {
  unsigned short word = 0;
  word |= status[COMM_ERROR] != 0 ? ext_comm_error : 0;
  word |= status[POWERFAIL] != 0 ? ext_powerfail : 0;
  word |= status[OVERLOAD] != 0 ? ext_overload : 0;
  word |= status[LOWBATT] != 0 ? ext_lowbatt : 0;
  word |= ups_testing != 0 ? ext_testing : 0;
  word |= schedule_down_timer != 0 ? ext_schedule_down : 0;
  ext_status.store(word);
}

// The schedule previews cost up to a few hundred local-time conversions, so
// the main thread works them out again only when the minute or the settings
// change, and not while a countdown runs: then the down-time that started it
// is the one to show.
struct PreviewCache {
  long minute = -1;
  unsigned int generation = 0;
};
PreviewCache preview_cache;  // the main thread's

void refresh_previews(CycleFacts &facts, std::time_t now, PreviewCache &cache) {
  const long minute = static_cast<long>(now / 60);
  if (schedule_down_timer != 0 ||
      (minute == cache.minute && settings_generation == cache.generation)) {
    return;
  }
  cache = {minute, settings_generation};
  facts.next_shutdown = next_scheduled_shutdown(settings, now);
  facts.next_self_test = next_self_test(settings, now);
}

// Only the main thread writes the settings, so it reads them without the lock.
void copy_settings(CycleFacts &facts) {
  facts.location = settings.ups_location;
  facts.powerfail_timeout = settings.powerfail_timeout;
  facts.allow = settings.allow;
  facts.max_client = settings.max_client;
  facts.max_client_per_host = settings.max_client_per_host;
  facts.nut_max_client = settings.nut_max_client;
  facts.nut_upsname = settings.nut_upsname;
  facts.nut_users = settings.nut_users;
  facts.nut_hostsync = settings.nut_hostsync;
  facts.nut_certificate = settings.nut_certificate;
  facts.nut_require_tls = settings.nut_require_tls;
  facts.shutdown_charge = settings.shutdown_charge;
  facts.shutdown_runtime = settings.shutdown_runtime;
}

void put_in_place(std::shared_ptr<const CycleFacts> facts) {
  const std::lock_guard<std::mutex> hold(published().lock);
  published().facts = std::move(facts);
}

// An event fires as the log sees it: its slot moved to exactly 1 this cycle.
void count_fired_events(CycleFacts &facts, std::time_t now) {
  for (int n = 0; n < event_count; ++n) {
    if (status[n] != 1 || status_stalled[n]) {
      continue;
    }
    ++facts.events_total[static_cast<std::size_t>(n)];
    facts.recent.push_back({now, n});
    if (facts.recent.size() > recent_event_count) {
      facts.recent.pop_front();
    }
  }
}

// The cycle's values, and its measurements only when the UPS answered it: a
// silent cycle keeps those of the last one that was answered.
void take_values(CycleFacts &facts, std::time_t now) {
  const StatusSnapshot taken = take_status_snapshot();
  if (!comm_lost(facts)) {
    facts.values = taken;
    facts.backuptime = ups_backuptime;
    facts.readings_time = now;
    return;
  }
  StatusSnapshot &kept = facts.values;
  kept.ext_status = taken.ext_status;
  kept.remain_time = taken.remain_time;
  kept.schedule_down_timer = taken.schedule_down_timer;
  std::memcpy(kept.teststatus, taken.teststatus, sizeof kept.teststatus);
  std::memcpy(kept.test_result, taken.test_result, sizeof kept.test_result);
}

// The readings the charts draw; none while the UPS is silent, whose last
// values are no reading of now.
void add_to_history(CycleFacts &facts, std::time_t now) {
  std::optional<HistoryReading> reading;
  if (!comm_lost(facts)) {
    reading = HistoryReading{facts.values.percentbatt, facts.values.percentloadpower,
                             facts.values.linevoltage, facts.backuptime};
  }
  facts.history.add(now, reading, on_battery(facts));
}

}  // namespace

void publish_cycle(std::chrono::steady_clock::duration cycle_time, std::time_t now) {
  publish_ext_status();
  auto facts = std::make_shared<CycleFacts>(*latest_cycle_facts());
  facts->cycled = true;
  facts->time = now;
  std::memcpy(facts->status.data(), status, sizeof status);
  take_values(*facts, now);
  facts->powerfail_left = remain_seconds;
  facts->linenormal = ups_linenormal;
  facts->ups_mfr = ups_mfr;
  facts->ups_version.assign(ups_version, strnlen(ups_version, sizeof ups_version));
  facts->lacks = ups_driver().lacks();
  facts->cycle_seconds = std::chrono::duration<double>(cycle_time).count();
  copy_settings(*facts);
  refresh_previews(*facts, now, preview_cache);
  count_fired_events(*facts, now);
  add_to_history(*facts, now);
  facts->shutdown_left = shutdown_remaining_seconds(*facts);
  put_in_place(std::move(facts));
  wake_waiters();
}

void set_time_left(long seconds) {
  remain_seconds = std::max(0L, seconds);
  remain_time = static_cast<unsigned int>(std::min<long>(remain_seconds / 60, UINT_MAX));
}

long seconds_to_powerfail(unsigned int powerfail_timeout, unsigned int powerfail_count,
                          float backuptime_minutes) {
  if (powerfail_timeout != 0) {
    return powerfail_count < powerfail_timeout
               ? static_cast<long>(powerfail_timeout - powerfail_count)
               : 0L;
  }
  return static_cast<long>(whole_minutes(backuptime_minutes)) * 60L;
}

void publish_settings() {
  auto facts = std::make_shared<CycleFacts>(*latest_cycle_facts());
  copy_settings(*facts);
  facts->lacks = ups_driver().lacks();
  put_in_place(std::move(facts));
}

std::shared_ptr<const CycleFacts> latest_cycle_facts() {
  const std::lock_guard<std::mutex> hold(published().lock);
  return published().facts;
}

unsigned int publication_count() {
  return publication_counter().load();
}

void wait_for_publication(unsigned int seen, std::chrono::milliseconds limit) {
  const struct timespec deadline = deadline_after(limit);
  waiting.fetch_add(1);
  while (publication_counter().load() == seen) {
    const long result = syscall(SYS_futex, &publications, FUTEX_WAIT_BITSET_PRIVATE, seen,
                                &deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    if (result != 0 && errno == ETIMEDOUT) {
      break;
    }
  }
  waiting.fetch_sub(1);
}

void note_self_test(bool running) {
  self_test_now.store(running);
}

bool self_test_running() {
  return self_test_now.load();
}

bool on_battery(const CycleFacts &facts) {
  return facts.status[POWERFAIL] != 0;
}

bool low_battery(const CycleFacts &facts) {
  return facts.status[LOWBATT] != 0;
}

bool comm_lost(const CycleFacts &facts) {
  return facts.status[COMM_ERROR] != 0;
}

bool readings_fresh(const CycleFacts &facts) {
  return facts.cycled && !comm_lost(facts) && facts.readings_time != 0;
}

std::optional<long> readings_age(const CycleFacts &facts, std::time_t now) {
  if (facts.readings_time == 0) {
    return std::nullopt;
  }
  return std::max<long>(0, static_cast<long>(now - facts.readings_time));
}

bool ups_lacks(const CycleFacts &facts, UpsLack lack) {
  return (facts.lacks & lack) != 0;
}

std::optional<float> ups_temperature(const CycleFacts &facts) {
  // -1 is what the daemon holds for a temperature no UPS reported.
  if (ups_lacks(facts, lacks_temperature) || facts.values.temp == -1.0f ||
      std::isnan(facts.values.temp)) {
    return std::nullopt;
  }
  return facts.values.temp;
}

bool shutdown_pending(const CycleFacts &facts) {
  return facts.shutdown_left.has_value();
}

std::optional<long> shutdown_remaining_seconds(const CycleFacts &facts) {
  if (facts.status[POWERFAIL_DOWN] != 0 || facts.status[SCHEDULE_DOWN] != 0) {
    return 0;
  }
  std::optional<long> left;
  if (facts.values.schedule_down_timer > 0) {
    left = std::max(0L, schedule_countdown - facts.values.schedule_down_timer);
  }
  // Without BACKUPTIME the time left is the UPS's runtime: a UPS that tells
  // none foretells no end of the outage (its 0 is no shutdown due now).
  const bool foretold = facts.powerfail_timeout != 0 || !ups_lacks(facts, lacks_runtime);
  if (on_battery(facts) && foretold) {
    left = left ? std::min(*left, facts.powerfail_left) : facts.powerfail_left;
  }
  return left;
}

void reset_cycle_facts() {
  const std::lock_guard<std::mutex> hold(published().lock);
  published().facts = unpublished_facts();
  self_test_now.store(false);
  preview_cache = {};
}

}  // namespace tornax
