// What the last monitoring cycle found, kept for the HTTP endpoint: the
// measurements, the event slots, the events that fired and how often, the
// next scheduled shutdown and self-test, and the access rules in force.
//
// The main thread puts a new copy in place after each cycle; any thread takes
// the latest one. The copy is handed over under a lock of this unit's own,
// held only to swap or copy a pointer, so a scrape never waits for the poll of
// the UPS (which holds tornax_mutex, for 15 seconds during a self-test) and
// the cycle never waits for a scrape.
#ifndef TORNAX_DAEMON_CORE_CYCLE_FACTS_H
#define TORNAX_DAEMON_CORE_CYCLE_FACTS_H

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "daemon/core/history.h"
#include "daemon/core/schedule.h"
#include "daemon/core/status_snapshot.h"
#include "tornax.h"

namespace tornax {

// How many of the latest events the facts remember.
inline constexpr std::size_t recent_event_count = 10;

// An event that fired, as the log would write it.
struct FiredEvent {
  std::time_t time = 0;
  int event = 0;  // event index
};

struct CycleFacts {
  bool cycled = false;         // false until the first cycle has published
  std::time_t time = 0;        // when the last cycle published
  std::time_t start_time = 0;  // when the daemon started
  StatusSnapshot values;       // the published measurements and status word
  float backuptime = 0;        // minutes, as the UPS reports it
  float linenormal = 0;        // nominal line voltage, volts
  std::array<unsigned int, event_count> status{};
  std::string ups_version;
  std::optional<std::string> location;
  unsigned int powerfail_timeout = 0;  // seconds, 0 none
  std::optional<ShutdownPreview> next_shutdown;
  std::optional<std::time_t> next_self_test;
  std::array<std::uint64_t, event_count> events_total{};
  std::deque<FiredEvent> recent;  // oldest first, at most recent_event_count
  double cycle_seconds = 0;       // the last cycle's poll and schedule checks
  std::vector<IpNetwork> allow;   // ALLOW in force
  int max_client_per_host = 0;    // MAX_CLIENT_PER_HOST in force
  History history;                // the last hours' readings, for the page's charts
};

// Main thread, after each cycle has published its status word and before the
// log is written: puts the facts of the cycle in place. `cycle_time` is how
// long the cycle took so far; `now` is the wall-clock time.
void publish_cycle_facts(std::chrono::steady_clock::duration cycle_time, std::time_t now);

// Any thread: the facts of the last cycle (before the first, facts with
// `cycled` false). Never null; the copy never changes.
std::shared_ptr<const CycleFacts> latest_cycle_facts();

// Main thread: a scheduled self-test starts or ends. It holds the cycle, so
// only this tells a scrape meanwhile that one runs. Any thread may ask.
void note_self_test(bool running);
bool self_test_running();

// Facts derived from the slots, the way the status word and the shutdown
// decision read them.
bool on_battery(const CycleFacts &facts);
bool low_battery(const CycleFacts &facts);
bool comm_lost(const CycleFacts &facts);
// A shutdown is due, or counting down: the scheduled countdown, or an outage
// with BACKUPTIME set.
bool shutdown_pending(const CycleFacts &facts);
// Seconds (cycles) until the nearest pending shutdown; none when none is.
std::optional<long> shutdown_remaining_seconds(const CycleFacts &facts);

// Tests: forget every published fact, as at start.
void reset_cycle_facts();

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_CYCLE_FACTS_H
