#include "daemon/core/powerfail.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>

namespace tornax {

void BatteryReadings::add(float value) {
  latest_[1] = latest_[0];
  latest_[0] = value;
  count_ = std::min(count_ + 1, 2);
}

bool BatteryReadings::both_below(float limit) const {
  return count_ == 2 && latest_[0] < limit && latest_[1] < limit;
}

std::optional<float> BatteryReadings::trusted() const {
  if (count_ == 0) {
    return std::nullopt;
  }
  return count_ == 1 ? latest_[0] : std::max(latest_[0], latest_[1]);
}

void follow_readings(PowerState &power, const FreshReadings &fresh) {
  if (!power.on_battery) {
    power.runtime.clear();
    power.charge.clear();
    return;
  }
  if (fresh.runtime_minutes) {
    power.runtime.add(*fresh.runtime_minutes);
  }
  if (fresh.charge_percent) {
    power.charge.add(*fresh.charge_percent);
  }
}

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
  if (config.shutdown_runtime != 0 &&
      facts.power.runtime.both_below(static_cast<float>(config.shutdown_runtime) / 60.0f)) {
    return ShutdownCause::runtime_below;
  }
  if (config.shutdown_charge != 0 &&
      facts.power.charge.both_below(static_cast<float>(config.shutdown_charge))) {
    return ShutdownCause::charge_below;
  }
  if (config.silent_shutdown != 0 && facts.power.silent_cycles >= config.silent_shutdown) {
    return ShutdownCause::silent_on_battery;
  }
  return ShutdownCause::none;
}

namespace {

std::string reading(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
  return text;
}

// "<newest><unit> (<before><unit> the reading before)"
std::string two_readings(const BatteryReadings &readings, const char *unit) {
  return reading(readings.at(0)) + unit + " (" + reading(readings.at(1)) + unit +
         " the reading before)";
}

}  // namespace

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
    case ShutdownCause::runtime_below:
      return "Power-fail shutdown: on battery with " + two_readings(facts.power.runtime, " min") +
             " of backup time left, below SHUTDOWN_RUNTIME (" +
             std::to_string(config.shutdown_runtime / 60) + " min)";
    case ShutdownCause::charge_below:
      return "Power-fail shutdown: on battery with the battery at " +
             two_readings(facts.power.charge, "%") + ", below SHUTDOWN_CHARGE (" +
             std::to_string(config.shutdown_charge) + "%)";
    case ShutdownCause::none:
      break;
  }
  return "";
}

unsigned int whole_minutes(float minutes) {
  if (!(minutes > 0.0f)) {
    return 0;
  }
  if (minutes >= static_cast<float>(UINT_MAX)) {
    return UINT_MAX;
  }
  return static_cast<unsigned int>(minutes);
}

std::optional<unsigned int> minutes_to_thresholds(const PowerState &power, const Settings &config) {
  const std::optional<float> runtime = power.runtime.trusted();
  if (!runtime) {
    return std::nullopt;
  }
  std::optional<unsigned int> left;
  if (config.shutdown_runtime != 0) {
    left = whole_minutes(*runtime - static_cast<float>(config.shutdown_runtime) / 60.0f);
  }
  const std::optional<float> charge = power.charge.trusted();
  if (config.shutdown_charge != 0 && charge) {
    const float limit = static_cast<float>(config.shutdown_charge);
    const float share = *charge > limit ? (*charge - limit) / *charge : 0.0f;
    const unsigned int by_charge = whole_minutes(*runtime * share);
    left = left ? std::min(*left, by_charge) : by_charge;
  }
  return left;
}

}  // namespace tornax
