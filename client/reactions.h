// The client's reactions to each status line: it counts power-fail, power
// return, low-battery and scheduled-shutdown lines in its own `status` array,
// warns its users, and runs its shutdown command when the battery is low, the
// daemon's power-fail time runs short or its scheduled shutdown comes close.
// Alerts and the shutdown command go through AlertActions, so the rules can
// be tested without a console, a broadcast program or a shell.
#ifndef TORNAX_CLIENT_REACTIONS_H
#define TORNAX_CLIENT_REACTIONS_H

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

// Applies the eleven reaction rules, in order, to one parsed status line:
// updates slots 0, 1, 2 and 6 of `status`, then sends the alerts and runs
// the shutdown command as they say (again on every line while a rule holds).
void react(const RemoteValues &values, const AlertSettings &settings, AlertActions &actions);

}  // namespace tornax

#endif  // TORNAX_CLIENT_REACTIONS_H
