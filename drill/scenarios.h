// The drill's scenarios: what each does to the simulated UPS, what it
// changes in the copy of the configuration, and how long the daemon may take
// to decide once it has played. A new scenario is one row of
// `scenario_table` in scenarios.cpp.
#ifndef TORNAX_DRILL_SCENARIOS_H
#define TORNAX_DRILL_SCENARIOS_H

#include <optional>
#include <string>

namespace tornax::drill {

class Drill;

struct Scenario {
  const char *name;
  const char *help;  // the usage's lines for it
  // Before the copy is made: replaces statements of the copy (see
  // Drill::replace_statement). A text is the one finding, and the drill
  // stops: the scenario can't be played on this configuration.
  std::optional<std::string> (*prepare)(Drill &drill);
  // Plays it, from all running on mains.
  void (*play)(Drill &drill);
  // Seconds the daemon may take to bring the host down after play().
  int (*decision_limit)(const Drill &drill);
};

// The scenario named `name`, or nullptr.
const Scenario *find_scenario(const std::string &name);
// "outage, silent, timeout or schedule".
std::string scenario_names();
// Each scenario's name and help, for the usage.
std::string scenario_help();

}  // namespace tornax::drill

#endif  // TORNAX_DRILL_SCENARIOS_H
