// The file descriptors the daemon may spend on network clients. Every client
// connection holds one, and a daemon that ran out could no longer open its
// log, run its wall program, page, reopen the serial line or run its
// shutdown: a power failure would go unnoticed. So the start-up raises the
// soft limit as far as the hard one allows, and the servers together keep a
// reserve of descriptors they never take (the admission's budget,
// daemon/net/admission.h).
#ifndef TORNAX_DAEMON_NET_DESCRIPTORS_H
#define TORNAX_DAEMON_NET_DESCRIPTORS_H

#include "tornax.h"

namespace tornax {

// Descriptors kept free beyond those open when the server started: the log,
// the console or the wall program's pipe, the modem, the pid file, the
// configuration on reload, the serial line reopened, the shutdown script,
// with room to spare.
inline constexpr int descriptor_reserve = 16;

// Daemon start-up, before the configuration is read: raises the soft limit on
// open descriptors to the hard limit. Returns the soft limit now in force.
long raise_descriptor_limit();

// The soft limit on open descriptors in force now.
long descriptor_limit();

// How many descriptors the process has open now.
int open_descriptors();

// Client connections that fit beside `open` descriptors under `limit` with
// the reserve kept; never below 0.
int client_capacity(long limit, int open);

// When a reading of the configuration has put `s` in force (main thread):
// reports, on standard error and in the log, a MAX_CLIENT that the
// descriptors can't serve (the budget of every surface together, once one
// has started). Connections beyond what fits get the refusal line.
void check_client_capacity(const Settings &s);

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_DESCRIPTORS_H
