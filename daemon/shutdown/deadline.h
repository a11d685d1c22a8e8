// The deadline of a shutdown through the init system. An orderly power-off
// can hang (a service that won't stop) while the battery drains, and
// systemd's own limit is half an hour. So at the decision the daemon starts a
// keeper, `tornax --keeper <seconds>`: when the deadline passes before
// systemd has reached its final stage, the keeper forces the host down
// (systemctl --force poweroff: no more stop commands, but the final stage,
// and with it the system-shutdown hook that switches the UPS off, still
// runs), and should that not take either, it runs the daemon's own direct
// sequence, which sends the UPS its bytes itself.
//
// Why a keeper, and where it lives: the daemon's own service is among those
// the orderly power-off stops, and stopping a service ends the processes of
// its control group. The keeper moves itself into a group of its own, which
// no service stop reaches (and the unit's KillMode=process spares it should
// the move fail). Within the deadline it does not survive systemd's final
// kill: by then the orderly shutdown has reached its end, the hook does the
// rest, and a spared process would only keep the root file system busy. Past
// the deadline it ignores that kill's SIGTERM and, once the forced final stage
// has begun, sends the UPS its bytes itself: that stage waits for processes
// that ignore SIGTERM (up to 90 s) before it runs the hook. Arming the UPS's
// own delay early was weighed and not taken: the delay's range and unit are
// the firmware's, a later command may or may not restart it, and power cut at
// a fixed time loses the writes the orderly shutdown is there to finish,
// while the UPS would still be told 0 when the mains had come back.
#ifndef TORNAX_DAEMON_SHUTDOWN_DEADLINE_H
#define TORNAX_DAEMON_SHUTDOWN_DEADLINE_H

#include "daemon/shutdown/host.h"

namespace tornax {

// Seconds kept back from the UPS's reported runtime, so the forced power-off
// still has battery to run on; and the shortest deadline the runtime can
// bring the configured one down to.
inline constexpr unsigned int runtime_margin = 30;
inline constexpr unsigned int shortest_runtime_deadline = 10;
// How long the forced power-off may take to begin its final stage before the
// direct sequence runs (never longer than the deadline itself).
inline constexpr unsigned int forced_grace = 10;

// The deadline in seconds: `configured`, but for a power-fail shutdown with
// a reported runtime (`backup_minutes` > 0), no later than that runtime less
// runtime_margin (and not below shortest_runtime_deadline). Pure.
unsigned int shutdown_deadline(unsigned int configured, int shutdown_mode, float backup_minutes);

// The keeper's work with `host`: waits `seconds`, then escalates as above
// unless the orderly shutdown has ended. Returns the exit status (0 when
// nothing was left to do).
int keep_deadline(unsigned int seconds, HostActions &host);

// `tornax --keeper <seconds>`: the keeper with the real host; the log is the
// daemon's (TORNAXHOME is inherited). Returns the exit status.
int keeper_main(unsigned int seconds);

}  // namespace tornax

#endif  // TORNAX_DAEMON_SHUTDOWN_DEADLINE_H
