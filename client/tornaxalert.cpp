#include "client/tornaxalert.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "client/connection.h"
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
  announce_rules(settings);
  const std::optional<sockaddr_in> server = resolve_server(settings.host.c_str(), settings.port);
  if (!server) {
    std::fprintf(stderr, "%s : Unknown hostname: %s\n", alert_title, settings.host.c_str());
    return 1;
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
  return follow_server(settings, *server, actions);
}

}  // namespace tornax
