// The client's reactions to each status line of a daemon: it counts
// power-fail, power return, low-battery and scheduled-shutdown lines in the
// `status` array of that daemon's ClientState, warns its users, and finds a
// shutdown due when the battery is low, the daemon's power-fail time runs
// short or its scheduled shutdown comes close. What the rules decide goes to
// a ReactionSink: following one daemon, the alerts and the shutdown command
// go straight through AlertActions, so the rules can be tested without a
// console, a broadcast program or a shell.
#ifndef TORNAX_CLIENT_REACTIONS_H
#define TORNAX_CLIENT_REACTIONS_H

#include <array>
#include <string>

#include "client/options.h"
#include "client/status_line.h"

namespace tornax {

class AlertActions {
 public:
  virtual ~AlertActions() = default;
  // Sends one alert to the scope (alert_none sends nothing) and returns once
  // it has been delivered or could not be.
  virtual void alert(int who, const char *message) = 0;
  // Runs the command through the shell and waits for it; its status is unused.
  virtual void run_shutdown(const std::string &command) = 0;
};

// The console the client writes its console alerts to; tests point it at a
// plain file.
extern std::string console_device;

// Sends "<title> : <message>\n" to the console (who 1) or to the standard
// input of `wall_cmd` run through the shell (who 2); any other scope sends
// nothing. A console or program that can't be opened skips the alert.
void tornaxalert_alert(int who, const char *message, const std::string &wall_cmd);

// The real actions: tornaxalert_alert with the configured broadcast program,
// and system() for the shutdown command.
class SystemAlertActions final : public AlertActions {
 public:
  explicit SystemAlertActions(std::string wall_cmd) : wall_cmd_(std::move(wall_cmd)) {}
  void alert(int who, const char *message) override;
  void run_shutdown(const std::string &command) override;

 private:
  std::string wall_cmd_;
};

// What the client keeps of one daemon: the values of its last line and its
// own event counters (slots 0, 1, 2 and 6 of the daemon's event index). Both
// outlive reconnects.
struct ClientState {
  RemoteValues values;
  std::array<unsigned int, event_count> status{};
};

// Which rule found a shutdown due.
enum class ShutdownRule { low_battery, powerfail_time, schedule_time };

// Receives what the rules decide for one line, in the order they decide it.
class ReactionSink {
 public:
  virtual ~ReactionSink() = default;
  virtual void warn(const char *message) = 0;
  // `message` is the alert that goes with the shutdown.
  virtual void shutdown_due(ShutdownRule rule, const char *message) = 0;
};

// Applies the eleven reaction rules, in order, to the line just parsed into
// state.values: updates the counters, then tells `sink` the warnings and the
// shutdowns due (again on every line while a rule holds).
void react(ClientState &state, const AlertSettings &settings, ReactionSink &sink);

// Following one daemon: each warning is an alert, and each shutdown due its
// alert followed by the shutdown command.
void react(ClientState &state, const AlertSettings &settings, AlertActions &actions);

}  // namespace tornax

#endif  // TORNAX_CLIENT_REACTIONS_H
