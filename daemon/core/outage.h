// When the current power failure began, kept in a small file in the home
// (tornax.outage), so that a daemon restarted during the outage (by its
// administrator, an upgrade, or the service manager's watchdog) resumes its
// power-fail count instead of starting it again, which would postpone the
// shutdown by as long as the host had already run on battery.
//
// The file is written atomically when an outage begins and removed when it
// ends. It is trusted only within the boot that wrote it, and its times are
// the seconds since that boot, which a change of the clock doesn't move: a
// host that went down and came up again on battery counts afresh.
#ifndef TORNAX_DAEMON_CORE_OUTAGE_H
#define TORNAX_DAEMON_CORE_OUTAGE_H

#include <ctime>
#include <optional>
#include <string>

namespace tornax {

// The running boot and the seconds since it began.
struct BootTime {
  std::string boot_id;
  long long seconds = 0;
};

// Reads the kernel's boot id and CLOCK_BOOTTIME.
BootTime current_boot_time();

struct OutageRecord {
  std::time_t began = 0;       // wall-clock time, for the log
  std::string boot_id;         // the boot it began in
  long long boot_seconds = 0;  // when it began, in seconds since that boot
};

// The file's text, and back; nullopt for a text that isn't one.
std::string format_outage_record(const OutageRecord &record);
std::optional<OutageRecord> parse_outage_record(const std::string &text);

// The power-fail count a restarted daemon resumes with: the seconds on
// battery so far, at least 1, and below a non-zero `powerfail_timeout`, so
// that the cycle's next mark reaches the timeout rather than steps over it.
// 0 (do not resume) for a record of another boot or from the future.
unsigned int resumed_count(const OutageRecord &record, const BootTime &now,
                           unsigned int powerfail_timeout);

// Keeps outage_filename in step with the power-fail count. Main thread only.
class OutageRecorder {
 public:
  // `boot_time` tells the running boot and its seconds; tests pass their own.
  explicit OutageRecorder(BootTime (*boot_time)() = current_boot_time) : boot_time_(boot_time) {}

  // At start-up, before the first cycle, with the identification's replies
  // in the prefix queue: a record of this boot is resumed when those replies
  // show the UPS on battery (the count is seeded and the resumption logged),
  // dropped when they show it on line, and kept for the first answered cycle
  // to decide when the UPS did not answer. Any other record is dropped.
  void start();
  // After every cycle: settles a record kept at start-up, writes the record
  // when an outage begins, removes it when the outage ends.
  void after_cycle();

 private:
  void resume();
  void drop(bool power_came_back);
  void record();

  BootTime (*boot_time_)();

  std::optional<OutageRecord> kept_;  // read at start-up, not yet settled
  bool recorded_ = false;             // the file describes the outage under way
  bool write_reported_ = false;       // a failed write was reported this outage
};

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_OUTAGE_H
