#include "daemon/core/options.h"

#include <cstring>
#include <string_view>

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
