// Alerts to the people on the host: for each event that begins (or is due to
// be repeated) in this cycle, the configured text goes to every logged-in user
// through the wall command, or to the system console.
#ifndef TORNAX_DAEMON_REPORT_ALERTER_H
#define TORNAX_DAEMON_REPORT_ALERTER_H

namespace tornax {

// The console device; tests point it at a file.
extern const char *console_path;

// True when event n alerts in this cycle: with a repeat interval, when its
// status slot modulo the interval is 1; without one, when the slot is 1. Never
// for a slot the last cycle did not move (status_stalled).
bool alert_due(int n);

// Sends every due alert, in event order, one delivery per event. A power fail
// adds the time left before the shutdown. A destination that can't be opened
// is reported on standard error and skipped. Main thread, outside tornax_mutex.
void alerter();

}  // namespace tornax

#endif  // TORNAX_DAEMON_REPORT_ALERTER_H
