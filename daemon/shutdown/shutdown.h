// The host shutdown. Both paths tell the peers, run the administrator's
// shutdown script and remove the pid file. The direct path then idles init,
// asks every process to end, turns swap off, unmounts the file systems, gives
// the UPS its switch-off or sleep command and halts the machine. The init
// path instead records what the UPS is to receive (the system-shutdown hook
// sends it last), starts the deadline's keeper and asks systemd for an
// orderly power-off, so that every service stops through its own stop
// command and systemd unmounts the file systems. Every action on the host
// goes through a HostActions, so tests pass a recording fake; only the
// daemon's main() passes the real host.
#ifndef TORNAX_DAEMON_SHUTDOWN_SHUTDOWN_H
#define TORNAX_DAEMON_SHUTDOWN_SHUTDOWN_H

#include <optional>

#include "daemon/report/hooks.h"
#include "daemon/shutdown/host.h"
#include "daemon/shutdown/switch_off_record.h"
#include "tornax.h"

namespace tornax {

enum class ShutdownPath { direct, init };

// The path HOST_SHUTDOWN picks, and why (a text for the log and -t).
struct PathChoice {
  ShutdownPath path;
  const char *why;
};
PathChoice choose_path(HostShutdown setting, bool systemd_runs);

// Runs the whole shutdown with `host` on the path settings.host_shutdown
// picks (first waiting for the peers of every network surface that has them
// waiting: the hosts logged in to the network UPS server) and returns the
// exit status the daemon ends with: 1 when init could not be idled, 0 when
// the halt call returned or (init path) once the daemon is stopped. When
// systemd refuses the power-off, or the record can't be written, the direct
// sequence runs.
// The mode is the event that called for the shutdown: POWERFAIL_DOWN switches
// the UPS off when settings.turnoff_ups is set, SCHEDULE_DOWN sends the
// corrected `ups_sleep_time` (minutes); other modes send nothing. Event hooks
// still running (`hooks`, when given) have until the shutdown script ends, and
// are then killed. Main thread only; takes no lock.
int shutdown_sequence(int shutdown_mode, long ups_sleep_time, HostActions &host,
                      HookRunner *hooks = nullptr);

// The keeper's last resort: the direct sequence from the ignored signals on,
// the UPS told what `record` says (nothing without one). Returns as
// shutdown_sequence does.
int keeper_direct_sequence(HostActions &host, const std::optional<SwitchOffRecord> &record);

// shutdown_sequence(), then exit with its result. Never returns.
[[noreturn]] void down(int shutdown_mode, long ups_sleep_time, HostActions &host,
                       HookRunner *hooks = nullptr);

}  // namespace tornax

#endif  // TORNAX_DAEMON_SHUTDOWN_SHUTDOWN_H
