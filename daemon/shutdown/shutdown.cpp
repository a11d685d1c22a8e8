#include "daemon/shutdown/shutdown.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "daemon/config/file_safety.h"
#include "daemon/core/error.h"
#include "daemon/core/util.h"
#include "daemon/net/surfaces.h"
#include "daemon/report/logger.h"
#include "daemon/ups/driver.h"
#include "tornax.h"

namespace tornax {
namespace {

bool shell_safe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string("/._-+,:@%=").find(c) != std::string::npos;
}

// The home directory may hold blanks or other characters the shell would
// split or expand; quote the path so that exactly this file runs.
std::string shell_quoted(const std::string &path) {
  bool plain = !path.empty();
  for (char c : path) {
    plain = plain && shell_safe(c);
  }
  if (plain) {
    return path;
  }
  std::string quoted = "'";
  for (char c : path) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

// Returns whether the script ran.
bool run_shutdown_script(HostActions &host) {
  if (access(shutdown_script_filename, R_OK | X_OK) != 0) {
    return false;
  }
  // Checked again here: it may have changed since the start-up checked it.
  if (const std::optional<std::string> reason = unsafe_reason(shutdown_script_filename)) {
    const std::string text = unsafe_file_message(
        std::string("Shutdown script ") + shutdown_script_filename + " not run", *reason);
    tornax_warn_and_log("%s", text.c_str());
    return false;
  }
  tornax_warn("Execute shutdown script\n");
  host.pause_seconds(2);
  host.run_shell(shell_quoted(shutdown_script_filename).c_str());
  return true;
}

// From here on the daemon must not be stopped or reloaded by the signals the
// rest of the sequence sends, nor stopped by job control.
void ignore_stop_signals(HostActions &host) {
  for (int sig : {SIGTERM, SIGQUIT, SIGCHLD, SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU}) {
    host.ignore_signal(sig);
  }
}

void end_processes_and_unmount(HostActions &host) {
  host.pause_seconds(3);
  tornax_warn("sending all processes the TERM signal...\r\n");
  host.send_signal(-1, SIGTERM);
  host.pause_seconds(3);
  host.sync_filesystems();
  tornax_warn("Turning off swap\r\n");
  host.run_shell("/sbin/swapoff -a");
  tornax_warn("Unmounting all file systems\r\n");
  host.run_shell("/bin/umount -a -f");
}

void command_ups(int shutdown_mode, long ups_sleep_time) {
  const long restart = settings.restart_sleep;
  if (settings.turnoff_ups != 0 && shutdown_mode == POWERFAIL_DOWN) {
    tornax_warn("Turn off UPS");
    ups_driver().switch_off(serial_fd, {settings.ups_shutdown_delay, 0, restart});
  }
  if (shutdown_mode == SCHEDULE_DOWN) {
    std::printf("Sleep UPS for %ld min\n", ups_sleep_time);
    // Standard output may be a file or a pipe: nothing flushes it after the halt.
    std::fflush(stdout);
    ups_driver().switch_off(serial_fd, {settings.ups_shutdown_delay, ups_sleep_time, restart});
  }
}

}  // namespace

int shutdown_sequence(int shutdown_mode, long ups_sleep_time, HostActions &host,
                      HookRunner *hooks) {
  // The script may already stop the network: the hosts that follow this UPS
  // over it are told, and waited for, first.
  hold_for_waiting_peers();
  const bool script_ran = run_shutdown_script(host);
  if (hooks != nullptr) {
    hooks->end_for_shutdown(host, script_ran);
  }
  clear_file();
  if (chdir("/") != 0) {
    std::perror("down():chdir() fail");
  }
  ignore_stop_signals(host);
  host.sync_filesystems();
  if (host.send_signal(1, SIGTSTP) < 0) {
    tornax_warn("shutdown: can't idle init.\r\n");
    return 1;
  }
  end_processes_and_unmount(host);
  command_ups(shutdown_mode, ups_sleep_time);
  tornax_warn("The system is halted.\r\n");
  host.halt_system();
  return 0;
}

void down(int shutdown_mode, long ups_sleep_time, HostActions &host, HookRunner *hooks) {
  const int exit_status = shutdown_sequence(shutdown_mode, ups_sleep_time, host, hooks);
  // The status server's threads still run and read the settings: end without
  // destroying the globals under them, after writing out what is buffered.
  std::fflush(nullptr);
  std::_Exit(exit_status);
}

}  // namespace tornax
