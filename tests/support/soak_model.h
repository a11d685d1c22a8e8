// A small reference model of the power-fail shutdown decision, for the soak.
// It judges each monitoring cycle by what the simulated UPS meant to send and
// which of its replies went out whole and clean (the simulator's journal),
// never by the daemon's own reading of the line. What it knows of the
// daemon's power-fail count, battery state and silence it keeps as bounds: a
// reply that went out clean and in time was read; any other may or may not
// have been, with or without its mark.
//
// Allowed: a shutdown for a cause that may hold. Low battery when the UPS
// meant a low-battery mark in the cycle and the cycle before may have carried
// one (meant, or stray bytes that hold "*", then what a reply may hold, then
// "\r\n": a reply no framing can tell from a real one): the daemon counts the
// mark only in the second of two answered cycles in a row that carry it, so
// stray bytes alone never shut the host down. The timeout when the count may
// have reached it, and the silence when it may have reached SILENT_SHUTDOWN,
// with the UPS possibly on battery.
//
// The thresholds (SHUTDOWN_RUNTIME, SHUTDOWN_CHARGE) count the daemon's run
// of readings below them on battery, as bounds too. A reading may be low when
// the UPS meant a low value, or when the cycle saw stray bytes or a reply not
// sent clean (either may pass off a number of its own); it surely is when its
// reply went out clean and in time in a cycle without such bytes. A
// threshold shutdown is allowed once the upper bound reaches two readings
// with the UPS possibly on battery, and due once the lower bound does with
// the UPS surely on battery.
//
// Due: a cause that surely holds (clean low-battery replies in two wholly
// answered cycles in a row; the lower bound
// of the count at the timeout, or of the silence at SILENT_SHUTDOWN, or of a
// threshold's run at two, with the UPS surely on battery). The shutdown must
// come in that cycle or the next.
//
// Timing: a reply is taken as read when it went out clean within half the
// reply time-out and the cycle took no longer than its own replies and
// expected time-outs explain; otherwise (a loaded machine) the cycle is
// judged like a faulty one.
#ifndef TORNAX_TESTS_SUPPORT_SOAK_MODEL_H
#define TORNAX_TESTS_SUPPORT_SOAK_MODEL_H

#include <chrono>
#include <string>
#include <vector>

#include "daemon/core/monitor.h"
#include "sim/simulated_ups.h"

namespace tornax::test {

class SoakModel {
 public:
  struct Rules {
    unsigned int powerfail_timeout = 0;  // cycles, 0 off
    unsigned int silent_shutdown = 0;    // cycles, 0 off
    unsigned int shutdown_runtime = 0;   // seconds of backup time, 0 off
    unsigned int shutdown_charge = 0;    // percent, 0 off
    std::chrono::milliseconds reply_timeout{100};
    // The protocol's commands whose replies are the backup time and the
    // battery level (as the simulator's journal names them); nullptr when
    // the protocol has none.
    const char *runtime_query = "T";
    const char *charge_query = "B%";
    // Whether a low-battery mark is a power-fail mark too, as in a protocol
    // whose low-battery reply also says the mains have failed.
    bool low_battery_fails_power = false;
  };
  struct Counts {
    long cycles = 0;
    long uncertain = 0;  // cycles whose timing the model could not vouch for
    long due = 0;        // cycles in which a cause surely held
  };

  // The journal's marks are the event model's, as the simulator writes them
  // for every protocol: "!" and "@" power fail, "$" power back, "*" low
  // battery, a blank or none nothing.
  explicit SoakModel(Rules rules);

  // Judges one cycle from the journal of its window (everything the line saw
  // since the cycle before returned), how long run_cycle took and what it
  // returned. Returns the violations found, one line each.
  std::vector<std::string> judge(const std::vector<LineEvent> &journal,
                                 std::chrono::microseconds duration, const ShutdownDue &due);

  const Counts &counts() const { return counts_; }
  // Whether the last cycle judged was wholly answered, clean and in time:
  // the daemon read every reply of it.
  bool wholly_answered() const { return wholly_answered_; }
  // The bounds, for a report.
  std::string state() const;

 private:
  enum class Battery { no, yes, maybe };
  struct Window;
  struct Bounds {
    unsigned int low = 0, high = 0;
  };

  struct Threshold;
  void follow_clean(const Window &w);
  void follow_faulty(const Window &w);
  void follow_threshold(const Window &w, Threshold &threshold);
  std::string allowed(ShutdownCause cause, const Window &w);
  std::string due_cause(const Window &w) const;

  Rules rules_;
  Counts counts_;
  Bounds count_;   // the daemon's power-fail count
  Bounds silent_;  // the daemon's silent cycles
  Battery battery_ = Battery::no;
  // The run of readings below a threshold at the end of the daemon's kept
  // readings, per threshold.
  struct Threshold {
    const char *query;  // the command whose reply is the reading, nullptr none
    unsigned int limit = 0;
    Bounds run;
  };
  Threshold runtime_, charge_;
  std::string pending_;  // a cause that held last cycle without a shutdown
  bool wholly_answered_ = false;
  // Whether the cycle before may have carried, and surely carried, low battery.
  struct {
    bool maybe_before = false;
    bool sure_before = false;
  } low_battery_;
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_SOAK_MODEL_H
