// The actions on the host that the shutdown takes: flushing the file systems,
// signalling init and every process, running shell commands (systemctl among
// them), the long pauses and the halt; and for a shutdown through the init
// system, telling which init runs, starting the deadline's keeper and waiting
// to be stopped. They sit behind one interface so that unit tests use a
// recording fake and never reach the real host; only main() wires the real one.
#ifndef TORNAX_DAEMON_SHUTDOWN_HOST_H
#define TORNAX_DAEMON_SHUTDOWN_HOST_H

#include <sys/types.h>

namespace tornax {

class HostActions {
 public:
  virtual ~HostActions() = default;

  // sync(): flush the file systems.
  virtual void sync_filesystems() = 0;
  // kill(pid, sig); returns its result (negative on failure).
  virtual int send_signal(pid_t pid, int sig) = 0;
  // Sets the signal's disposition to ignored.
  virtual void ignore_signal(int sig) = 0;
  // system(command): runs it through the shell and waits; returns its status.
  virtual int run_shell(const char *command) = 0;
  // Sleeps the full number of seconds, whatever signals arrive.
  virtual void pause_seconds(unsigned int seconds) = 0;
  // reboot(RB_HALT_SYSTEM): returns only when the call failed, with its result.
  virtual int halt_system() = 0;

  // Whether systemd runs as init: /run/systemd/system is a directory, the
  // test systemd documents for it (sd_booted(3)).
  virtual bool init_is_systemd() = 0;
  // Starts the keeper of the shutdown deadline (`tornax --keeper <seconds>`)
  // where stopping the daemon's own service does not end it. Returns its
  // pid, or -1 when it could not be started.
  virtual pid_t start_keeper(unsigned int seconds) = 0;
  // Whether the orderly shutdown has reached its end: systemd has handed
  // over to its final stage (PID 1 is systemd-shutdown).
  virtual bool orderly_shutdown_ended() = 0;
  // Waits for the service manager to stop the daemon; the stop ends the
  // process. Returns only in fakes.
  virtual void await_stop() = 0;
};

// Whether systemd runs as init here (/run/systemd/system is a directory).
// Reads only; `tornax -t` asks it too.
bool systemd_runs_as_init();

// The real host, the one instance. Used by the daemon's main() and the
// deadline's keeper only; every test that can reach it must run inside
// scripts/sandbox.
HostActions &system_host_actions();

}  // namespace tornax

#endif  // TORNAX_DAEMON_SHUTDOWN_HOST_H
