#include "client/reactions.h"

#include <cstdio>
#include <cstdlib>

#include "wire_protocol.h"

namespace tornax {

std::string console_device = "/dev/console";

namespace {

// Alerts come every 30 lines, about every 30 seconds, while the state lasts.
constexpr unsigned int alert_repeat = 30;

using Counters = std::array<unsigned int, event_count>;

void count_line(unsigned int remote_status, Counters &counts) {
  if (counts[POWERRETURN] == 1) {
    counts[POWERRETURN] = 0;
  }
  if (remote_status & ext_powerfail) {
    ++counts[POWERFAIL];
    counts[POWERRETURN] = 2;
  } else {
    counts[POWERFAIL] = 0;
    if (counts[POWERRETURN] == 2) {
      counts[POWERRETURN] = 1;
    }
  }
  // A line without the countdown bit ends the countdown seen so far: the
  // daemon restarted or its schedule was removed, and a "-1" on a later line
  // must not read as a shutdown due at once.
  if (remote_status & ext_schedule_down) {
    ++counts[SCHEDULE_DOWN];
  } else {
    counts[SCHEDULE_DOWN] = 0;
  }
  if (remote_status & ext_lowbatt) {
    ++counts[LOWBATT];
  }
}

// The low-battery counter is never lowered, so its alert comes only on a line
// that carries its bit and so counted: otherwise a counter left at 1 would
// repeat its alert on every later line, once a second.
void warn(unsigned int remote_status, const Counters &counts, ReactionSink &sink) {
  if (counts[POWERFAIL] % alert_repeat == 1) {
    sink.warn("Power fail detect");
  }
  if (counts[SCHEDULE_DOWN] % alert_repeat == 1) {
    sink.warn("Schedule shutdown in");
  }
  if (counts[POWERRETURN] == 1) {
    sink.warn("Power is return");
  }
  if ((remote_status & ext_lowbatt) && counts[LOWBATT] == 1) {
    sink.warn("Low battery detect");
  }
}

constexpr const char *lowbatt_shutdown = "Low battery detect,shutdown executed";
constexpr const char *timeout_shutdown = "Power fail timeout,shutdown executed";

void decide_shutdown(const ClientState &state, const AlertSettings &settings, ReactionSink &sink) {
  const Counters &counts = state.status;
  if (counts[LOWBATT] != 0) {
    sink.shutdown_due(ShutdownRule::low_battery, lowbatt_shutdown);
  }
  if (counts[POWERFAIL] != 0 && settings.powerfail_shutdown_time >= 0) {
    if (state.values.server_backuptime < settings.powerfail_shutdown_time) {
      sink.shutdown_due(ShutdownRule::powerfail_time, timeout_shutdown);
    } else if (settings.powerfail_shutdown_time == 0 && counts[LOWBATT] != 0) {
      sink.shutdown_due(ShutdownRule::low_battery, lowbatt_shutdown);
    }
  }
  if (counts[SCHEDULE_DOWN] != 0 && settings.schedule_shutdown_time >= 0 &&
      state.values.schedule_time < settings.schedule_shutdown_time) {
    sink.shutdown_due(ShutdownRule::schedule_time, timeout_shutdown);
  }
}

// One daemon followed: the rules act on the host directly.
class DirectSink final : public ReactionSink {
 public:
  DirectSink(const AlertSettings &settings, AlertActions &actions)
      : settings_(settings), actions_(actions) {}
  void warn(const char *message) override { actions_.alert(settings_.tornaxalert_who, message); }
  void shutdown_due(ShutdownRule, const char *message) override {
    actions_.alert(settings_.tornaxalert_who, message);
    actions_.run_shutdown(settings_.shutdown_cmd);
  }

 private:
  const AlertSettings &settings_;
  AlertActions &actions_;
};

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

void react(ClientState &state, const AlertSettings &settings, ReactionSink &sink) {
  count_line(state.values.remote_status, state.status);
  warn(state.values.remote_status, state.status, sink);
  decide_shutdown(state, settings, sink);
}

void react(ClientState &state, const AlertSettings &settings, AlertActions &actions) {
  DirectSink sink(settings, actions);
  react(state, settings, sink);
}

}  // namespace tornax
