// `tornax -t`: the configuration checked as the daemon's start-up reads it,
// with the same checks and the same messages, then a short summary of what
// the daemon will do. It opens no device, writes no file, needs no UPS and
// runs as any user who can read the configuration.
#ifndef TORNAX_DAEMON_CONFIG_CONFIG_CHECK_H
#define TORNAX_DAEMON_CONFIG_CONFIG_CHECK_H

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "tornax.h"

namespace tornax {

// Reads $TORNAXHOME/tornax.conf. A failure ends the process with status 1
// after its messages; otherwise prints "configuration OK" and the summary
// on standard output (with `json`, the document of config_json.h instead)
// and returns 0.
int check_configuration(bool json = false);

// The summary, one "<what>: <value>" line each: the UPS device, the events
// alerted, logged and paged, BACKUPTIME, SILENT_SHUTDOWN, the next scheduled shutdown and
// self-test as local dates from `now`, the status server, the shutdown script.
std::string configuration_summary(const Settings &config, std::time_t now);

// The same rows as pairs of "<what>" and "<value>", in order.
std::vector<std::pair<std::string, std::string>> configuration_summary_rows(const Settings &config,
                                                                            std::time_t now);

// What the driver UPS_PROTOCOL names can't tell (UpsLack flags): the driver
// in use when it is that one, else the table's as it stands before any UPS
// is identified.
unsigned configured_lacks(const Settings &config);

// What the shutdown sequence would make of shutdown_script_filename now.
enum class ScriptState { runs, not_executable, missing };
ScriptState shutdown_script_state();

}  // namespace tornax

#endif  // TORNAX_DAEMON_CONFIG_CONFIG_CHECK_H
