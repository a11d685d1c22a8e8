// The power-fail shutdown decision: whether a host on UPS power must go down
// now, and why. The causes are named, so the log says which one started the
// shutdown and new causes (thresholds on the UPS's own readings) join the
// list in one place. The monitoring cycle gathers the facts, follows the
// outage from cycle to cycle and asks powerfail_cause(); everything here is
// pure, so it is tested without a UPS.
#ifndef TORNAX_DAEMON_POWERFAIL_H
#define TORNAX_DAEMON_POWERFAIL_H

#include <string>

#include "tornax.h"

namespace tornax {

// Why a power-fail shutdown starts.
enum class ShutdownCause {
  none,
  low_battery,         // a well-formed reply carried the low-battery mark
  timeout_on_battery,  // the power-fail count reached BACKUPTIME, on battery
  silent_on_battery,   // silent for SILENT_SHUTDOWN since last seen on battery
};

// What the daemon knows of the current outage, kept from cycle to cycle. The
// power-fail count itself is status[POWERFAIL].
struct PowerState {
  bool on_battery = false;         // the UPS was on battery when it last answered
  unsigned int silent_cycles = 0;  // cycles in a row in which it answered nothing
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

// The facts a decision reads.
struct PowerfailFacts {
  unsigned int powerfail_count = 0;  // status[POWERFAIL]: cycles (seconds) on battery
  unsigned int lowbatt_count = 0;    // status[LOWBATT]
  PowerState power;
};

// The cause that calls for the power-fail shutdown now, or none: low battery,
// then the timeout reached (greater or equal: a count may step over it, or a
// reload lower it), then the silence, each as `config` enables it.
ShutdownCause powerfail_cause(const PowerfailFacts &facts, const Settings &config);

// The log line that says why the shutdown started.
std::string describe_cause(ShutdownCause cause, const PowerfailFacts &facts,
                           const Settings &config);

// Minutes left before the timeout shutdown: (timeout - count) / 60, or 0 once
// the count has reached the timeout; never wraps below zero.
unsigned int minutes_to_timeout(unsigned int powerfail_timeout, unsigned int powerfail_count);

}  // namespace tornax

#endif  // TORNAX_DAEMON_POWERFAIL_H
