// The daemon's command line: a few single-letter options and no arguments.
// One table drives both the parsing and the help text.
#ifndef TORNAX_DAEMON_CORE_OPTIONS_H
#define TORNAX_DAEMON_CORE_OPTIONS_H

#include <optional>
#include <string>

namespace tornax {

struct DaemonOptions {
  bool foreground = false;  // -f: no fork, no detach; for a service manager
  bool check = false;       // -t: check the configuration and exit
  bool json = false;        // --json: with -t, the configuration as JSON
  bool help = false;        // -h
  bool version = false;     // -V
};

// Parses argv (letters may be grouped, "--" ends the options; the one long
// option is --json, which needs -t). Returns the options, or nullopt with
// `error` set to the text of a usage error (an unknown option, any argument).
std::optional<DaemonOptions> parse_options(int argc, const char *const *argv, std::string *error);

// "Usage: tornax [-f] [-t] [-h] [-V]" and one line per option, --json's too.
std::string usage_text();

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_OPTIONS_H
