// The drill's summary, drawn from the timeline once the run is over: the
// shutdown steps with their durations, the commands the UPS received, what
// remote hosts and secondaries were told, and the findings. A new finding is
// one row of `finding_table` in report.cpp; a new part of the summary one
// function in `print_summary`.
#ifndef TORNAX_DRILL_REPORT_H
#define TORNAX_DRILL_REPORT_H

#include <optional>
#include <string>
#include <vector>

#include "drill/admin_config.h"
#include "drill/timeline.h"

namespace tornax::drill {

// What the run left besides the timeline.
struct RunFacts {
  std::string scenario;
  std::string home;  // the administrator's
  std::string dir;   // the run's files
  bool batch = true;
  bool client = false;               // the drill ran a client
  std::optional<int> daemon_status;  // the daemon's sandbox's, once it ended
  bool init_power_off = false;       // the daemon asked systemd for the power-off
  std::string numlogins;             // the answer of the daemon running on this host
  int client_shutdowns = 0;          // times the drill's client ran its shutdown command
};

// Everything a finding may look at.
struct Evidence {
  const AdminConfig &config;
  const std::vector<Entry> &timeline;
  const RunFacts &run;
};

// The findings, in the order the table lists them.
std::vector<std::string> findings(const Evidence &evidence);

// Prints the summary and its findings; returns how many there are.
int print_summary(const Evidence &evidence);

// Prints "Findings about the configuration:" and the one finding.
void print_one_finding(const std::string &finding);

}  // namespace tornax::drill

#endif  // TORNAX_DRILL_REPORT_H
