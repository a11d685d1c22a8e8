#include "drill/options.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "drill/scenarios.h"

namespace tornax::drill {
namespace {

// Sets the option from its value (nullptr for an option without one); false
// with `error` set when the value is not one the option takes.
using Apply = bool (*)(DrillOptions &options, const char *value, std::string *error);

struct OptionEntry {
  const char *name;
  const char *alias;     // a second spelling, or nullptr
  const char *argument;  // the value's name in the usage, nullptr: no value
  const char *missing;   // the error when the value is missing
  const char *help;      // lines after the first indented by the usage
  Apply apply;
};

bool digits(const char *text, std::size_t most) {
  const std::size_t length = std::strlen(text);
  return length > 0 && length <= most && std::strspn(text, "0123456789") == length;
}

bool set_scenario(DrillOptions &options, const char *value, std::string *error) {
  if (find_scenario(value) == nullptr) {
    *error = std::string("unknown scenario ") + value + " (" + scenario_names() + ")";
    return false;
  }
  options.scenario = value;
  return true;
}

bool set_backuptime(DrillOptions &options, const char *value, std::string *error) {
  if (!digits(value, 3) || value[0] == '0') {
    *error = "--backuptime needs 1 to 999 minutes";
    return false;
  }
  options.backuptime = std::stoi(value);
  return true;
}

bool set_port(DrillOptions &options, const char *value, std::string *error) {
  const int port = digits(value, 5) ? std::stoi(value) : 0;
  if (port < 1 || port > 65535) {
    *error = "--port needs a port number from 1 to 65535";
    return false;
  }
  options.port = port;
  return true;
}

template <bool DrillOptions::*flag>
bool set_flag(DrillOptions &options, const char *, std::string *) {
  options.*flag = true;
  return true;
}

template <std::string DrillOptions::*field>
bool set_text(DrillOptions &options, const char *value, std::string *) {
  options.*field = value;
  return true;
}

template <Mode mode>
bool set_mode(DrillOptions &options, const char *, std::string *) {
  options.mode = mode;
  return true;
}

bool add_override(DrillOptions &options, const char *value, std::string *) {
  options.overrides.emplace_back(value);
  return true;
}

constexpr OptionEntry option_table[] = {
    {"--scenario", nullptr, "S", "--scenario needs a name", nullptr, set_scenario},
    {"--backuptime", nullptr, "M", "--backuptime needs minutes",
     "the BACKUPTIME of the timeout scenario, in minutes (default 1)", set_backuptime},
    {"--run-script", nullptr, nullptr, nullptr,
     "run the shutdown script (inside the sandbox, with\n"
     "TORNAX_DRILL=1 in its environment); by default the drill\n"
     "only says that it would run. Event hooks never run: the drill\n"
     "says which would have.",
     set_flag<&DrillOptions::run_script>},
    {"--set", nullptr, "STMT", "--set needs a statement",
     "use this statement instead of the configuration's statements\n"
     "of the same keyword (may be given more than once)",
     add_override},
    {"--client", nullptr, nullptr, nullptr,
     "follow the drill's status server with tornaxalert, in a\n"
     "sandbox of its own, as a remote host would",
     set_flag<&DrillOptions::client>},
    {"--batch", nullptr, nullptr, nullptr, nullptr, set_mode<Mode::batch>},
    {"--interactive", "-i", nullptr, nullptr,
     "play the outage yourself by typing simulator commands\n"
     "(mains off, mains on, lowbatt, silent 5, talk, status, help,\n"
     "garbage on ...); quit or Ctrl-D ends the drill",
     set_mode<Mode::interactive>},
    {"--bin", nullptr, "DIR", "--bin needs a directory",
     "take tornax and tornaxalert from DIR (default: beside the drill)",
     set_text<&DrillOptions::bin>},
    {"--dir", nullptr, "DIR", "--dir needs a directory",
     "keep the run's files in DIR, which must not hold an earlier\n"
     "drill (default: a new temporary directory, named at the\n"
     "start and kept afterwards)",
     set_text<&DrillOptions::dir>},
    {"--port", nullptr, "N", "--port needs a number",
     "TCP port of the drill's status server (default: a free one\n"
     "picked at random from 14004 to 15003)",
     set_port},
    {"--help", "-h", nullptr, nullptr, nullptr, set_flag<&DrillOptions::help>},
};

const OptionEntry *find_option(std::string_view arg) {
  for (const OptionEntry &option : option_table) {
    if (arg == option.name || (option.alias != nullptr && arg == option.alias)) {
      return &option;
    }
  }
  return nullptr;
}

// "  --scenario S   " then the help, its later lines indented to match.
void add_help(std::string &text, const std::string &head, const std::string &help) {
  std::string indent(17, ' ');
  std::string first = "  " + head;
  first.resize(std::max<std::size_t>(first.size() + 1, 17), ' ');
  std::string body = help;
  for (std::size_t at = 0; (at = body.find('\n', at)) != std::string::npos; at += indent.size()) {
    body.insert(++at, indent);
  }
  text += first + body + "\n";
}

}  // namespace

std::optional<DrillOptions> parse_options(int argc, const char *const *argv, std::string *error) {
  DrillOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const OptionEntry *option = find_option(arg);
    if (option == nullptr && arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option " + std::string(arg);
      return std::nullopt;
    }
    if (option == nullptr) {
      if (!options.home.empty()) {
        *error = "one home or configuration only";
        return std::nullopt;
      }
      options.home = arg;
      continue;
    }
    const char *value = nullptr;
    if (option->argument != nullptr) {
      if (i + 1 >= argc) {
        *error = option->missing;
        return std::nullopt;
      }
      value = argv[++i];
    }
    if (!option->apply(options, value, error)) {
      return std::nullopt;
    }
  }
  return options;
}

std::string usage_text() {
  std::string text = "Usage: tornax-drill [options] [HOME | CONFIGURATION]\n";
  add_help(text, "HOME",
           std::string("the daemon's home (default: $TORNAXHOME, else ") + TORNAX_DEFAULT_HOME +
               ");\nor its tornax.conf, whose directory is then the home");
  for (const OptionEntry &option : option_table) {
    if (option.help == nullptr && option.apply != set_scenario) {
      continue;
    }
    const std::string head =
        std::string(option.name) + (option.argument ? std::string(" ") + option.argument : "");
    add_help(text, head, option.apply == set_scenario ? scenario_help() : option.help);
    if (option.alias != nullptr) {
      text += "  " + std::string(option.alias) + "\n";
    }
  }
  return text +
         "Exit status: 0 when the daemon brought the host down and there is no finding,\n"
         "1 when it did not or there are findings, 2 when the drill could not run,\n"
         "130 when interrupted.\n";
}

}  // namespace tornax::drill
