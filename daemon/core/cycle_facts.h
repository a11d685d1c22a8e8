// The cycle's publication: what the last monitoring cycle found, put in one
// place once per cycle for every network surface to read. It holds the
// status word, the measurements, the event slots, the events that fired and
// how often, the time left before a shutdown, the next scheduled shutdown
// and self-test, and the settings the surfaces follow (ALLOW, the limits, the
// network UPS server's name and accounts).
//
// The main thread puts a new copy in place after each cycle; any thread takes
// the latest one. The copy is handed over under a lock of this unit's own,
// held only to swap or copy a pointer, so no surface waits for the poll of
// the UPS (which holds tornax_mutex, for 15 seconds during a self-test) and
// the cycle never waits for a surface. The status server alone still formats
// its line from the published values under tornax_mutex, as its protocol
// has it; it waits here for each publication so that its lines follow the
// cycle.
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
#include "daemon/ups/driver.h"
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
  // The published measurements and status word. While the UPS is silent the
  // measurements (and backuptime) are those of the last cycle it answered,
  // taken at readings_time: a silent cycle's unanswered query stores 0,
  // which is no reading of anything.
  StatusSnapshot values;
  float backuptime = 0;           // minutes, as the UPS reports it
  std::time_t readings_time = 0;  // when the UPS last answered a cycle; 0 never
  std::string ups_mfr;            // the UPS's maker, empty when the UPS does not tell
  float linenormal = 0;           // nominal line voltage, volts
  std::array<unsigned int, event_count> status{};
  std::string ups_version;
  // What the driver in use can't tell (UpsLack flags): the surfaces leave
  // those readings out rather than show the zeros the measurements hold.
  unsigned lacks = 0;
  std::optional<std::string> location;
  unsigned int powerfail_timeout = 0;  // seconds, 0 none
  // Seconds left before the power-fail shutdown as the cycle worked it out
  // (remain_seconds): the status line's remaining minutes are these.
  long powerfail_left = 0;
  // Seconds (cycles) left before the nearest shutdown the daemon will make:
  // the scheduled countdown, or on battery the power-fail time left; 0 once
  // one is due, none while none is pending. Worked out once, here, for every
  // surface.
  std::optional<long> shutdown_left;
  std::optional<ShutdownPreview> next_shutdown;
  std::optional<std::time_t> next_self_test;
  std::array<std::uint64_t, event_count> events_total{};
  std::deque<FiredEvent> recent;  // oldest first, at most recent_event_count
  double cycle_seconds = 0;       // the last cycle's poll and schedule checks
  // The settings in force that the surfaces follow.
  std::vector<IpNetwork> allow;                           // ALLOW
  int max_client = 0;                                     // MAX_CLIENT
  int max_client_per_host = 0;                            // MAX_CLIENT_PER_HOST
  int nut_max_client = default_nut_max_client;            // NUT_MAX_CLIENT
  std::string nut_upsname = default_nut_upsname;          // NUT_UPSNAME
  std::vector<NutAccount> nut_users;                      // NUT_USER
  int nut_hostsync = default_nut_hostsync;                // NUT_HOSTSYNC
  std::shared_ptr<const TlsCertificate> nut_certificate;  // NUT_CERTFILE's, or none
  bool nut_require_tls = false;                           // NUT_REQUIRE_TLS
  unsigned int shutdown_charge = 0;                       // SHUTDOWN_CHARGE, percent; 0 off
  unsigned int shutdown_runtime = 0;                      // SHUTDOWN_RUNTIME, seconds; 0 off
  History history;  // the last hours' readings, for the page's charts
};

// Main thread, once per cycle after tornax_mutex is released: works out the
// status word (ext_status) from the cycle's slots, puts the facts of the
// cycle in place and wakes every surface waiting for them. `cycle_time` is
// how long the cycle took so far; `now` is the wall-clock time.
void publish_cycle(std::chrono::steady_clock::duration cycle_time, std::time_t now);

// Main thread, when a surface starts before the first cycle: puts the
// settings in force in place (the facts stay those of no cycle).
void publish_settings();

// Main thread, under tornax_mutex: the time left before the power-fail
// shutdown, in seconds. The cycle works it out in steps (the timeout or the
// UPS's backup time, lowered by the thresholds, 0 once due); each step sets
// remain_seconds and remain_time, its whole minutes, which the status line,
// the log, the alerts and the hooks tell, and the publication hands the same
// seconds to every other surface, so that all of them tell one time.
void set_time_left(long seconds);

// The power-fail time left before the thresholds: with BACKUPTIME
// (`powerfail_timeout`, seconds) the seconds the count still has to go,
// without it the UPS's own backup time in whole minutes, as seconds.
// The time left told when nothing foretells it: the largest the status
// line's minutes carry in four digits.
inline constexpr long untold_time_left_seconds = 9999L * 60L;

long seconds_to_powerfail(unsigned int powerfail_timeout, unsigned int powerfail_count,
                          float backuptime_minutes);

// Any thread: the facts of the last cycle (before the first, facts with
// `cycled` false). Never null; the copy never changes.
std::shared_ptr<const CycleFacts> latest_cycle_facts();

// Any thread: how many cycles have published so far.
unsigned int publication_count();

// Any thread but the main one: returns once the count has moved past `seen`
// or `limit` has passed, whichever comes first.
void wait_for_publication(unsigned int seen, std::chrono::milliseconds limit);

// Main thread: a scheduled self-test starts or ends. It holds the cycle, so
// only this tells a scrape meanwhile that one runs. Any thread may ask.
void note_self_test(bool running);
bool self_test_running();

// Facts derived from the slots, the way the status word and the shutdown
// decision read them.
bool on_battery(const CycleFacts &facts);
bool low_battery(const CycleFacts &facts);
bool comm_lost(const CycleFacts &facts);
// The measurements are of the last cycle: it answered. False before the
// first cycle, while the UPS is silent, and before it ever answered.
bool readings_fresh(const CycleFacts &facts);
// Seconds from the readings to `now`; none before the UPS ever answered.
std::optional<long> readings_age(const CycleFacts &facts, std::time_t now);
// Whether the driver in use, as the facts tell, lacks `lack`.
bool ups_lacks(const CycleFacts &facts, UpsLack lack);
// The UPS's temperature, degrees Celsius; none when it is not measured.
std::optional<float> ups_temperature(const CycleFacts &facts);
// A shutdown is due, or counting down (shutdown_left is set).
bool shutdown_pending(const CycleFacts &facts);
// Seconds (cycles) until the nearest pending shutdown, from the slots, the
// countdown and powerfail_left: a shutdown is due, the scheduled countdown
// runs, or an outage, whose end the power-fail time left (BACKUPTIME, or the
// UPS's backup time, lowered by the thresholds) foretells; none when none
// is, and none for an outage without BACKUPTIME on a UPS that tells no
// runtime. The publication sets shutdown_left from it.
std::optional<long> shutdown_remaining_seconds(const CycleFacts &facts);

// Tests: forget every published fact, as at start.
void reset_cycle_facts();

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_CYCLE_FACTS_H
