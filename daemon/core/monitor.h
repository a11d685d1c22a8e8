// The daemon's start-up and its once-a-second monitoring cycle: poll the UPS,
// keep the communication state, turn the queued reply marks into event counts,
// run the schedules, publish the status word, log, alert and page, and bring
// the host down when a shutdown is due.
#ifndef TORNAX_DAEMON_CORE_MONITOR_H
#define TORNAX_DAEMON_CORE_MONITOR_H

#include <string>

#include "daemon/core/outage.h"
#include "daemon/core/powerfail.h"
#include "daemon/report/hooks.h"
#include "daemon/report/notify.h"
#include "daemon/shutdown/host.h"

namespace tornax {

// Values that start-up works out and the cycle goes on using.
struct MonitorState {
  long ups_sleep_time = 0;          // UPS sleep time of the pending scheduled shutdown
  int byte_read = 0;                // result of the last poll
  bool low_battery_before = false;  // the last cycle was answered and carried low battery
  OutageRecorder outage;            // keeps tornax.outage in step with the power-fail count
  PowerState power;                 // on battery when last heard, and silent since
  HookRunner hooks;                 // event hooks running or waiting their turn
};

// The shutdown a cycle found due: mode 0 none, else the event that calls for
// it (POWERFAIL_DOWN or SCHEDULE_DOWN).
struct ShutdownDue {
  int mode = 0;
  long ups_sleep_time = 0;
  ShutdownCause cause = ShutdownCause::none;  // why, for POWERFAIL_DOWN
};

// Opens settings.ups_filename into serial_fd. With `report`, a failure is
// written to standard error. Returns whether the line is open.
bool open_serial_line(bool report);

// Identifies the UPS on the open line through the driver in use (the model,
// the nominal voltage and the model's quirks).
void identify_ups(MonitorState &state);

// Runs one monitoring cycle and returns the shutdown it found due; the caller
// runs it. A power-fail shutdown's cause is logged after the cycle's events,
// and the hooks of the events that began are started after it.
// Main thread only; takes tornax_mutex for the poll and the schedules.
ShutdownDue run_cycle(MonitorState &state);

// Why the main loop woke up.
enum class Wakeup { tick, reload, stop };

// What the main loop waits on between cycles.
class WakeSource {
 public:
  virtual ~WakeSource() = default;
  // Blocks until the next tick, reload request or stop request.
  virtual Wakeup wait() = 0;
};

// Signals as wake-ups: SIGALRM ticks (re-arming a one-second alarm), SIGHUP
// reloads, SIGTERM (and SIGINT, for a daemon run in a terminal with -f)
// stops. The handlers only set flags.
class SignalWakeSource final : public WakeSource {
 public:
  // Installs the handlers, ignores SIGPIPE and arms the first alarm.
  SignalWakeSource();
  // A tick that arrived while the last cycle ran is dropped: the next cycle
  // starts at the first tick after the last one ended. A reload or stop that
  // arrived meanwhile is answered at once.
  Wakeup wait() override;
};

// Reads the configuration again; an unsafe file or a failed reading is
// reported and logged, and the previous settings stay in force.
void reload_configuration();

// Runs cycles, each after a wake-up (a reload is followed at once by an extra
// cycle), until a stop, which is logged and removes the pid file; returns the
// exit status then. After each cycle the outage record is kept in step and
// the service manager hears of the cycle through `reports`; it also hears of
// reloads, the stop and a shutdown. A due shutdown runs down(), which does
// not return.
int monitor_loop(MonitorState &state, HostActions &host, WakeSource &wake, ServiceReports &reports);

// The daemon: checks, configuration, serial line, identification, fork and
// detach (unless `foreground`), pid file, status server, then the monitoring
// loop, telling `notifier` how it goes. Returns only through exit.
[[noreturn]] void daemon_main(bool foreground, HostActions &host, Notifier &notifier);

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_MONITOR_H
