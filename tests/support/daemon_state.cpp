#include "tests/support/daemon_state.h"

#include <cstdlib>

#include "daemon/core/state.h"

namespace tornax::test {

void reset_daemon_state() {
  tornax::reset_daemon_state();
}

void use_utc_time_zone() {
  setenv("TZ", "UTC", 1);
  tzset();
}

std::time_t fixed_now() {
  return 1796582661;
}

}  // namespace tornax::test
