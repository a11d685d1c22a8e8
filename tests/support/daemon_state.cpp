#include "tests/support/daemon_state.h"

#include <cstdio>
#include <cstdlib>

#include "daemon/core/state.h"
#include "daemon/core/util.h"
#include "tornax.h"

namespace tornax::test {

void reset_daemon_state() {
  tornax::reset_daemon_state();
}

void log_every_event_to(const std::string &path) {
  std::snprintf(log_filename, sizeof log_filename, "%s", path.c_str());
  for (logcontrol_record &control : settings.log_control) {
    control.enable = 1;
  }
}

void use_utc_time_zone() {
  setenv("TZ", "UTC", 1);
  tzset();
}

void set_readings(const Readings &readings) {
  ups_linevoltage = readings.line;
  ups_invvoltage = readings.output;
  ups_percentbatt = readings.charge;
  ups_percentloadpower = readings.load;
  ups_freq = readings.frequency;
  ups_loadcurrent = readings.current;
}

std::time_t fixed_now() {
  return 1796582661;
}

}  // namespace tornax::test
