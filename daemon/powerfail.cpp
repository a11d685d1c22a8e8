#include "daemon/powerfail.h"

#include <climits>
#include <string>

namespace tornax {

bool follow_power(PowerState &power, int replies, char last_mark) {
  if (last_mark != '\0') {
    power.on_battery = last_mark != '$';
  } else if (replies > 0) {
    power.on_battery = false;
  }
  if (replies > 0) {
    power.silent_cycles = 0;
    return false;
  }
  if (power.silent_cycles < UINT_MAX) {
    ++power.silent_cycles;
  }
  return power.on_battery && last_mark == '\0';
}

ShutdownCause powerfail_cause(const PowerfailFacts &facts, const Settings &config) {
  if (facts.lowbatt_count != 0) {
    return ShutdownCause::low_battery;
  }
  if (!facts.power.on_battery) {
    return ShutdownCause::none;
  }
  if (config.powerfail_timeout != 0 && facts.powerfail_count >= config.powerfail_timeout) {
    return ShutdownCause::timeout_on_battery;
  }
  if (config.silent_shutdown != 0 && facts.power.silent_cycles >= config.silent_shutdown) {
    return ShutdownCause::silent_on_battery;
  }
  return ShutdownCause::none;
}

std::string describe_cause(ShutdownCause cause, const PowerfailFacts &facts,
                           const Settings &config) {
  switch (cause) {
    case ShutdownCause::low_battery:
      return "Power-fail shutdown: the UPS reports low battery";
    case ShutdownCause::timeout_on_battery:
      return "Power-fail shutdown: on battery for " + std::to_string(facts.powerfail_count) +
             " s, reaching BACKUPTIME (" + std::to_string(config.powerfail_timeout) + " s)";
    case ShutdownCause::silent_on_battery:
      return "Power-fail shutdown: the UPS has been silent for " +
             std::to_string(facts.power.silent_cycles) +
             " s since it was last seen on battery, reaching SILENT_SHUTDOWN (" +
             std::to_string(config.silent_shutdown) + " s)";
    case ShutdownCause::none:
      break;
  }
  return "";
}

unsigned int minutes_to_timeout(unsigned int powerfail_timeout, unsigned int powerfail_count) {
  return powerfail_count < powerfail_timeout ? (powerfail_timeout - powerfail_count) / 60 : 0;
}

}  // namespace tornax
