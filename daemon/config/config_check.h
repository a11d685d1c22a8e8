// `tornax -t`: the configuration checked as the daemon's start-up reads it,
// with the same checks and the same messages, then a short summary of what
// the daemon will do. It opens no device, writes no file, needs no UPS and
// runs as any user who can read the configuration.
#ifndef TORNAX_DAEMON_CONFIG_CONFIG_CHECK_H
#define TORNAX_DAEMON_CONFIG_CONFIG_CHECK_H

#include <ctime>
#include <string>

#include "tornax.h"

namespace tornax {

// Reads $TORNAXHOME/tornax.conf. A failure ends the process with status 1
// after its messages; otherwise prints "configuration OK" and the summary
// on standard output and returns 0.
int check_configuration();

// The summary, one "<what>: <value>" line each: the UPS device, the events
// alerted, logged and paged, BACKUPTIME, SILENT_SHUTDOWN, the next scheduled shutdown and
// self-test as local dates from `now`, the status server, the shutdown script.
std::string configuration_summary(const Settings &config, std::time_t now);

}  // namespace tornax

#endif  // TORNAX_DAEMON_CONFIG_CONFIG_CHECK_H
