// The power-fail shutdown decision: whether a host on UPS power must go down
// now, and why. The causes are named, so the log says which one started the
// shutdown and new causes (thresholds on the UPS's own readings) join the
// list in one place. The monitoring cycle gathers the facts, follows the
// outage from cycle to cycle and asks powerfail_cause(); everything here is
// pure, so it is tested without a UPS.
#ifndef TORNAX_DAEMON_CORE_POWERFAIL_H
#define TORNAX_DAEMON_CORE_POWERFAIL_H

#include <array>
#include <optional>
#include <string>

#include "tornax.h"

namespace tornax {

// Why a power-fail shutdown starts.
enum class ShutdownCause {
  none,
  low_battery,         // a well-formed reply carried the low-battery mark
  timeout_on_battery,  // the power-fail count reached BACKUPTIME, on battery
  silent_on_battery,   // silent for SILENT_SHUTDOWN since last seen on battery
  runtime_below,       // two readings on battery below SHUTDOWN_RUNTIME
  charge_below,        // two readings on battery below SHUTDOWN_CHARGE
};

// The last two well-formed readings of one measurement taken on battery,
// newest first. Two are asked for before a threshold counts, so a single
// reading forged by line noise never shuts the host down.
class BatteryReadings {
 public:
  void add(float value);
  void clear() { count_ = 0; }
  int count() const { return count_; }
  // The newest reading (index 0) or the one before it (1); count() > index.
  float at(int index) const { return latest_[static_cast<std::size_t>(index)]; }
  // Whether two readings are held and both are below `limit`.
  bool both_below(float limit) const;
  // The larger of the readings held, which a lone forged low one can't pull
  // down; nullopt when none is held.
  std::optional<float> trusted() const;

 private:
  std::array<float, 2> latest_{};
  int count_ = 0;
};

// What the daemon knows of the current outage, kept from cycle to cycle. The
// power-fail count itself is status[POWERFAIL].
struct PowerState {
  bool on_battery = false;          // the UPS was on battery when it last answered
  unsigned int silent_cycles = 0;   // cycles in a row in which it answered nothing
  BatteryReadings runtime;          // backup time, minutes
  BatteryReadings charge;           // battery level, percent
  bool low_battery_before = false;  // the last cycle was answered and carried low battery
};

// Follows the outage through one cycle. `last_mark` is the last of the marks
// "!", "@", "*" (on battery) and "$" (mains back) that the cycle counted,
// '\0' when it counted none; `replies` the number of replies it accepted. A
// UPS on battery marks its replies every cycle, so a cycle that heard the UPS
// but counted no such mark means mains. Returns true for a cycle in which the
// UPS, last seen on battery, answered nothing and marked nothing: the outage
// goes on for all we know, and the caller counts the cycle as one more on
// battery.
bool follow_power(PowerState &power, int replies, char last_mark);

// The readings of the cycle's queries that were answered with a well-formed
// reply; an unanswered or refused query leaves its reading out.
struct FreshReadings {
  std::optional<float> runtime_minutes;
  std::optional<float> charge_percent;
};

// Keeps the readings of a cycle that ended with the UPS on battery (after
// follow_power); on mains the kept readings are dropped, so that only an
// outage's own readings count toward a threshold.
void follow_readings(PowerState &power, const FreshReadings &fresh);

// The facts a decision reads.
struct PowerfailFacts {
  unsigned int powerfail_count = 0;  // status[POWERFAIL]: cycles (seconds) on battery
  unsigned int lowbatt_count = 0;    // status[LOWBATT]
  PowerState power;
};

// The cause that calls for the power-fail shutdown now, or none: low battery,
// then the timeout reached (greater or equal: a count may step over it, or a
// reload lower it), then the backup time and the battery level below their
// thresholds, then the silence, each as `config` enables it.
ShutdownCause powerfail_cause(const PowerfailFacts &facts, const Settings &config);

// The log line that says why the shutdown started.
std::string describe_cause(ShutdownCause cause, const PowerfailFacts &facts,
                           const Settings &config);

// Whole minutes of a reading, truncated toward zero and held within range: a
// UPS's reply may be negative or absurdly large.
unsigned int whole_minutes(float minutes);

// Minutes left before a threshold shutdown, the smaller of the two in force,
// from the readings kept (each the larger of its last two); nullopt when no
// threshold is in force or no reading is kept. The charge threshold is
// reached, at a steady load, after the share of the backup time that the
// charge above it is of the whole charge.
std::optional<unsigned int> minutes_to_thresholds(const PowerState &power, const Settings &config);

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_POWERFAIL_H
