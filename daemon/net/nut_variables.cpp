#include "daemon/net/nut_variables.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "tornax.h"

namespace tornax {
namespace {

// Far beyond any reading a UPS gives, and short enough to write plainly.
constexpr float number_bound = 999999.0f;

// The identification as the UPS sent it, without the line end and padding.
std::string trimmed(const std::string &text) {
  const auto last = std::find_if(text.rbegin(), text.rend(),
                                 [](unsigned char c) { return !std::isspace(c) && c != '\0'; });
  return std::string(text.begin(), last.base());
}

NutVariable text_variable(const char *name, std::string value, int length,
                          const char *description) {
  return {name, std::move(value), length, description};
}

NutVariable number_variable(const char *name, float value, int decimals, const char *description) {
  return {name, nut_number(value, decimals), 0, description};
}

}  // namespace

std::string nut_ups_status(unsigned short word, bool fsd) {
  std::string flags = fsd ? "FSD " : "";
  flags += (word & ext_powerfail) != 0 ? "OB" : "OL";
  if ((word & ext_lowbatt) != 0) {
    flags += " LB";
  }
  if ((word & ext_testing) != 0) {
    flags += " CAL";
  }
  return flags;
}

std::string nut_number(float value, int decimals) {
  const double held = std::isnan(value) ? 0.0 : std::clamp(value, -number_bound, number_bound);
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, held);
  return text;
}

std::vector<NutVariable> nut_variables(const CycleFacts &facts, bool fsd) {
  const StatusSnapshot &r = facts.values;
  const std::string model = trimmed(facts.ups_version);
  const std::string maker = trimmed(facts.ups_mfr);
  const float backuptime = facts.backuptime;
  const float runtime = std::isnan(backuptime) ? 0.0f : std::max(backuptime, 0.0f) * 60.0f;
  std::vector<NutVariable> variables = {
      number_variable("battery.charge", r.percentbatt, 0, "Battery charge (percent of full)"),
      number_variable("battery.runtime", std::floor(runtime), 0, "Battery runtime (seconds)"),
      text_variable("device.model", model, ups_version_size - 1, "Device model"),
      text_variable("device.type", "ups", 3, "Device type"),
      text_variable("driver.name", "tornax", 6, "Driver name"),
      text_variable("driver.version", version_text, 8, "Driver version"),
      number_variable("input.frequency", r.freq, 1, "Input line frequency (Hz)"),
      number_variable("input.voltage", r.linevoltage, 1, "Input voltage (V)"),
      number_variable("input.voltage.nominal", facts.linenormal, 0, "Nominal input voltage (V)"),
      number_variable("output.current", r.loadcurrent, 1, "Output current (A)"),
      number_variable("output.voltage", r.invvoltage, 1, "Output voltage (V)"),
      number_variable("ups.load", r.percentloadpower, 0, "Load on UPS (percent of full)"),
      text_variable("ups.model", model, ups_version_size - 1, "UPS model"),
      text_variable("ups.status", nut_ups_status(r.ext_status, fsd), 32, "UPS status"),
      text_variable("ups.test.result",
                    std::string(r.test_result, strnlen(r.test_result, sizeof r.test_result)),
                    ups_teststatus_size - 1, "Results of last self test"),
  };
  // What only some UPSes tell, and the thresholds only when they are set:
  // a variable that is not there is left out, never shown as 0.
  if (facts.shutdown_charge != 0) {
    variables.push_back(number_variable("battery.charge.low",
                                        static_cast<float>(facts.shutdown_charge), 0,
                                        "Battery charge the host shuts down below (percent)"));
  }
  if (facts.shutdown_runtime != 0) {
    variables.push_back(number_variable("battery.runtime.low",
                                        static_cast<float>(facts.shutdown_runtime), 0,
                                        "Battery runtime the host shuts down below (seconds)"));
  }
  if (!maker.empty()) {
    const int length = static_cast<int>(maker.size());
    variables.push_back(text_variable("device.mfr", maker, length, "Device manufacturer"));
    variables.push_back(text_variable("ups.mfr", maker, length, "UPS manufacturer"));
  }
  if (const std::optional<float> temperature = ups_temperature(facts)) {
    variables.push_back(
        number_variable("ups.temperature", *temperature, 1, "UPS temperature (degrees C)"));
  }
  std::sort(variables.begin(), variables.end(),
            [](const NutVariable &a, const NutVariable &b) { return a.name < b.name; });
  return variables;
}

}  // namespace tornax
