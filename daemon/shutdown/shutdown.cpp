#include "daemon/shutdown/shutdown.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
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
#include "daemon/shutdown/deadline.h"
#include "daemon/shutdown/switch_off_hook.h"
#include "daemon/shutdown/switch_off_record.h"
#include "daemon/ups/classic.h"
#include "daemon/ups/driver.h"
#include "daemon/ups/ups.h"
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

// The daemon's own sequence from the ignored signals on: idles init, ends
// every process, turns swap off, unmounts, then `switch_off` gives the UPS
// its command, and the machine halts. Returns 1 when init could not be
// idled, 0 when the halt call returned.
template <typename SwitchOffStep>
int direct_steps(HostActions &host, SwitchOffStep switch_off) {
  ignore_stop_signals(host);
  host.sync_filesystems();
  if (host.send_signal(1, SIGTSTP) < 0) {
    tornax_warn("shutdown: can't idle init.\r\n");
    return 1;
  }
  end_processes_and_unmount(host);
  switch_off();
  tornax_warn("The system is halted.\r\n");
  host.halt_system();
  return 0;
}

int direct_sequence(int shutdown_mode, long ups_sleep_time, HostActions &host) {
  return direct_steps(host, [&] { command_ups(shutdown_mode, ups_sleep_time); });
}

// What the UPS is to receive at the end of this shutdown, as the direct
// sequence would send it; nothing for a power-fail shutdown that leaves the
// UPS on, or a mode that sends nothing. The sleep is corrected for the model
// here, as the driver in use would correct it: the system-shutdown hook does
// not identify the UPS again, so the classic model family's correction is
// known only now.
std::optional<SwitchOffRequest> switch_off_intent(int shutdown_mode, long ups_sleep_time) {
  const long restart = settings.restart_sleep;
  if (shutdown_mode == POWERFAIL_DOWN && settings.turnoff_ups != 0) {
    return SwitchOffRequest{settings.ups_shutdown_delay, 0, restart, true};
  }
  if (shutdown_mode == SCHEDULE_DOWN) {
    const long minutes =
        &ups_driver() == &classic_driver()
            ? corrected_sleep_time(ups_sleep_time, classic_quirks().sleep_time_multiplier)
            : std::clamp<long>(ups_sleep_time, INT_MIN, INT_MAX);
    return SwitchOffRequest{settings.ups_shutdown_delay, minutes, restart, true};
  }
  return std::nullopt;
}

std::string intent_text(const std::optional<SwitchOffRequest> &intent) {
  if (!intent) {
    return "the UPS stays on";
  }
  const bool back = intent->sleep_minutes == 0 && intent->restart_minutes > 0;
  if (&ups_driver() == &classic_driver()) {
    return format_text("the system-shutdown hook sends the UPS TD=%d and D=%ld",
                       intent->delay_seconds, intent->sleep_minutes) +
           (back ? format_text(" (D=%ld when the mains are back)", intent->restart_minutes)
                 : std::string());
  }
  return format_text("the system-shutdown hook switches the UPS off (%s) after %d s for %ld min",
                     ups_driver().name, intent->delay_seconds, intent->sleep_minutes) +
         (back ? format_text(" (%ld min when the mains are back)", intent->restart_minutes)
               : std::string());
}

bool record_switch_off(const std::string &path, const SwitchOffRequest &intent) {
  SwitchOffRecord record{current_boot_id(), settings.ups_filename.value_or(""), intent,
                         ups_driver().name};
  std::string error = record.boot_id.empty() ? "the boot id can't be read" : "";
  if (error.empty() && write_record(path, record, &error)) {
    return true;
  }
  tornax_warn_and_log("Cannot record the UPS switch-off (%s): the direct sequence runs",
                      error.c_str());
  return false;
}

// The orderly power-off. The unit is started directly, in the mode that no
// later job can cancel, rather than through `systemctl poweroff`: that verb
// goes through logind first, where inhibitors and a missing D-Bus daemon can
// refuse or delay it, while PID 1's own socket is all this needs. --no-block:
// the daemon is among the services the transaction stops.
constexpr const char *poweroff_request =
    "/bin/systemctl --no-block start --job-mode=replace-irreversibly poweroff.target";

int init_sequence(int shutdown_mode, long ups_sleep_time, HostActions &host, const char *why) {
  std::optional<SwitchOffRequest> intent = switch_off_intent(shutdown_mode, ups_sleep_time);
  if (!settings.ups_filename) {
    intent.reset();  // no line to tell the UPS on, on either path
  }
  const std::string record = switch_off_record_path();
  if (intent && !record_switch_off(record, *intent)) {
    return direct_sequence(shutdown_mode, ups_sleep_time, host);
  }
  // The loop that answers a stop no longer runs: a stop asked from now on is
  // held, and await_stop() gives it its default action, so the service's
  // stop ends the daemon at once.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  const unsigned int deadline =
      shutdown_deadline(settings.shutdown_deadline, shutdown_mode, ups_backuptime);
  const pid_t keeper = host.start_keeper(deadline);
  tornax_warn_and_log(
      "Host shutdown through the init system (%s): systemd is asked for an orderly power-off, "
      "forced after %u s; %s",
      why, deadline, intent_text(intent).c_str());
  if (keeper < 0) {
    tornax_warn_and_log(
        "The shutdown deadline's keeper could not be started: nothing forces the host down "
        "should the orderly power-off hang");
  }
  const int status = host.run_shell(poweroff_request);
  if (status != 0) {
    tornax_warn_and_log("systemd did not take the power-off (status %d): the direct sequence runs",
                        status);
    if (keeper > 0) {
      host.send_signal(keeper, SIGKILL);
    }
    remove_record(record);  // the direct sequence sends the bytes itself
    return direct_sequence(shutdown_mode, ups_sleep_time, host);
  }
  host.await_stop();
  return 0;
}

}  // namespace

PathChoice choose_path(HostShutdown setting, bool systemd_runs) {
  switch (setting) {
    case HostShutdown::init:
      return {ShutdownPath::init, "HOST_SHUTDOWN init"};
    case HostShutdown::direct:
      return {ShutdownPath::direct, "HOST_SHUTDOWN direct"};
    default:
      return systemd_runs
                 ? PathChoice{ShutdownPath::init, "HOST_SHUTDOWN auto: systemd runs as init"}
                 : PathChoice{ShutdownPath::direct,
                              "HOST_SHUTDOWN auto: systemd does not run as init"};
  }
}

int shutdown_sequence(int shutdown_mode, long ups_sleep_time, HostActions &host,
                      HookRunner *hooks) {
  const PathChoice path = choose_path(settings.host_shutdown, host.init_is_systemd());
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
  if (path.path == ShutdownPath::init) {
    return init_sequence(shutdown_mode, ups_sleep_time, host, path.why);
  }
  return direct_sequence(shutdown_mode, ups_sleep_time, host);
}

int keeper_direct_sequence(HostActions &host, const std::optional<SwitchOffRecord> &record) {
  return direct_steps(host, [&] {
    if (!record) {
      return;
    }
    send_recorded_switch_off(*record);
  });
}

void down(int shutdown_mode, long ups_sleep_time, HostActions &host, HookRunner *hooks) {
  const int exit_status = shutdown_sequence(shutdown_mode, ups_sleep_time, host, hooks);
  // The status server's threads still run and read the settings: end without
  // destroying the globals under them, after writing out what is buffered.
  std::fflush(nullptr);
  std::_Exit(exit_status);
}

}  // namespace tornax
