// Putting the daemon's state back: what a freshly started process has in the
// globals of tornax.h and tornax_shared.h, the cycle's publication, the time
// seams and the waits and limits of `timings`. The state's owner is the
// daemon, so the reset is the daemon's too; tests call it between cases.
#ifndef TORNAX_DAEMON_CORE_STATE_H
#define TORNAX_DAEMON_CORE_STATE_H

namespace tornax {

// Main thread only, with no other thread of the daemon running.
void reset_daemon_state();

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_STATE_H
