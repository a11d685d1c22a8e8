// One rehearsal of a power failure on an administrator's own configuration,
// without touching the host: the configuration is copied into a scratch
// home, the UPS is a simulated one on a pseudo-terminal (in this process),
// the modem a capture file, the broadcasts and console texts are captured,
// and the real daemon runs inside the sandbox (fresh PID and mount
// namespaces, recording stubs over the host commands of a shutdown). The
// timeline narrates what happens as it happens; the summary sums it up.
//
// Its steps, in run(): find the programs, the home and the run's directory;
// read the configuration with `tornax -t --json` (in the sandbox); let the
// scenario prepare; write the stand-ins and the copy, and check the copy
// reads as the original; start the simulator, the daemon and the client;
// play; sum up. Everything it started is stopped, each by its pid, when it
// ends, also on SIGINT or SIGTERM.
#ifndef TORNAX_DRILL_DRILL_H
#define TORNAX_DRILL_DRILL_H

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "drill/admin_config.h"
#include "drill/options.h"
#include "drill/process.h"
#include "drill/report.h"
#include "drill/scenarios.h"
#include "drill/status_watch.h"
#include "drill/timeline.h"
#include "sim/simulated_ups.h"

namespace tornax::drill {

// Set by the SIGINT and SIGTERM handlers; the drill stops at its next look.
void install_signal_handlers();

class Drill {
 public:
  explicit Drill(DrillOptions options);
  ~Drill();
  Drill(const Drill &) = delete;
  Drill &operator=(const Drill &) = delete;

  // The exit status: 0 clean, 1 findings. Throws Failure when it can't run
  // (2), or was interrupted (130).
  int run();

  // ---- For the scenarios --------------------------------------------------
  const DrillOptions &options() const { return options_; }
  const AdminConfig &config() const { return *config_; }
  // Narrates `text` as the drill's own line.
  void say(const std::string &text);
  // A control command to the simulated UPS ("mains off"), narrated.
  void ups(const std::string &command);
  // Narrates for `seconds`.
  void watch_for(int seconds);
  // Narrates until `done` holds or `seconds` pass; whether it holds.
  bool watch_until(int seconds, const std::function<bool()> &done);
  // The daemon has seen the mains fail for the `nth` time (its log or its
  // status lines say so), or the power return.
  bool saw_powerfail(int nth) const;
  bool saw_return() const;
  // The copy gets `statement` instead of the statements of `keyword`, and
  // the summary row `row` may differ from the original's.
  void replace_statement(const std::string &keyword, const std::string &statement,
                         const std::string &row);
  // A line said with the other substitutions before anything starts.
  void note(const std::string &text);

 private:
  void find_programs();
  void find_home();
  void make_dir();
  void check_configuration();
  void choose_port(int &port, int other);
  void write_hook_stubs();
  void write_script();
  void write_configuration();
  void check_copy();
  void say_substitutions();
  void start_simulator();
  bool launch_daemon();
  std::vector<int> hidden_status_fields() const;
  void start_daemon();
  void discard_daemon();
  void start_client();
  void play_interactively();
  void end_daemon();
  bool pump();
  void drain();
  std::string file(const std::string &name) const { return dir_ + "/" + name; }
  int log_count(const std::string &text) const;
  bool daemon_started() const;
  void choose_host_shutdown();
  bool asked_systemd() const;
  bool ups_switched_off() const;
  void rehearse_init_end();

  DrillOptions options_;
  const Scenario *scenario_;
  std::string sandbox_, tornax_, tornaxalert_;
  std::string home_, dir_, location_;
  int port_ = 0, nut_port_ = 0;
  // The host goes down through systemd: the copy names the init path (in
  // the sandbox "auto" would take the direct one) and the drill stands in
  // for systemd once the daemon has asked it.
  bool init_path_ = false;
  std::optional<AdminConfig> config_;
  std::set<std::string> dropped_;        // keywords the copy leaves out
  std::vector<std::string> statements_;  // and the statements it adds
  std::set<std::string> uncompared_;     // rows the copy may change
  std::vector<std::string> notes_;
  std::vector<Hook> hooks_;
  RunFacts facts_;
  std::unique_ptr<Timeline> timeline_;
  std::unique_ptr<Sources> sources_;
  // Stopped in the reverse order: the status client, the client, the
  // daemon, then the simulator.
  std::unique_ptr<SimulatedUps> sim_;
  std::unique_ptr<Process> daemon_, client_;
  StatusWatch status_;
};

}  // namespace tornax::drill

#endif  // TORNAX_DRILL_DRILL_H
