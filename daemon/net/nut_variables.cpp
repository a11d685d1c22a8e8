#include "daemon/net/nut_variables.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

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
  const bool estimated = ups_lacks(facts, charge_estimated);
  // Each with what the driver must tell for it: one it lacks is left out, so
  // that LIST VAR and GET VAR agree and a client sees no made-up 0.
  const std::pair<unsigned, NutVariable> all[] = {
      {0, number_variable("battery.charge", r.percentbatt, 0,
                          estimated ? "Battery charge (percent of full, estimated from the "
                                      "battery voltage)"
                                    : "Battery charge (percent of full)")},
      {lacks_runtime,
       number_variable("battery.runtime", std::floor(runtime), 0, "Battery runtime (seconds)")},
      {0, text_variable("device.model", model, ups_version_size - 1, "Device model")},
      {0, text_variable("device.type", "ups", 3, "Device type")},
      {0, text_variable("driver.name", "tornax", 6, "Driver name")},
      {0, text_variable("driver.version", version_text, 8, "Driver version")},
      {lacks_frequency, number_variable("input.frequency", r.freq, 1, "Input line frequency (Hz)")},
      {0, number_variable("input.voltage", r.linevoltage, 1, "Input voltage (V)")},
      {0,
       number_variable("input.voltage.nominal", facts.linenormal, 0, "Nominal input voltage (V)")},
      {lacks_load_current,
       number_variable("output.current", r.loadcurrent, 1, "Output current (A)")},
      {lacks_inverter_voltage,
       number_variable("output.voltage", r.invvoltage, 1, "Output voltage (V)")},
      {0, number_variable("ups.load", r.percentloadpower, 0, "Load on UPS (percent of full)")},
      {0, text_variable("ups.model", model, ups_version_size - 1, "UPS model")},
      {0, text_variable("ups.status", nut_ups_status(r.ext_status, fsd), 32, "UPS status")},
      {lacks_self_test,
       text_variable("ups.test.result",
                     std::string(r.test_result, strnlen(r.test_result, sizeof r.test_result)),
                     ups_teststatus_size - 1, "Results of last self test")},
  };
  std::vector<NutVariable> variables;
  for (const auto &[lack, variable] : all) {
    if ((facts.lacks & lack) == 0) {
      variables.push_back(variable);
    }
  }
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
