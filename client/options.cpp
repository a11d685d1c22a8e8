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

std::optional<int> add_supply(const char *argument, AlertSettings &settings) {
  const std::optional<SupplyAddress> supply = parse_supply(argument);
  if (!supply) {
    std::fprintf(stderr, "%s : Supply address is invalid (-S %s)\n", alert_title, argument);
    return refuse(nullptr);
  }
  settings.more_supplies.push_back(*supply);
  return std::nullopt;
}

std::optional<int> set_minimum(const char *argument, AlertSettings &settings) {
  if (argument[0] == '\0' || isnumber(argument) != nullptr || to_int(argument) < 1) {
    return refuse_titled("Minimum healthy supplies is required (1 or more)");
  }
  settings.minimum_supplies = to_int(argument);
  return std::nullopt;
}

// A port of decimal digits, 1 to 65535.
std::optional<unsigned int> port_of(const std::string &text) {
  if (text.empty() || text.size() > 5 || isnumber(text.c_str()) != nullptr) {
    return std::nullopt;
  }
  const long port = to_long(text.c_str());
  if (port < 1 || port > 65535) {
    return std::nullopt;
  }
  return static_cast<unsigned int>(port);
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
    case 'S':
      return add_supply(argument, settings);
    case 'm':
      return set_minimum(argument, settings);
    case 'c':
      settings.check_only = true;
      return std::nullopt;
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
      "   -k keyfile   Act only on status lines authenticated with this key\n"
      "   -S supply    Also follow this supply's daemon: host[:port][,keyfile]\n"
      "   -m count     Minimum healthy supplies (default 1)\n"
      "   -c           Check: print what would be followed, then exit\n",
      default_shutdown_cmd, default_wall_cmd);
  std::fflush(stdout);
}

std::optional<int> parse_command_line(int argc, char **argv, AlertSettings &settings) {
  optind = 0;  // restart the scan (and getopt's own state) on every call
  int option;
  while ((option = getopt(argc, argv, "hp:s:a:x:r:w:k:S:m:c")) != -1) {
    if (std::optional<int> exit_status = apply_option(option, optarg, settings)) {
      return exit_status;
    }
  }
  if (optind >= argc) {
    return refuse_titled("Hostname is missing");
  }
  settings.host = argv[optind];
  if (settings.host.size() > 2 && settings.host.front() == '[' && settings.host.back() == ']') {
    settings.host = settings.host.substr(1, settings.host.size() - 2);
  }
  if (optind + 1 < argc) {
    settings.port = static_cast<unsigned int>(to_long(argv[optind + 1]));
  }
  const int supplies = static_cast<int>(settings.more_supplies.size()) + 1;
  if (settings.minimum_supplies > supplies) {
    std::fprintf(stderr, "%s : Minimum healthy supplies %d is more than the %d followed\n",
                 alert_title, settings.minimum_supplies, supplies);
    return refuse(nullptr);
  }
  return std::nullopt;
}

std::optional<SupplyAddress> parse_supply(const std::string &text) {
  SupplyAddress supply;
  std::string address = text;
  std::size_t end = 0;  // where the port or key file may start
  if (!address.empty() && address.front() == '[') {
    end = address.find(']');
    if (end == std::string::npos || end < 2) {
      return std::nullopt;
    }
    supply.host = address.substr(1, end - 1);
    ++end;
  } else {
    end = address.find(',');
    end = end == std::string::npos ? address.size() : end;
    supply.host = address.substr(0, end);
    const std::size_t colon = supply.host.find(':');
    // Two colons or more: an IPv6 literal with no port.
    if (colon != std::string::npos && supply.host.find(':', colon + 1) == std::string::npos) {
      end = colon;
      supply.host = address.substr(0, colon);
    }
  }
  const std::size_t comma = address.find(',', end);
  const std::string rest =
      address.substr(end, comma == std::string::npos ? std::string::npos : comma - end);
  if (!rest.empty()) {
    const std::optional<unsigned int> port =
        rest[0] == ':' ? port_of(rest.substr(1)) : std::nullopt;
    if (!port) {
      return std::nullopt;
    }
    supply.port = *port;
  }
  if (comma != std::string::npos) {
    supply.key_file = address.substr(comma + 1);
    if (supply.key_file.empty()) {
      return std::nullopt;
    }
  }
  if (supply.host.empty() || supply.host.find_first_of(" []") != std::string::npos) {
    return std::nullopt;
  }
  return supply;
}

std::string supply_name(const std::string &host, unsigned int port) {
  const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return shown + ":" + std::to_string(port & 0xffffu);
}

std::vector<SupplyAddress> supplies_of(const AlertSettings &settings) {
  std::vector<SupplyAddress> all = {{settings.host, settings.port, ""}};
  all.insert(all.end(), settings.more_supplies.begin(), settings.more_supplies.end());
  return all;
}

}  // namespace tornax
