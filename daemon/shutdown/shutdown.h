// The host shutdown sequence: runs the administrator's shutdown script, removes
// the pid file, idles init, asks every process to end, turns swap off,
// unmounts the file systems, gives the UPS its switch-off or sleep command and
// halts the machine. Every action on the host goes through a HostActions, so
// tests pass a recording fake; only the daemon's main() passes the real host.
#ifndef TORNAX_DAEMON_SHUTDOWN_SHUTDOWN_H
#define TORNAX_DAEMON_SHUTDOWN_SHUTDOWN_H

#include "daemon/report/hooks.h"
#include "daemon/shutdown/host.h"
#include "tornax.h"

namespace tornax {

// Runs the whole sequence with `host` (first waiting for the peers of every
// network surface that has them waiting: the hosts logged in to the network
// UPS server) and returns the exit status the daemon
// ends with: 1 when init could not be idled, 0 when the halt call returned.
// The mode is the event that called for the shutdown: POWERFAIL_DOWN switches
// the UPS off when settings.turnoff_ups is set, SCHEDULE_DOWN sends
// `ups_sleep_time` (minutes, as the UPS driver corrects it); other modes send nothing. Event hooks
// still running (`hooks`, when given) have until the shutdown script ends, and
// are then killed. Main thread only; takes no lock.
int shutdown_sequence(int shutdown_mode, long ups_sleep_time, HostActions &host,
                      HookRunner *hooks = nullptr);

// shutdown_sequence(), then exit with its result. Never returns.
[[noreturn]] void down(int shutdown_mode, long ups_sleep_time, HostActions &host,
                       HookRunner *hooks = nullptr);

}  // namespace tornax

#endif  // TORNAX_DAEMON_SHUTDOWN_SHUTDOWN_H
