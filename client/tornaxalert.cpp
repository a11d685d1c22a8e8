#include "client/tornaxalert.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "client/connection.h"
#include "client/follow.h"
#include "client/options.h"
#include "client/reactions.h"
#include "common/status_auth.h"

namespace tornax {
namespace {

void print_version() {
  std::printf("%s version %s\n", alert_title, alert_version);
  std::fflush(stdout);
}

void announce_rules(const AlertSettings &settings) {
  if (settings.powerfail_shutdown_time >= 0) {
    std::printf("Powerfail shutdown %d Mins\n", settings.powerfail_shutdown_time);
  }
  if (settings.schedule_shutdown_time >= 0) {
    std::printf("Schedule shutdown %d Mins\n", settings.schedule_shutdown_time);
  }
  std::fflush(stdout);
}

// The detached child: its own session, "/" as working directory, and signals
// set so that SIGTERM (the host's own shutdown) ends it cleanly and a
// vanished broadcast program can't.
void detach() {
  signal(SIGTERM, kill_daemon);
  signal(SIGPIPE, SIG_IGN);
  setsid();
  if (chdir("/") != 0) {
    std::perror("chdir");
  }
  umask(022);
}

// Before detaching, so a key that can't be used stops the start where the
// administrator sees why.
std::optional<StatusKey> read_key(const std::string &path) {
  std::string error;
  std::optional<StatusKey> key = read_status_key(path.c_str(), error);
  if (!key) {
    std::fprintf(stderr, "%s : Cannot use key file %s: %s\n", alert_title, path.c_str(),
                 error.c_str());
  }
  return key;
}

// Every supply resolved, with its key: its own key file, else the -k key.
// Nothing (the reason told) when a key can't be used or a name is unknown.
std::optional<std::vector<FollowedSupply>> resolve_supplies(const AlertSettings &settings) {
  std::vector<FollowedSupply> followed;
  for (const SupplyAddress &supply : supplies_of(settings)) {
    FollowedSupply entry;
    entry.name = supply_name(supply.host, supply.port);
    entry.key = settings.key;
    if (!supply.key_file.empty() && !(entry.key = read_key(supply.key_file))) {
      return std::nullopt;
    }
    const std::optional<std::vector<ServerAddress>> addresses =
        resolve_server(supply.host, supply.port);
    if (!addresses) {
      std::fprintf(stderr, "%s : Unknown hostname: %s\n", alert_title, supply.host.c_str());
      return std::nullopt;
    }
    entry.addresses = *addresses;
    followed.push_back(entry);
  }
  return followed;
}

std::string minutes_or_off(int minutes) {
  return minutes >= 0 ? std::to_string(minutes) + " Mins" : "off";
}

// -c: what the client would follow and do, without connecting.
void print_check(const AlertSettings &settings, const std::vector<FollowedSupply> &followed) {
  const std::vector<SupplyAddress> supplies = supplies_of(settings);
  for (std::size_t i = 0; i < followed.size(); ++i) {
    std::string addresses;
    for (const ServerAddress &address : followed[i].addresses) {
      addresses += (addresses.empty() ? "" : ", ") + address_text(address);
    }
    const std::string &key_file =
        supplies[i].key_file.empty() ? settings.key_file : supplies[i].key_file;
    const std::string keyed = followed[i].key ? "keyed (" + key_file + ")" : "not keyed";
    std::printf("Supply %s: %s port %u, %s\n", followed[i].name.c_str(), addresses.c_str(),
                supplies[i].port & 0xffffu, keyed.c_str());
  }
  std::printf("Minimum healthy supplies: %d of %zu\n", settings.minimum_supplies, followed.size());
  std::printf("Powerfail shutdown: %s\n", minutes_or_off(settings.powerfail_shutdown_time).c_str());
  std::printf("Schedule shutdown: %s\n", minutes_or_off(settings.schedule_shutdown_time).c_str());
  std::printf("Shutdown command: %s\n", settings.shutdown_cmd.c_str());
  std::fflush(stdout);
}

}  // namespace

void kill_daemon(int) {
  // Only async-signal-safe calls here: the handler can interrupt stdio.
  static constexpr char stopped[] = " stopped\n";
  [[maybe_unused]] ssize_t ignored = write(STDERR_FILENO, alert_title, std::strlen(alert_title));
  ignored = write(STDERR_FILENO, stopped, sizeof stopped - 1);
  _exit(0);
}

int tornaxalert_main(int argc, char **argv) {
  AlertSettings settings;
  if (getuid() != 0) {
    std::fprintf(stderr, "%s : You don't have root permission\n", alert_title);
    std::fprintf(stderr, "%s : Quit\n", alert_title);
    return 1;
  }
  if (const std::optional<int> exit_status = parse_command_line(argc, argv, settings)) {
    return *exit_status;
  }
  if (!settings.key_file.empty() && !(settings.key = read_key(settings.key_file))) {
    return 1;
  }
  if (!settings.check_only) {
    announce_rules(settings);
  }
  const std::optional<std::vector<FollowedSupply>> followed = resolve_supplies(settings);
  if (!followed) {
    return 1;
  }
  if (settings.check_only) {
    print_check(settings, *followed);
    return 0;
  }
  const pid_t child = fork();
  if (child != 0) {
    if (child < 0) {
      std::fputs("Cannot fork process.", stderr);
    }
    print_version();
    return 0;
  }
  detach();
  SystemAlertActions actions(settings.wall_cmd);
  return follow_supplies(settings, *followed, actions);
}

}  // namespace tornax
