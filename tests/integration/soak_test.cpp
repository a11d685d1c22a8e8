// The soak: the real monitoring cycle, in process and unpaced, against the
// simulated UPS, through thousands of cycles of faults (every fault mode of
// the simulator) and genuine events (mains off and on, low battery, silence,
// the battery's level and backup time falling)
// scheduled at random; every cycle judged by the reference model of
// tests/support/soak_model.h. A cycle returns the shutdown it found due and
// nothing runs it: no host action is ever reached.
//
// The test command runs it for TORNAX_SOAK_SECONDS (15 by default);
// TORNAX_SOAK_CYCLES runs that many cycles instead, however long it takes.
// TORNAX_SOAK_SEED repeats a run; the seed is printed with every report.
// It runs once for each protocol of protocol_table, through its driver.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "daemon/core/monitor.h"
#include "daemon/core/timings.h"
#include "daemon/core/util.h"
#include "daemon/ups/driver.h"
#include "daemon/ups/line.h"
#include "sim/simulated_ups.h"
#include "tests/kit/files.h"
#include "tests/support/daemon_state.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/soak_model.h"
#include "tornax.h"

namespace tornax {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::SoakModel;

constexpr auto reply_timeout = 100ms;
constexpr long cycles_per_life = 3000;  // then new settings
constexpr auto settle_timeout = 2s;

// One protocol the soak runs: its driver, the simulator's mode for it and
// the commands whose replies the thresholds follow.
struct SoakProtocol {
  const char *driver;  // its UPS_PROTOCOL name
  void (*simulate)(SimulatedUpsOptions &options);
  const char *runtime_query;  // nullptr: the protocol has no backup time
  const char *charge_query;   // nullptr: no battery level
  bool low_battery_fails_power;
};

const SoakProtocol protocol_table[] = {
    {"classic", [](SimulatedUpsOptions &) {}, "T", "B%", false},
    // The charge is an estimate that no threshold follows; no backup time. A
    // reply low on battery has the utility-fail bit set as well.
    {"qx", [](SimulatedUpsOptions &options) { options.protocol = SimProtocol::qx; }, nullptr,
     nullptr, true},
};

// A cycle's journal in one line, for a report: "c" a command, "r" a reply
// (its mark, "clean" or not, latency and spread in microseconds), "w" bytes
// written ("stray" ones marked), "h" a hang-up.
std::string trace(const std::vector<LineEvent> &journal) {
  std::string text;
  for (const LineEvent &e : journal) {
    switch (e.kind) {
      case LineEvent::Kind::command:
        text += " c" + describe_bytes(e.bytes);
        break;
      case LineEvent::Kind::write:
        text += std::string(" w") + (e.stray ? "(stray)" : "") + describe_bytes(e.bytes);
        break;
      case LineEvent::Kind::reply:
        text += " r[" + e.bytes + " " + (e.mark != '\0' ? std::string(1, e.mark) : "-") +
                (e.clean ? " clean " : " unclean ") + std::to_string(e.latency.count()) + "+" +
                std::to_string(e.spread.count()) + "]";
        break;
      case LineEvent::Kind::hangup:
        text += " h";
        break;
    }
  }
  return text;
}

long environment(const char *name, long fallback) {
  const char *text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

// Random choices, all from one seed.
class Dice {
 public:
  explicit Dice(std::uint64_t seed) : random_(seed) {}
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
  long between(long low, long high) {
    return std::uniform_int_distribution<long>(low, high)(random_);
  }

 private:
  std::mt19937_64 random_;
};

// The fault modes, each switched on for a while at random.
enum Fault { noise, garbage, line_end, split, trickle, stall, flood, hangup, fault_kinds };
const char *const fault_names[] = {"noise",   "garbage", "lineend", "split",
                                   "trickle", "stall",   "flood",   "hangup"};

class Soak {
 public:
  Soak(const SoakProtocol &protocol, std::uint64_t seed, SimulatedUps &sim, std::string link,
       std::string log)
      : protocol_(protocol), dice_(seed), sim_(sim), link_(std::move(link)), log_(std::move(log)) {}

  // Runs lives until `more()` says enough; returns the violations found.
  template <typename More>
  std::vector<std::string> run(More more) {
    while (more(cycles_) && violations_.size() < 5) {
      run_life(more);
    }
    return violations_;
  }
  std::string summary() const;

 private:
  template <typename More>
  void run_life(More more);
  void begin_life();
  void schedule_events();
  void schedule_faults();
  void start_fault(int kind);
  void end_fault(int kind);
  void report(const std::string &violation, const SoakModel &model);

  const SoakProtocol &protocol_;
  Dice dice_;
  SimulatedUps &sim_;
  std::string link_, log_;
  std::vector<std::string> violations_;
  std::deque<std::string> recent_;  // the last cycles, for a report
  std::array<long, fault_kinds> left_{};
  std::array<long, fault_kinds> episodes_{};
  std::map<std::string, long> events_, shutdowns_;
  SoakModel::Counts counts_;
  long cycles_ = 0, lives_ = 0, life_cycle_ = 0, silent_left_ = 0, quiet_after_hangup_ = 0;
  long faulty_replies_ = 0, stray_bytes_ = 0, unread_ = 0, unsettled_ = 0;
  bool mains_ = true, low_ = false;
  SoakModel::Rules rules_;
};

void Soak::begin_life() {
  ++lives_;
  test::reset_daemon_state();
  use_ups_driver(*find_ups_driver(protocol_.driver));
  timings.reply_timeout = reply_timeout;
  settings.ups_filename = link_;
  settings.powerfail_timeout = dice_.chance(0.25) ? 0 : static_cast<unsigned>(dice_.between(3, 60));
  settings.silent_shutdown = dice_.chance(0.25) ? 0 : static_cast<unsigned>(dice_.between(1, 8));
  settings.shutdown_runtime =
      dice_.chance(0.4) ? 0 : static_cast<unsigned>(dice_.between(1, 20) * 60);
  settings.shutdown_charge = dice_.chance(0.4) ? 0 : static_cast<unsigned>(dice_.between(5, 60));
  rules_ = {settings.powerfail_timeout,
            settings.silent_shutdown,
            settings.shutdown_runtime,
            settings.shutdown_charge,
            reply_timeout,
            protocol_.runtime_query,
            protocol_.charge_query,
            protocol_.low_battery_fails_power};
  std::FILE *log = std::fopen(log_.c_str(), "w");  // each life starts a fresh log
  if (log != nullptr) {
    std::fclose(log);
  }
  sim_.clear_faults();
  sim_.set_silent(false);
  sim_.set_mains(true);
  sim_.set_low_battery(false);
  sim_.set_battery(100);
  sim_.clear_forced_mark();
  left_.fill(0);
  mains_ = true;
  low_ = false;
  silent_left_ = quiet_after_hangup_ = life_cycle_ = 0;
  serial_fd = ups_driver().open(link_.c_str());
}

template <typename More>
void Soak::run_life(More more) {
  begin_life();
  MonitorState state;
  SoakModel model(rules_);
  sim_.take_journal();
  while (life_cycle_ < cycles_per_life && more(cycles_) && violations_.size() < 5) {
    schedule_events();
    schedule_faults();
    const Clock::time_point start = Clock::now();
    const ShutdownDue due = run_cycle(state);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    // The simulator takes what the daemon wrote before the cycle is judged,
    // as a second's pace would let it: a command the daemon wrote last
    // (after a reply it refused, say) belongs to this cycle's journal, and
    // its reply is not left to be read as the answer to the next cycle's
    // first query.
    unsettled_ += sim_.settle(settle_timeout) ? 0 : 1;
    const std::vector<LineEvent> journal = sim_.take_journal();
    for (const LineEvent &event : journal) {
      faulty_replies_ += event.kind == LineEvent::Kind::reply && !event.clean;
      stray_bytes_ += event.kind == LineEvent::Kind::write && event.stray ? event.bytes.size() : 0;
    }
    const std::vector<std::string> found = model.judge(journal, took, due);
    ++cycles_;
    ++life_cycle_;
    recent_.push_back(std::to_string(life_cycle_) + ": " + sim_.describe() + "; due " +
                      std::to_string(due.mode) + "; poll " + std::to_string(state.byte_read) +
                      "; model " + model.state() + "; took " + std::to_string(took.count()) +
                      " us; line: " + trace(journal));
    if (recent_.size() > 6) {
      recent_.pop_front();
    }
    for (const std::string &violation : found) {
      report(violation, model);
    }
    // A cycle whose every reply went out clean and in time must have been
    // read whole; one the daemon took as unanswered is shown, the first few.
    if (model.wholly_answered() && state.byte_read <= 0 && ++unread_ <= 3) {
      std::printf("soak: a wholly answered cycle read as unanswered (poll %d), life %ld:\n",
                  state.byte_read, lives_);
      for (const std::string &line : recent_) {
        std::printf("    %s\n", line.c_str());
      }
    }
    if (due.mode != 0) {
      static const char *const causes[] = {"none",    "low battery", "timeout",
                                           "silence", "runtime",     "charge"};
      ++shutdowns_[causes[static_cast<int>(due.cause)]];
      break;
    }
  }
  const SoakModel::Counts &c = model.counts();
  counts_.cycles += c.cycles;
  counts_.uncertain += c.uncertain;
  counts_.due += c.due;
  if (serial_fd >= 0) {
    close(serial_fd);
  }
}

// Genuine events: mains off and on, low battery on battery, silence.
void Soak::schedule_events() {
  if (mains_ && dice_.chance(0.01)) {
    mains_ = false;
    ++events_["mains off"];
  } else if (!mains_ && dice_.chance(0.03)) {
    mains_ = true;
    low_ = false;
    ++events_["mains on"];
  } else if (!mains_ && !low_ && dice_.chance(0.01)) {
    low_ = true;
    ++events_["low battery"];
  } else if (!mains_ && !low_ && dice_.chance(0.15)) {
    sim_.force_mark('@', static_cast<int>(dice_.between(1, 7)));  // the other power-fail mark
    ++events_["@ marks"];
  } else if (dice_.chance(0.02)) {
    // The level, and with it the backup time, moves across the thresholds.
    sim_.set_battery(static_cast<double>(dice_.between(0, 100)));
    ++events_["battery level"];
  }
  sim_.set_mains(mains_);
  sim_.set_low_battery(low_);
  if (silent_left_ > 0 && --silent_left_ == 0) {
    sim_.set_silent(false);
  } else if (silent_left_ == 0 && quiet_after_hangup_ == 0 && dice_.chance(0.002)) {
    silent_left_ = dice_.between(1, rules_.silent_shutdown + 4);
    sim_.set_silent(true);
    ++events_["silence"];
  }
}

// How often each fault mode starts, a cycle. The modes that make the daemon
// wait out its time-out (a reply that never ends) start less often, so that
// a run stays mostly fast.
const double fault_chance[] = {0.003, 0.0015, 0.0015, 0.003, 0.0015, 0.001, 0.003, 0.001};

// Fault episodes: each mode now and then, for 1 to 12 cycles, on a random
// share of the replies. A hang-up is one event; the two cycles after it stay
// audible, since identifying a UPS that stays silent takes seconds.
void Soak::schedule_faults() {
  quiet_after_hangup_ = std::max(0L, quiet_after_hangup_ - 1);
  for (int kind = 0; kind < fault_kinds; ++kind) {
    if (left_[kind] > 0 && --left_[kind] == 0) {
      end_fault(kind);
    } else if (left_[kind] == 0 && dice_.chance(fault_chance[kind])) {
      if (kind == hangup && silent_left_ > 0) {
        continue;
      }
      ++episodes_[kind];
      left_[kind] = kind == hangup ? 0 : dice_.between(1, 12);
      sim_.set_fault_share(static_cast<double>(dice_.between(10, 100)));
      start_fault(kind);
    }
  }
}

void Soak::start_fault(int kind) {
  using std::chrono::milliseconds;
  static const char *const ends[] = {"\n", "\r", "\n\r", ""};
  switch (kind) {
    case noise:
      sim_.set_noise(static_cast<double>(dice_.between(100, 20000)));
      break;
    case garbage:
      sim_.set_garbage(true);
      break;
    case line_end:
      sim_.set_line_end(ends[dice_.between(0, 3)]);
      break;
    case split:
      sim_.set_split(static_cast<int>(dice_.between(1, 8)), milliseconds(dice_.between(0, 10)));
      break;
    case trickle:
      sim_.set_trickle(milliseconds(dice_.between(0, 2)));
      break;
    case stall:
      sim_.set_stall(milliseconds(dice_.between(150, 300)));
      break;
    case flood:
      sim_.set_flood(static_cast<std::size_t>(dice_.between(1, 600)));
      break;
    case hangup:
      sim_.hang_up();
      quiet_after_hangup_ = 2;
      break;
  }
}

void Soak::end_fault(int kind) {
  switch (kind) {
    case noise:
      sim_.set_noise(0);
      break;
    case garbage:
      sim_.set_garbage(false);
      break;
    case line_end:
      sim_.set_line_end(sim_.own_line_end());
      break;
    case split:
      sim_.set_split(0, {});
      break;
    case trickle:
      sim_.set_trickle(std::chrono::milliseconds(-1));
      break;
    case stall:
      sim_.set_stall({});
      break;
    case flood:
      sim_.set_flood(0);
      break;
  }
}

void Soak::report(const std::string &violation, const SoakModel &model) {
  std::string text = "life " + std::to_string(lives_) + ", cycle " + std::to_string(life_cycle_) +
                     " (BACKUPTIME " + std::to_string(rules_.powerfail_timeout) +
                     " s, SILENT_SHUTDOWN " + std::to_string(rules_.silent_shutdown) +
                     " s, SHUTDOWN_RUNTIME " + std::to_string(rules_.shutdown_runtime) +
                     " s, SHUTDOWN_CHARGE " + std::to_string(rules_.shutdown_charge) +
                     "%): " + violation + "\n  model: " + model.state() + "\n  recent cycles:";
  for (const std::string &line : recent_) {
    text += "\n    " + line;
  }
  violations_.push_back(text);
}

std::string Soak::summary() const {
  std::string text =
      std::to_string(cycles_) + " cycles in " + std::to_string(lives_) + " lives; shutdowns:";
  for (const auto &[cause, count] : shutdowns_) {
    text += " " + cause + " " + std::to_string(count);
  }
  text += "; genuine events:";
  for (const auto &[event, count] : events_) {
    text += " " + event + " " + std::to_string(count);
  }
  text += "; fault episodes:";
  for (int kind = 0; kind < fault_kinds; ++kind) {
    text += std::string(" ") + fault_names[kind] + " " + std::to_string(episodes_[kind]);
  }
  return text + "; replies not sent clean " + std::to_string(faulty_replies_) + ", stray bytes " +
         std::to_string(stray_bytes_) + "; cycles with a cause surely due " +
         std::to_string(counts_.due) + ", timing not vouched for " +
         std::to_string(counts_.uncertain) + "; wholly answered cycles read as unanswered " +
         std::to_string(unread_) + "; line not quiet after a cycle " + std::to_string(unsettled_) +
         "; violations " + std::to_string(violations_.size());
}

// Ptys of this process's own. Any root process on the machine may open a
// /dev/pts path (a daemon retrying the path of a simulator that is gone does,
// every second), and one that opens ours when its number comes round again
// talks over our daemon: it flushes our input and switches the shared line to
// canonical mode. A devpts instance in a mount namespace of our own is out of
// its reach. The namespace's mounts are made private first, so nothing
// mounted here reaches the host; without the right to do so the soak runs on
// the shared ptys and says so.
bool private_ptys() {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return false;
  }
  return mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666") == 0 &&
         mount("/dev/pts/ptmx", "/dev/ptmx", nullptr, MS_BIND, nullptr) == 0;
}

class SoakTest : public testing::TestWithParam<SoakProtocol> {};

TEST_P(SoakTest, EveryCycleAgreesWithTheModel) {
  const bool isolated = private_ptys();  // before any thread starts
  const std::uint64_t seed =
      static_cast<std::uint64_t>(environment("TORNAX_SOAK_SEED", std::random_device{}()));
  const long cycles = environment("TORNAX_SOAK_CYCLES", 0);
  const auto budget = std::chrono::seconds(environment("TORNAX_SOAK_SECONDS", 15));
  test::TempDir home;
  std::snprintf(log_filename, sizeof log_filename, "%s", home.file("tornax.log").c_str());
  SimulatedUpsOptions options = test::test_ups_options();
  options.link_path = home.file("ups");
  options.seed = seed;
  options.low_battery_percent = 0;  // low battery only when the soak says so
  GetParam().simulate(options);
  ASSERT_NE(find_ups_driver(GetParam().driver), nullptr) << GetParam().driver;
  SimulatedUps sim(options);
  sim.start();
  sim.set_journal(true);

  Soak soak(GetParam(), seed, sim, options.link_path, home.file("tornax.log"));
  const Clock::time_point start = Clock::now();
  const std::vector<std::string> violations = soak.run(
      [&](long done) { return cycles > 0 ? done < cycles : Clock::now() - start < budget; });
  std::printf("soak (%s), seed %llu%s: %s\n", GetParam().driver,
              static_cast<unsigned long long>(seed),
              isolated ? "" : " (on the machine's shared ptys)", soak.summary().c_str());
  for (const std::string &violation : violations) {
    ADD_FAILURE() << "seed " << seed << " (TORNAX_SOAK_SEED=" << seed
                  << " repeats it): " << violation;
  }
}

INSTANTIATE_TEST_SUITE_P(Protocols, SoakTest, testing::ValuesIn(protocol_table),
                         [](const testing::TestParamInfo<SoakProtocol> &row) {
                           return std::string(row.param.driver);
                         });

}  // namespace
}  // namespace tornax
