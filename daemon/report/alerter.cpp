#include "daemon/report/alerter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "tornax.h"

namespace tornax {

const char *console_path = "/dev/console";

namespace {

void write_alert(std::FILE *out, int n) {
  std::fprintf(out, "%s : %s\n", program_title, settings.alert[n].message.c_str());
  if (n == POWERFAIL) {
    std::fprintf(out, "%s : %s %d:%d %s\n", program_title, "You have aproximate",
                 static_cast<int>(remain_time / 60), static_cast<int>(remain_time % 60),
                 "Hour, before server shutdown.");
  }
}

void alert_all(int n) {
  const char *command = settings.wall_cmd ? settings.wall_cmd->c_str() : nullptr;
  std::FILE *wall_pipe = command ? popen(command, "w") : nullptr;
  if (wall_pipe == nullptr) {
    std::fprintf(stderr, "%s : Cannot start wall command (%s)\n", program_title,
                 command ? command : "no WALLPATH configured");
    return;
  }
  write_alert(wall_pipe, n);
  pclose(wall_pipe);
}

// The daemon is a session leader without a terminal: opening the console
// without O_NOCTTY would make it the daemon's controlling terminal.
void alert_console(int n) {
  const int fd = open(console_path, O_WRONLY | O_NOCTTY | O_APPEND | O_CLOEXEC);
  std::FILE *console_file = fd >= 0 ? fdopen(fd, "a") : nullptr;
  if (console_file == nullptr) {
    if (fd >= 0) {
      close(fd);
    }
    std::fprintf(stderr, "%s : Cannot open console (%s)\n", program_title, console_path);
    return;
  }
  write_alert(console_file, n);
  std::fclose(console_file);
}

}  // namespace

bool alert_due(int n) {
  if (status_stalled[n]) {
    return false;
  }
  const unsigned int interval = static_cast<unsigned int>(settings.alert[n].interval);
  return interval != 0 ? status[n] % interval == 1 : status[n] == 1;
}

void alerter() {
  for (int n = 0; n < event_count; ++n) {
    if (!alert_due(n)) {
      continue;
    }
    switch (settings.alert[n].who) {
      case scope_all:
        alert_all(n);
        break;
      case scope_console:
        alert_console(n);
        break;
      default:
        break;
    }
  }
}

}  // namespace tornax
