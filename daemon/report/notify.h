// Telling a service manager how the daemon is doing. With -f under systemd
// the daemon says when it is ready (after its first completed cycle), keeps
// a one-line status, brackets a reload, announces its stop, and pets the
// watchdog once per completed cycle, so a cycle stuck in a serial read gets
// the daemon restarted. The messages go through a Notifier, abstract so that
// the loop's tests record them instead of needing a socket.
#ifndef TORNAX_DAEMON_REPORT_NOTIFY_H
#define TORNAX_DAEMON_REPORT_NOTIFY_H

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <optional>
#include <string>
#include <utility>

namespace tornax {

class Notifier {
 public:
  virtual ~Notifier() = default;
  // Sends one message: "NAME=value" assignments, one per line. A service
  // manager that is absent or does not listen is no error.
  virtual void notify(const std::string &message) = 0;
  // False when no message could reach anyone, so the idle cycle need not
  // build one.
  virtual bool listening() const { return true; }
};

// The service manager's notification protocol, spoken directly: one datagram
// per message to the AF_UNIX socket that NOTIFY_SOCKET names (a path, or an
// abstract address written with a leading "@"); nothing at all when it is
// unset or names anything else. The environment is read once and the
// variables are then removed, so that programs the daemon starts (the script,
// the hooks, the wall program) cannot speak for the service; a process forked
// from the daemon (the shutdown's deadline keeper) sends nothing either. The
// watchdog is petted only when WATCHDOG_PID, if set, names this process.
class SystemdNotifier final : public Notifier {
 public:
  // Main thread, before any other thread exists (it changes the environment).
  SystemdNotifier();
  void notify(const std::string &message) override;
  bool listening() const override { return length_ != 0; }

 private:
  sockaddr_un address_{};
  socklen_t length_ = 0;  // 0: nothing to send to
  pid_t owner_ = 0;
  bool watchdog_ours_ = true;
};

// NOTIFY_SOCKET's text as a socket address and its length; nullopt for a
// text that names no AF_UNIX socket (empty, relative, too long, a vsock
// address). Pure.
std::optional<std::pair<sockaddr_un, socklen_t>> notify_address(const std::string &text);

// The message without its watchdog petting ("WATCHDOG=1" lines), for a
// process the watchdog is not meant for. Pure.
std::string without_watchdog(const std::string &message);

// Sends nothing: for the detached daemon, which a service manager follows
// through its pid file (a forking service does not take notifications).
class SilentNotifier final : public Notifier {
 public:
  void notify(const std::string &) override {}
  bool listening() const override { return false; }
};

// What the status line says.
struct ServiceState {
  bool answering = true;  // the UPS answered the last cycle
  bool on_battery = false;
  float battery_percent = 0;
  unsigned int minutes_left = 0;  // remain_time
  int clients = 0;                // status-server connections
};

// "on battery, battery 87%, 42 min left, 2 clients"; "UPS not answering,
// 2 clients" while the UPS is silent, its last readings being stale.
std::string service_status_text(const ServiceState &state);

// The state the last cycle published (main thread, between cycles).
ServiceState current_service_state();

// The messages the main loop sends, and when. Main thread only.
class ServiceReports {
 public:
  explicit ServiceReports(Notifier &notifier) : notifier_(notifier) {}

  // After each completed cycle: WATCHDOG=1; READY=1 after the first; STATUS=
  // when the status line has changed.
  void cycle_completed(const ServiceState &state);
  // RELOADING=1 (with the monotonic time) before a reload, READY=1 after it.
  void reloading();
  void reloaded();
  // STOPPING=1 before a stop.
  void stopping();
  // Before the shutdown sequence, which with its script can outlast the
  // watchdog's interval: the watchdog is put off for a day so that the
  // service manager can't abort the host's shutdown halfway. No STOPPING=1:
  // that would start the manager's stop timer, which ends in a kill.
  void shutting_down();

 private:
  Notifier &notifier_;
  bool ready_ = false;
  std::string status_;
};

}  // namespace tornax

#endif  // TORNAX_DAEMON_REPORT_NOTIFY_H
