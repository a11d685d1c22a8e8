#include "tests/support/daemon_state.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "daemon/core/clock.h"
#include "daemon/core/cycle_facts.h"
#include "daemon/ups/ups.h"
#include "tornax.h"

namespace tornax::test {

void reset_daemon_state() {
  settings = Settings{};
  reset_cycle_facts();
  std::memset(status, 0, sizeof status);
  std::memset(status_stalled, 0, sizeof status_stalled);
  ext_status = 0;
  ups_linevoltage = ups_invvoltage = ups_percentbatt = ups_percentloadpower = 0.0f;
  ups_freq = ups_loadcurrent = ups_backuptime = ups_linenormal = 0.0f;
  ups_temp = -1.0f;
  remain_time = 0;
  schedule_down_timer = 0;
  std::memset(ups_version, 0, sizeof ups_version);
  std::memset(ups_teststatus, 0, sizeof ups_teststatus);
  ups_testing = 0;
  serial_fd = -1;
  sleep_time_multiplier = 0.993f;
  std::memset(prefixqueue, 0, sizeof prefixqueue);
  last_prefixqueue = 0;
  set_clock_function(nullptr);
  set_sleep_function(nullptr);
  set_reply_timeout(std::chrono::milliseconds(800));
  take_replies_accepted();
}

void use_utc_time_zone() {
  setenv("TZ", "UTC", 1);
  tzset();
}

std::time_t fixed_now() {
  return 1796582661;
}

}  // namespace tornax::test
