// Definitions of the daemon's state declared in tornax.h (what it shares
// with the client is defined in common/tornax_shared.cpp).
#include "daemon/core/state.h"

#include <cstring>

#include "daemon/core/clock.h"
#include "daemon/core/cycle_facts.h"
#include "daemon/core/timings.h"
#include "daemon/ups/driver.h"
#include "daemon/ups/line.h"
#include "tornax.h"

namespace tornax {

Settings settings;

bool status_stalled[event_count];
std::atomic<unsigned short> ext_status{0};

float ups_backuptime;
float ups_linenormal;

unsigned int remain_time;
long remain_seconds;
long schedule_down_timer;

char ups_version[ups_version_size];
std::string ups_mfr;
int ups_testing;
char ups_test_result[ups_teststatus_size];

int serial_fd = -1;

char prefixqueue[prefixqueue_size];
int last_prefixqueue;

pthread_mutex_t tornax_mutex = PTHREAD_MUTEX_INITIALIZER;

const char *const logfile_message[7] = {
    "Power fail detected",
    "Power is return",
    "Low battary detected",
    "Powerfail fail timeout, Server is shutdown",
    "Communication with UPS error",
    "Establish communication with UPS",
    "Schedule shutdown",
};

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
  remain_seconds = 0;
  schedule_down_timer = 0;
  std::memset(ups_version, 0, sizeof ups_version);
  ups_mfr.clear();
  std::memset(ups_teststatus, 0, sizeof ups_teststatus);
  std::memset(ups_test_result, 0, sizeof ups_test_result);
  ups_testing = 0;
  serial_fd = -1;
  reset_ups_drivers();
  std::memset(prefixqueue, 0, sizeof prefixqueue);
  last_prefixqueue = 0;
  set_clock_function(nullptr);
  set_sleep_function(nullptr);
  timings.restore();
  take_replies_accepted();
}

}  // namespace tornax
