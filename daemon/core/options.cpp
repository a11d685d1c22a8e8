#include "daemon/core/options.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "tornax.h"

namespace tornax {
namespace {

struct OptionSpec {
  const char *name;  // "t" for -t, "json" for --json
  bool DaemonOptions::*flag;
  const char *help;
};

constexpr OptionSpec option_table[] = {
    {"f", &DaemonOptions::foreground,
     "stay in the foreground (no fork, no detach) for a service manager;\n"
     "      standard error stays connected"},
    {"t", &DaemonOptions::check,
     "check the configuration as the daemon reads it, print what the daemon\n"
     "      will do, and exit (0 when it is valid, else 1); needs no root and no UPS"},
    {"json", &DaemonOptions::json,
     "with -t: print the configuration as the daemon reads it as one JSON\n"
     "      document instead (the failures are those of -t)"},
    {"S", &DaemonOptions::switch_off,
     "switch the UPS off as the daemon recorded at a shutdown through the init\n"
     "      system, and exit; run by the system-shutdown hook with its verb\n"
     "      (poweroff, halt, reboot, kexec): nothing is sent without a record of\n"
     "      this boot's, nor for a reboot"},
    {"keeper", &DaemonOptions::keeper,
     "(started by the daemon at a shutdown through the init system) wait the\n"
     "      given seconds, then force the host down unless it is already going"},
    {"h", &DaemonOptions::help, "print this help and exit"},
    {"V", &DaemonOptions::version, "print the version and exit"},
};

bool is_letter(const OptionSpec &option) {
  return option.name[1] == '\0';
}

const OptionSpec *find_option(std::string_view name) {
  for (const OptionSpec &option : option_table) {
    if (option.name == name) {
      return &option;
    }
  }
  return nullptr;
}

// The one argument -S or --keeper takes.
bool take_operand(DaemonOptions &options, const std::vector<std::string> &operands,
                  std::string *error) {
  if (operands.empty()) {
    if (options.keeper) {
      *error = "--keeper needs its seconds";
      return false;
    }
    return true;
  }
  const std::string &first = operands.front();
  const bool takes_one = options.switch_off != options.keeper;
  if (!takes_one || operands.size() > 1) {
    *error = "unexpected argument " + operands[takes_one ? 1 : 0];
    return false;
  }
  if (options.switch_off) {
    options.verb = first;
    return true;
  }
  const bool digits = !first.empty() && first.size() <= 4 &&
                      first.find_first_not_of("0123456789") == std::string::npos;
  const int seconds = digits ? std::stoi(first) : 0;
  if (seconds < 1 || seconds > max_shutdown_deadline) {
    *error = "--keeper takes 1 to 3600 seconds, not " + first;
    return false;
  }
  options.keeper_seconds = static_cast<unsigned int>(seconds);
  return true;
}

}  // namespace

std::optional<DaemonOptions> parse_options(int argc, const char *const *argv, std::string *error) {
  DaemonOptions options;
  std::vector<std::string> operands;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (!options_ended && std::strcmp(arg, "--") == 0) {
      options_ended = true;
      continue;
    }
    if (options_ended || arg[0] != '-' || arg[1] == '\0') {
      operands.emplace_back(arg);
      continue;
    }
    if (arg[1] == '-') {
      const OptionSpec *option = find_option(arg + 2);
      if (option == nullptr || is_letter(*option)) {
        *error = std::string("unknown option ") + arg;
        return std::nullopt;
      }
      options.*(option->flag) = true;
      continue;
    }
    for (const char *letter = arg + 1; *letter != '\0'; ++letter) {
      const OptionSpec *option = find_option(std::string_view(letter, 1));
      if (option == nullptr) {
        *error = std::string("unknown option -") + *letter;
        return std::nullopt;
      }
      options.*(option->flag) = true;
    }
  }
  if (options.json && !options.check) {
    *error = "--json needs -t";
    return std::nullopt;
  }
  if (!take_operand(options, operands, error)) {
    return std::nullopt;
  }
  return options;
}

std::string usage_text() {
  std::string text = "Usage: tornax";
  for (const OptionSpec &option : option_table) {
    if (is_letter(option)) {
      text += std::string(" [-") + option.name + "]";
    }
  }
  text += "\n";
  for (const OptionSpec &option : option_table) {
    text +=
        std::string(is_letter(option) ? "  -" : "  --") + option.name + "  " + option.help + "\n";
  }
  return text;
}

}  // namespace tornax
