// The daemon's command line: a few single-letter options and no arguments,
// but for the two modes the shutdown through the init system runs: -S with
// the system-shutdown hook's verb, and --keeper with its seconds. One table
// drives both the parsing and the help text.
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
  bool switch_off = false;  // -S [verb]: the UPS switch-off of the system-shutdown hook
  bool keeper = false;      // --keeper <seconds>: the shutdown deadline's keeper
  std::string verb;         // -S's verb: poweroff, halt, reboot, kexec, or empty
  unsigned int keeper_seconds = 0;
};

// Parses argv (letters may be grouped, "--" ends the options; the long
// options are --json, which needs -t, and --keeper). Returns the options, or
// nullopt with `error` set to the text of a usage error (an unknown option,
// an argument other than -S's one verb or --keeper's seconds, 1 to 3600).
std::optional<DaemonOptions> parse_options(int argc, const char *const *argv, std::string *error);

// "Usage: tornax [-f] [-t] [-S] [-h] [-V]" and one line per option, --json's too.
std::string usage_text();

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_OPTIONS_H
