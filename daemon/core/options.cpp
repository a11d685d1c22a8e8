#include "daemon/core/options.h"

#include <cstring>

namespace tornax {
namespace {

struct OptionSpec {
  char letter;
  bool DaemonOptions::*flag;
  const char *help;
};

constexpr OptionSpec option_table[] = {
    {'f', &DaemonOptions::foreground,
     "stay in the foreground (no fork, no detach) for a service manager;\n"
     "      standard error stays connected"},
    {'t', &DaemonOptions::check,
     "check the configuration as the daemon reads it, print what the daemon\n"
     "      will do, and exit (0 when it is valid, else 1); needs no root and no UPS"},
    {'h', &DaemonOptions::help, "print this help and exit"},
    {'V', &DaemonOptions::version, "print the version and exit"},
};

const OptionSpec *find_option(char letter) {
  for (const OptionSpec &option : option_table) {
    if (option.letter == letter) {
      return &option;
    }
  }
  return nullptr;
}

}  // namespace

std::optional<DaemonOptions> parse_options(int argc, const char *const *argv, std::string *error) {
  DaemonOptions options;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (std::strcmp(arg, "--") == 0) {
      if (i + 1 < argc) {
        *error = std::string("unexpected argument ") + argv[i + 1];
        return std::nullopt;
      }
      break;
    }
    if (arg[0] != '-' || arg[1] == '\0') {
      *error = std::string("unexpected argument ") + arg;
      return std::nullopt;
    }
    if (arg[1] == '-') {
      *error = std::string("unknown option ") + arg;
      return std::nullopt;
    }
    for (const char *letter = arg + 1; *letter != '\0'; ++letter) {
      const OptionSpec *option = find_option(*letter);
      if (option == nullptr) {
        *error = std::string("unknown option -") + *letter;
        return std::nullopt;
      }
      options.*(option->flag) = true;
    }
  }
  return options;
}

std::string usage_text() {
  std::string text = "Usage: tornax";
  for (const OptionSpec &option : option_table) {
    text += std::string(" [-") + option.letter + "]";
  }
  text += "\n";
  for (const OptionSpec &option : option_table) {
    text += std::string("  -") + option.letter + "  " + option.help + "\n";
  }
  return text;
}

}  // namespace tornax
