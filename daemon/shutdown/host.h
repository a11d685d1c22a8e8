// The actions on the host that the shutdown sequence takes: flushing the file
// systems, signalling init and every process, running shell commands, the long
// pauses and the halt. They sit behind one interface so that unit tests use a
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
};

// The real host. Used by the daemon's main() only; every test that can reach
// it must run inside scripts/sandbox.
class SystemHostActions final : public HostActions {
 public:
  void sync_filesystems() override;
  int send_signal(pid_t pid, int sig) override;
  void ignore_signal(int sig) override;
  int run_shell(const char *command) override;
  void pause_seconds(unsigned int seconds) override;
  int halt_system() override;
};

}  // namespace tornax

#endif  // TORNAX_DAEMON_SHUTDOWN_HOST_H
