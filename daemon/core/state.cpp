// Definitions of the daemon's state declared in tornax.h (what it shares
// with the client is defined in common/tornax_shared.cpp).
#include "tornax.h"

namespace tornax {

Settings settings;

bool status_stalled[event_count];
std::atomic<unsigned short> ext_status{0};

float ups_backuptime;
float ups_linenormal;

unsigned int remain_time;
long schedule_down_timer;

char ups_version[ups_version_size];
int ups_testing;

int serial_fd = -1;
float sleep_time_multiplier = 0.993f;

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

}  // namespace tornax
