// tornax-drill's command line: the options, their checks and the usage text,
// from one table.
#ifndef TORNAX_DRILL_OPTIONS_H
#define TORNAX_DRILL_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

namespace tornax::drill {

enum class Mode { batch, interactive };

struct DrillOptions {
  std::string scenario = "outage";
  int backuptime = 1;                  // minutes, the timeout scenario's BACKUPTIME
  bool run_script = false;             // run the shutdown script instead of saying it would
  std::vector<std::string> overrides;  // --set statements
  bool client = false;                 // follow the status server with tornaxalert
  Mode mode = Mode::batch;
  std::string bin;          // where tornax and tornaxalert are; empty: beside the drill
  std::string dir;          // the run's files; empty: a new temporary directory
  std::optional<int> port;  // the drill's status port; empty: a free one
  std::string home;         // HOME or HOME/tornax.conf; empty: $TORNAXHOME or the default
  bool help = false;
};

// The options, or nullopt with `error` set ("unknown option -x", "--port
// needs a port number from 1 to 65535").
std::optional<DrillOptions> parse_options(int argc, const char *const *argv, std::string *error);

// The usage text, ending with the exit statuses.
std::string usage_text();

}  // namespace tornax::drill

#endif  // TORNAX_DRILL_OPTIONS_H
