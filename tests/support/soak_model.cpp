#include "tests/support/soak_model.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "daemon/shutdown/shutdown.h"

namespace tornax::test {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;

bool is_mark(char c) {
  return c == ' ' || c == '!' || c == '$' || c == '*' || c == '@';
}

bool is_powerfail_mark(char c) {
  return c == '!' || c == '@';
}

// The marks that tell battery ("!", "@", "*") from mains ("$").
bool is_battery_mark(char c) {
  return is_powerfail_mark(c) || c == '*' || c == '$';
}

// A power-fail mark, or in a protocol whose low-battery reply also says the
// mains have failed, a low-battery one too.
bool fails_power(char c, bool low_battery_too) {
  return is_powerfail_mark(c) || (low_battery_too && c == '*');
}

unsigned int plus(unsigned int a, unsigned int b) {
  return a > UINT_MAX - b ? UINT_MAX : a + b;
}

}  // namespace

// One cycle's window, as the model reads it.
struct SoakModel::Window {
  struct Reply {
    char mark;
    bool certain;  // read by the daemon, with its mark
  };
  std::vector<Reply> replies;  // in the order they went out; the identification left out
  std::vector<char> forged;    // marks stray bytes may pass off as a reply's, one per place
  bool stray_line = false;     // stray bytes hold a line end: an unmarked reply may be forged
  bool timing_ok = false;
  // The threshold readings: the replies to their queries, by command.
  struct Reading {
    bool certain;  // read by the daemon, as meant
    std::string value;
  };
  std::map<std::string, Reading> readings;
  // Stray bytes or a reply not sent clean: any reading may be a number of
  // their own making.
  bool values_forgeable = false;
  // Low battery: the UPS meant it now and it may have counted the cycle
  // before; surely read in a wholly answered cycle; and so both now and before.
  bool low_battery_meant = false;
  bool low_battery_sure = false;
  bool low_battery_due = false;

  bool any(char mark) const {
    return std::any_of(replies.begin(), replies.end(),
                       [mark](const Reply &r) { return r.mark == mark; }) ||
           std::find(forged.begin(), forged.end(), mark) != forged.end();
  }
  bool certainly(char mark) const {
    return std::any_of(replies.begin(), replies.end(),
                       [mark](const Reply &r) { return r.certain && r.mark == mark; });
  }
  bool certainly_heard() const {
    return std::any_of(replies.begin(), replies.end(), [](const Reply &r) { return r.certain; });
  }
  bool certainly_silent() const { return replies.empty() && !stray_line; }
  bool clean() const {
    return timing_ok && forged.empty() && !stray_line &&
           std::all_of(replies.begin(), replies.end(), [](const Reply &r) { return r.certain; });
  }
};

namespace {

// Places where a stray mark byte is followed by what a reply may hold and
// its line end, within a reply's length: a reply no framing can tell from a
// real one.
std::vector<char> forgeable(const std::string &stream, const std::vector<bool> &stray) {
  std::vector<char> marks;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    if (!stray[i] || !is_mark(stream[i])) {
      continue;
    }
    for (std::size_t j = i + 1; j + 1 < stream.size() && j <= i + 14; ++j) {
      if (stream[j] == '\r' && stream[j + 1] == '\n') {
        marks.push_back(stream[i]);
        break;
      }
      if (stream[j] < ' ' || stream[j] > '~') {
        break;
      }
    }
  }
  return marks;
}

// How many power-fail marks the daemon may have counted from these lines:
// the prefix queue drops a mark equal to the one before it.
unsigned int most_powerfail_entries(const std::vector<char> &marks, bool low_battery_too) {
  unsigned int powerfail = 0, others = 0;
  std::set<char> kinds;
  for (const char mark : marks) {
    if (fails_power(mark, low_battery_too)) {
      ++powerfail;
      kinds.insert(mark);
    } else if (is_mark(mark)) {
      ++others;
    }
  }
  return kinds.size() > 1 ? powerfail : std::min(powerfail, others + 1);
}

}  // namespace

SoakModel::SoakModel(Rules rules) : rules_(rules) {
  runtime_ = {rules.runtime_query, rules.runtime_query ? rules.shutdown_runtime : 0, {}};
  charge_ = {rules.charge_query, rules.charge_query ? rules.shutdown_charge : 0, {}};
}

namespace {

// Whether a reading as the UPS meant it is below the threshold: the backup
// time "h:mm" against seconds, the battery level against percent.
bool below(bool backup_time, const std::string &value, unsigned int limit) {
  if (backup_time) {
    const std::size_t colon = value.find(':');
    const long minutes = std::atol(value.c_str()) * 60 +
                         (colon == std::string::npos ? 0 : std::atol(value.c_str() + colon + 1));
    return minutes * 60 < static_cast<long>(limit);
  }
  return std::atof(value.c_str()) < static_cast<double>(limit);
}

}  // namespace

std::vector<std::string> SoakModel::judge(const std::vector<LineEvent> &journal,
                                          microseconds duration, const ShutdownDue &due) {
  ++counts_.cycles;
  const microseconds half = duration_cast<microseconds>(rules_.reply_timeout) / 2;
  Window w;
  std::string stream;
  std::vector<bool> stray;
  microseconds expected{0};
  long commands = 0, answered = 0;
  std::vector<bool> fast;
  for (const LineEvent &event : journal) {
    switch (event.kind) {
      case LineEvent::Kind::command:
        ++commands;
        break;
      case LineEvent::Kind::write:
        stream += event.bytes;
        stray.resize(stream.size(), event.stray);
        w.values_forgeable = w.values_forgeable || event.stray;
        w.stray_line = w.stray_line || (event.stray && event.bytes.find('\n') != std::string::npos);
        break;
      case LineEvent::Kind::reply: {
        ++answered;
        const bool in_time = event.clean && event.latency + event.spread < half;
        expected += event.latency + event.spread + (in_time ? microseconds{0} : 2 * half);
        if (event.bytes != "V?") {
          w.replies.push_back({event.mark, in_time});
        }
        if ((rules_.runtime_query && event.bytes == rules_.runtime_query) ||
            (rules_.charge_query && event.bytes == rules_.charge_query)) {
          w.readings[event.bytes] = {in_time, event.value};
        }
        w.values_forgeable = w.values_forgeable || !event.clean;
        break;
      }
      case LineEvent::Kind::hangup:
        break;
    }
  }
  // Each command left without a reply cost the daemon one time-out.
  expected += std::max(0L, commands - answered) * 2 * half;
  w.timing_ok = duration <= expected + half;
  if (!w.timing_ok) {
    ++counts_.uncertain;
    for (Window::Reply &reply : w.replies) {
      reply.certain = false;
    }
    for (auto &[query, reading] : w.readings) {
      reading.certain = false;
    }
  }
  w.forged = forgeable(stream, stray);
  if (w.clean()) {
    follow_clean(w);
  } else {
    follow_faulty(w);
  }
  follow_threshold(w, runtime_);
  follow_threshold(w, charge_);

  // A low-battery mark counts once two answered cycles in a row carry it.
  const bool meant_low = std::any_of(w.replies.begin(), w.replies.end(),
                                     [](const Window::Reply &r) { return r.mark == '*'; });
  w.low_battery_meant = meant_low && low_battery_.maybe_before;
  wholly_answered_ = w.clean() && commands > 0 && answered == commands;
  w.low_battery_sure = wholly_answered_ && w.certainly('*');
  w.low_battery_due = w.low_battery_sure && low_battery_.sure_before;

  std::vector<std::string> violations;
  const std::string cause_due = due_cause(w);
  if (!cause_due.empty()) {
    ++counts_.due;
  }
  const std::string why = due.mode != 0 ? allowed(due.cause, w) : "";
  low_battery_ = {meant_low || std::find(w.forged.begin(), w.forged.end(), '*') != w.forged.end(),
                  w.low_battery_sure};
  if (due.mode != 0) {
    if (due.mode != POWERFAIL_DOWN || !why.empty()) {
      violations.push_back("shutdown (mode " + std::to_string(due.mode) + ") " + why);
    }
    pending_.clear();
    return violations;
  }
  if (!pending_.empty()) {
    violations.push_back("no shutdown in the cycle after one was due: " + pending_);
  }
  pending_ = cause_due;
  return violations;
}

// A cycle whose replies the daemon surely read, all of them: its count,
// battery state and silence follow exactly.
void SoakModel::follow_clean(const Window &w) {
  char last = '\0', last_battery = '\0';
  for (const Window::Reply &reply : w.replies) {
    if (reply.mark == '\0' || reply.mark == last) {
      continue;
    }
    last = reply.mark;
    if (fails_power(last, rules_.low_battery_fails_power)) {
      count_ = {plus(count_.low, 1), plus(count_.high, 1)};
    } else if (last == '$') {
      count_ = {0, 0};
    }
    if (is_battery_mark(last)) {
      last_battery = last;
    }
  }
  if (last_battery != '\0') {
    battery_ = last_battery == '$' ? Battery::no : Battery::yes;
  } else if (!w.replies.empty()) {
    battery_ = Battery::no;
  }
  if (!w.replies.empty()) {
    silent_ = {0, 0};
    return;
  }
  silent_ = {plus(silent_.low, 1), plus(silent_.high, 1)};
  if (battery_ != Battery::no) {
    count_.high = plus(count_.high, 1);
    count_.low = battery_ == Battery::yes ? plus(count_.low, 1) : count_.low;
  }
}

// A cycle in which some reply may have been lost, or read without its mark,
// or stray bytes may have passed for one.
void SoakModel::follow_faulty(const Window &w) {
  std::vector<char> marks = w.forged;
  for (const Window::Reply &reply : w.replies) {
    marks.push_back(reply.mark);
  }
  const bool may_be_silent = !w.certainly_heard();
  const bool low_too = rules_.low_battery_fails_power;
  const bool powerfail_certain =
      std::any_of(w.replies.begin(), w.replies.end(),
                  [low_too](auto &r) { return r.certain && fails_power(r.mark, low_too); });
  // The count: a "$" that may have been read may have reset it.
  const unsigned int silent_step = w.certainly_silent() && battery_ == Battery::yes ? 1 : 0;
  count_.low = w.any('$') ? 0 : plus(count_.low, (powerfail_certain ? 1 : 0) + silent_step);
  count_.high = plus(count_.high, most_powerfail_entries(marks, low_too) +
                                      (may_be_silent && battery_ != Battery::no ? 1 : 0));

  // The battery state: every outcome the lines that may have been read allow.
  std::set<Battery> outcomes;
  if (!w.certainly_heard()) {
    outcomes.insert(battery_);
  }
  if (!w.certainly_silent()) {
    for (const char mark : marks) {
      if (is_battery_mark(mark)) {
        outcomes.insert(mark == '$' ? Battery::no : Battery::yes);
      }
    }
    const bool unmarked =
        w.stray_line || std::any_of(w.replies.begin(), w.replies.end(),
                                    [](auto &r) { return !r.certain || !is_battery_mark(r.mark); });
    if (unmarked) {
      outcomes.insert(Battery::no);
    }
  }
  if (outcomes.count(Battery::maybe) != 0 || outcomes.size() > 1) {
    battery_ = Battery::maybe;
  } else if (!outcomes.empty()) {
    battery_ = *outcomes.begin();
  }

  if (w.certainly_heard()) {
    silent_ = {0, 0};
  } else if (w.certainly_silent()) {
    silent_ = {plus(silent_.low, 1), plus(silent_.high, 1)};
  } else {
    silent_ = {0, plus(silent_.high, 1)};
  }
}

// The daemon keeps the readings of cycles that end on battery and drops them
// on mains; its threshold holds on a run of two below it.
void SoakModel::follow_threshold(const Window &w, Threshold &t) {
  if (t.limit == 0) {
    return;
  }
  if (battery_ == Battery::no) {
    t.run = {0, 0};
    return;
  }
  const auto found = w.readings.find(t.query);
  const bool present = found != w.readings.end();
  const bool meant_low = present && below(&t == &runtime_, found->second.value, t.limit);
  const bool surely_absent = !present && !w.values_forgeable;
  const bool surely_read = present && found->second.certain && !w.values_forgeable;
  if (w.values_forgeable || meant_low) {
    t.run.high = plus(t.run.high, 1);
  } else if (surely_read) {
    t.run.high = 0;  // a reading at or above the threshold ends the run
  }
  if (battery_ != Battery::yes) {
    t.run.low = 0;
  } else if (surely_read && meant_low) {
    t.run.low = plus(t.run.low, 1);
  } else if (!surely_absent) {
    t.run.low = 0;
  }
}

// Empty when a shutdown for `cause` is allowed in this cycle, else why not.
std::string SoakModel::allowed(ShutdownCause cause, const Window &w) {
  switch (cause) {
    case ShutdownCause::low_battery:
      // The UPS meant the mark in this cycle, and the one before carried it
      // (meant, or stray bytes that looked like it): the shutdown came no
      // earlier than the UPS's own marks call for. Stray bytes alone never
      // shut the host down.
      return w.low_battery_meant ? ""
                                 : "for low battery, which the UPS did not send twice in a row";
    case ShutdownCause::timeout_on_battery:
      return rules_.powerfail_timeout != 0 && count_.high >= rules_.powerfail_timeout &&
                     battery_ != Battery::no
                 ? ""
                 : "for the timeout, which the count cannot have reached on battery";
    case ShutdownCause::silent_on_battery:
      return rules_.silent_shutdown != 0 && silent_.high >= rules_.silent_shutdown &&
                     battery_ != Battery::no
                 ? ""
                 : "for silence on battery, which cannot have lasted so long";
    case ShutdownCause::runtime_below:
      return runtime_.limit != 0 && runtime_.run.high >= 2 && battery_ != Battery::no
                 ? ""
                 : "for the backup time, which cannot have been below SHUTDOWN_RUNTIME twice";
    case ShutdownCause::charge_below:
      return charge_.limit != 0 && charge_.run.high >= 2 && battery_ != Battery::no
                 ? ""
                 : "for the battery level, which cannot have been below SHUTDOWN_CHARGE twice";
    case ShutdownCause::none:
      break;
  }
  return "without a cause";
}

std::string SoakModel::due_cause(const Window &w) const {
  if (w.low_battery_due) {
    return "clean low-battery replies in two cycles in a row";
  }
  if (battery_ != Battery::yes) {
    return "";
  }
  if (rules_.powerfail_timeout != 0 && count_.low >= rules_.powerfail_timeout) {
    return "the timeout reached on battery";
  }
  if (rules_.silent_shutdown != 0 && silent_.low >= rules_.silent_shutdown) {
    return "silence on battery past SILENT_SHUTDOWN";
  }
  if (runtime_.limit != 0 && runtime_.run.low >= 2) {
    return "the backup time below SHUTDOWN_RUNTIME twice on battery";
  }
  if (charge_.limit != 0 && charge_.run.low >= 2) {
    return "the battery level below SHUTDOWN_CHARGE twice on battery";
  }
  return "";
}

std::string SoakModel::state() const {
  static const char *const battery[] = {"no", "yes", "maybe"};
  return "count " + std::to_string(count_.low) + ".." + std::to_string(count_.high) +
         ", on battery " + battery[static_cast<int>(battery_)] + ", silent " +
         std::to_string(silent_.low) + ".." + std::to_string(silent_.high) + ", runs below " +
         std::to_string(runtime_.run.low) + ".." + std::to_string(runtime_.run.high) +
         " (runtime) " + std::to_string(charge_.run.low) + ".." + std::to_string(charge_.run.high) +
         " (charge)";
}

}  // namespace tornax::test
