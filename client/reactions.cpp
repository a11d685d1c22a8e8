#include "client/reactions.h"

#include <cstdio>
#include <cstdlib>

#include "tornax_shared.h"
#include "wire_protocol.h"

namespace tornax {

std::string console_device = "/dev/console";

namespace {

// Alerts come every 30 lines, about every 30 seconds, while the state lasts.
constexpr unsigned int alert_repeat = 30;

void count_line(unsigned int remote_status) {
  if (status[POWERRETURN] == 1) {
    status[POWERRETURN] = 0;
  }
  if (remote_status & ext_powerfail) {
    ++status[POWERFAIL];
    status[POWERRETURN] = 2;
  } else {
    status[POWERFAIL] = 0;
    if (status[POWERRETURN] == 2) {
      status[POWERRETURN] = 1;
    }
  }
  // A line without the countdown bit ends the countdown seen so far: the
  // daemon restarted or its schedule was removed, and a "-1" on a later line
  // must not read as a shutdown due at once.
  if (remote_status & ext_schedule_down) {
    ++status[SCHEDULE_DOWN];
  } else {
    status[SCHEDULE_DOWN] = 0;
  }
  if (remote_status & ext_lowbatt) {
    ++status[LOWBATT];
  }
}

// The low-battery counter is never lowered, so its alert comes only on a line
// that carries its bit and so counted: otherwise a counter left at 1 would
// repeat its alert on every later line, once a second.
void warn(unsigned int remote_status, const AlertSettings &settings, AlertActions &actions) {
  if (status[POWERFAIL] % alert_repeat == 1) {
    actions.alert(settings.tornaxalert_who, "Power fail detect");
  }
  if (status[SCHEDULE_DOWN] % alert_repeat == 1) {
    actions.alert(settings.tornaxalert_who, "Schedule shutdown in");
  }
  if (status[POWERRETURN] == 1) {
    actions.alert(settings.tornaxalert_who, "Power is return");
  }
  if ((remote_status & ext_lowbatt) && status[LOWBATT] == 1) {
    actions.alert(settings.tornaxalert_who, "Low battery detect");
  }
}

void shut_down(const char *message, const AlertSettings &settings, AlertActions &actions) {
  actions.alert(settings.tornaxalert_who, message);
  actions.run_shutdown(settings.shutdown_cmd);
}

void decide_shutdown(const RemoteValues &values, const AlertSettings &settings,
                     AlertActions &actions) {
  if (status[LOWBATT] != 0) {
    shut_down("Low battery detect,shutdown executed", settings, actions);
  }
  if (status[POWERFAIL] != 0 && settings.powerfail_shutdown_time >= 0) {
    if (values.server_backuptime < settings.powerfail_shutdown_time) {
      shut_down("Power fail timeout,shutdown executed", settings, actions);
    } else if (settings.powerfail_shutdown_time == 0 && status[LOWBATT] != 0) {
      shut_down("Low battery detect,shutdown executed", settings, actions);
    }
  }
  if (status[SCHEDULE_DOWN] != 0 && settings.schedule_shutdown_time >= 0 &&
      values.schedule_time < settings.schedule_shutdown_time) {
    shut_down("Power fail timeout,shutdown executed", settings, actions);
  }
}

}  // namespace

void tornaxalert_alert(int who, const char *message, const std::string &wall_cmd) {
  if (who == alert_console) {
    // Appending changes nothing on a console device and keeps every alert
    // when the console is a plain file.
    if (std::FILE *console_file = std::fopen(console_device.c_str(), "ae")) {
      std::fprintf(console_file, "%s : %s\n", alert_title, message);
      std::fclose(console_file);
    }
  } else if (who == alert_all) {
    std::fflush(nullptr);  // the program shares our output streams
    if (std::FILE *wall_pipe = popen(wall_cmd.c_str(), "w")) {
      std::fprintf(wall_pipe, "%s : %s\n", alert_title, message);
      pclose(wall_pipe);
    }
  }
}

void SystemAlertActions::alert(int who, const char *message) {
  tornaxalert_alert(who, message, wall_cmd_);
}

void SystemAlertActions::run_shutdown(const std::string &command) {
  std::fflush(nullptr);
  [[maybe_unused]] const int ignored = std::system(command.c_str());
}

void react(const RemoteValues &values, const AlertSettings &settings, AlertActions &actions) {
  count_line(values.remote_status);
  warn(values.remote_status, settings, actions);
  decide_shutdown(values, settings, actions);
}

}  // namespace tornax
