#include "client/options.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tornax {
namespace {

// Decimal conversion in the manner of atoi, saturated to the int range so an
// over-long number can't overflow.
long to_long(const char *text) {
  return std::strtol(text, nullptr, 10);
}

int to_int(const char *text) {
  const long value = to_long(text);
  if (value > INT_MAX) {
    return INT_MAX;
  }
  return value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

// Prints the message (when there is one) on standard error, then the usage
// text, and gives the status of a refused command line.
int refuse(const char *message) {
  if (message != nullptr) {
    std::fputs(message, stderr);
    std::fflush(stderr);
  }
  usage();
  return 1;
}

int refuse_titled(const char *text) {
  char message[200];
  std::snprintf(message, sizeof message, "%s : %s\n", alert_title, text);
  return refuse(message);
}

void say(const char *text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

std::optional<int> set_minutes(const char *argument, int &minutes, const char *refusal) {
  if (isnumber(argument) != nullptr) {
    return refuse_titled(refusal);
  }
  minutes = to_int(argument);
  return std::nullopt;
}

std::optional<int> set_scope(const char *argument, int &who) {
  if (argument[0] == '\0') {
    return refuse("Argument is required for -a\n");
  }
  static const struct {
    const char *word;
    int who;
    const char *acknowledgement;
  } scopes[] = {{"none", alert_none, "Alert none\n"},
                {"all", alert_all, "Alert all\n"},
                {"console", alert_console, "Alert console\n"}};
  for (const auto &scope : scopes) {
    if (std::strcmp(argument, scope.word) == 0) {
      who = scope.who;
      say(scope.acknowledgement);
      return std::nullopt;
    }
  }
  std::fprintf(stderr, "Argument is unknown (-a %s)\n", argument);
  return refuse(nullptr);
}

std::optional<int> set_text(const char *argument, std::string &text, const char *refusal) {
  if (argument[0] == '\0') {
    return refuse(refusal);
  }
  text = argument;
  return std::nullopt;
}

std::optional<int> apply_option(int option, const char *argument, AlertSettings &settings) {
  switch (option) {
    case 'h':
      usage();
      return 0;
    case 'p':
      return set_minutes(argument, settings.powerfail_shutdown_time,
                         "Powerfail shutdown time is required");
    case 's':
      return set_minutes(argument, settings.schedule_shutdown_time,
                         "Schedule shutdown time is required");
    case 'a':
      return set_scope(argument, settings.tornaxalert_who);
    case 'x':
      return set_text(argument, settings.shutdown_cmd, "Argument is required for -x\n");
    case 'w':
      return set_text(argument, settings.wall_cmd, nullptr);
    case 'k':
      return set_text(argument, settings.key_file, "Argument is required for -k\n");
    case 'r':
      if (argument[0] == '\0') {
        return refuse("Argument is required for -r\n");
      }
      settings.reconnect_remain = to_int(argument);
      return std::nullopt;
    default:
      return refuse_titled("parameter error");
  }
}

}  // namespace

const char *isnumber(const char *ptr) {
  for (; *ptr != '\0'; ++ptr) {
    if (*ptr < '0' || *ptr > '9') {
      return ptr;
    }
  }
  return nullptr;
}

void usage() {
  std::printf(
      "Usage: tornax [options] hostname [port]\n"
      "Options:\n"
      "   -h           Display this usage\n"
      "   -p time      Powerfail shutdown time\n"
      "   -s time      Schedule shutdown time\n"
      "   -r time      Reconnect attemp (minutes)\n"
      "   -a who       Set alert scope\n"
      "   -x shutdown  eXecute shutdown in shutdown case\n"
      "                Default: %s\n"
      "   -w wall      Execute wall command to braodcast\n"
      "                Default: %s\n"
      "   -k keyfile   Act only on status lines authenticated with this key\n",
      default_shutdown_cmd, default_wall_cmd);
  std::fflush(stdout);
}

std::optional<int> parse_command_line(int argc, char **argv, AlertSettings &settings) {
  optind = 0;  // restart the scan (and getopt's own state) on every call
  int option;
  while ((option = getopt(argc, argv, "hp:s:a:x:r:w:k:")) != -1) {
    if (std::optional<int> exit_status = apply_option(option, optarg, settings)) {
      return exit_status;
    }
  }
  if (optind >= argc) {
    return refuse_titled("Hostname is missing");
  }
  settings.host = argv[optind];
  if (optind + 1 < argc) {
    settings.port = static_cast<unsigned int>(to_long(argv[optind + 1]));
  }
  return std::nullopt;
}

}  // namespace tornax
