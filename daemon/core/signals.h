// The signals that belong to the daemon's main thread: SIGTERM (and SIGINT)
// stops it, SIGHUP reloads the configuration, SIGALRM ticks the monitoring
// cycle. Every other thread keeps them blocked, so they always reach the main
// thread.
#ifndef TORNAX_DAEMON_CORE_SIGNALS_H
#define TORNAX_DAEMON_CORE_SIGNALS_H

#include <signal.h>

namespace tornax {

// The set of SIGTERM, SIGINT, SIGHUP and SIGALRM.
inline sigset_t daemon_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGALRM);
  return set;
}

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_SIGNALS_H
