#include "daemon/shutdown/host.h"

#include <sys/reboot.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "daemon/core/clock.h"

namespace tornax {

void SystemHostActions::sync_filesystems() {
  ::sync();
}

int SystemHostActions::send_signal(pid_t pid, int sig) {
  return ::kill(pid, sig);
}

void SystemHostActions::ignore_signal(int sig) {
  std::signal(sig, SIG_IGN);
}

int SystemHostActions::run_shell(const char *command) {
  return std::system(command);
}

void SystemHostActions::pause_seconds(unsigned int seconds) {
  sleep_full(seconds);
}

int SystemHostActions::halt_system() {
  return ::reboot(RB_HALT_SYSTEM);
}

}  // namespace tornax
