// The seam between the daemon and a UPS protocol: a small table of
// operations that each driver fills in, chosen by name (UPS_PROTOCOL) at
// start-up. The daemon's cycle, the schedules and the shutdown sequence talk
// to the UPS only through the driver in use; what a protocol sends, how it
// frames its replies and which model quirks it knows stay inside its driver.
//
// Everything here runs on the main thread: identify at start-up and after the
// line is opened again, poll once a cycle under tornax_mutex, self_test from
// the self-test schedule under tornax_mutex, switch_off at the end of the
// shutdown sequence. The line is `serial_fd`; the cycle opens it (open),
// closes it when a poll says the line failed, and opens it again, with a new
// identification, in a later cycle.
//
// A driver writes its readings into the shared measurement globals
// (ups_linevoltage, ups_invvoltage, ups_percentbatt, ups_percentloadpower,
// ups_freq, ups_loadcurrent, ups_backuptime, ups_temp, ups_teststatus) and its
// identification into ups_version and ups_linenormal; what it lacks it says
// through `lacks`, so that the surfaces leave those readings out.
//
// To add a driver: fill in an UpsDriver in daemon/ups/<name>.cpp, declare its
// accessor in daemon/ups/<name>.h and add one row to the table in driver.cpp.
#ifndef TORNAX_DAEMON_UPS_DRIVER_H
#define TORNAX_DAEMON_UPS_DRIVER_H

#include <cstddef>
#include <string_view>

#include "daemon/core/powerfail.h"

namespace tornax {

// An event mark of one cycle, in the event model's terms.
enum class UpsMark : unsigned char {
  power_fail,   // the UPS runs on battery (one mark counts one cycle of the outage)
  power_back,   // the mains are back
  low_battery,  // the battery is nearly spent
};

// What one poll brought.
struct UpsPoll {
  // > 0: answered (the whole poll was well formed); 0: unanswered (silence,
  // or a reply that was not well formed: never an event); < 0: the line
  // failed (a failed write or read, a hang-up): the cycle closes it and
  // opens it again in a later cycle.
  int result = 0;
  // The marks, in the order the replies carried them (a mark repeated from
  // one reply to the next is one mark). Marks learnt outside a poll (the
  // identification's replies, a self-test's) come with the next poll.
  static constexpr std::size_t max_marks = 20;
  UpsMark marks[max_marks] = {};
  std::size_t mark_count = 0;
  // The readings the thresholds follow, only when their reply was well formed.
  FreshReadings fresh;

  void add_mark(UpsMark mark) {
    if (mark_count < max_marks) {
      marks[mark_count++] = mark;
    }
  }
};

// What a switch-off at the end of a shutdown asks of the UPS.
struct SwitchOffRequest {
  int delay_seconds = 0;     // UPS_SHUTDOWN_DELAY: time before the UPS cuts its output
  long sleep_minutes = 0;    // how long it stays off: 0 until the mains return
                             // (power fail), else the scheduled sleep time
  long restart_minutes = 0;  // RESTART_SLEEP: what to send instead of 0 when
                             // the mains are back already (0: nothing)
  // Whether sleep_minutes is already corrected for the model: a switch-off
  // the daemon recorded (it identified the UPS), sent by a process that
  // never asked the UPS who it is (the system-shutdown hook, the keeper).
  bool sleep_corrected = false;
};

// What a driver can't tell or do, as flags of UpsDriver::lacks. A surface
// leaves a lacking reading out instead of showing a zero.
enum UpsLack : unsigned {
  lacks_runtime = 1u << 0,           // no backup time (ups_backuptime)
  lacks_self_test = 1u << 1,         // no self-test, no test status
  lacks_temperature = 1u << 2,       // no temperature (ups_temp)
  lacks_load_current = 1u << 3,      // no load current (ups_loadcurrent)
  lacks_inverter_voltage = 1u << 4,  // no output voltage (ups_invvoltage)
  lacks_frequency = 1u << 5,         // no frequency (ups_freq)
  charge_estimated = 1u << 6,        // the battery charge is estimated, not measured
};

// One driver's operations. Every pointer is set.
struct UpsDriver {
  const char *name;  // its UPS_PROTOCOL value

  // Opens the line with the protocol's settings (speed, framing). Returns the
  // descriptor, or a negative value with errno set (the caller reports it).
  int (*open)(const char *device_filename);

  // Asks the UPS who it is: sets ups_version (the model) and ups_linenormal
  // (the nominal voltage, 0 when unknown), and learns the model's quirks. A
  // UPS that does not answer leaves them empty and is still polled.
  void (*identify)(int fd);

  // Polls once a cycle: the readings into the measurement globals, the marks
  // and the result into `poll`.
  void (*poll)(int fd, UpsPoll &poll);

  // Tells the UPS to cut its output after the delay and to come back after
  // the sleep; no reply is awaited beyond what the protocol needs. Returns the
  // minutes of sleep sent.
  long (*switch_off)(int fd, const SwitchOffRequest &request);

  // Starts a self-test, waits for it (the full time the protocol asks) and
  // fetches its result into ups_teststatus. Returns > 0 when the result was
  // read, 0 when the UPS did not answer, < 0 when the line failed.
  int (*self_test)(int fd);

  // What it can't tell or do (UpsLack flags); may change once the UPS is
  // identified.
  unsigned (*lacks)();

  // Forgets what identify learnt (tests, and a line opened anew).
  void (*reset)();
};

// The drivers, by name; nullptr for an unknown name.
const UpsDriver *find_ups_driver(std::string_view name);

// The drivers in table order (the soak and the fuzzers run each).
std::size_t ups_driver_count();
const UpsDriver &ups_driver_at(std::size_t index);  // index < ups_driver_count()

// The names of every driver, separated by ", " (for messages).
const char *ups_driver_names();

// The driver in use: the classic one until use_ups_driver() names another.
// Chosen at start-up; a reload does not change it.
const UpsDriver &ups_driver();
void use_ups_driver(const UpsDriver &driver);

// Forgets what every driver learnt and returns to the default driver (the
// daemon's state reset, for tests).
void reset_ups_drivers();

// Whether the driver in use lacks `lack`.
bool ups_lacks(UpsLack lack);

}  // namespace tornax

#endif  // TORNAX_DAEMON_UPS_DRIVER_H
