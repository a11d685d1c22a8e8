#include "daemon/config/config_check.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>

#include "daemon/config/config_json.h"
#include "daemon/config/config_read.h"
#include "daemon/config/file_safety.h"
#include "daemon/core/clock.h"
#include "daemon/core/error.h"
#include "daemon/core/schedule.h"
#include "daemon/core/util.h"
#include "daemon/net/access_policy.h"
#include "daemon/net/tls_certificate.h"
#include "daemon/report/hooks.h"
#include "daemon/shutdown/deadline.h"
#include "daemon/shutdown/host.h"
#include "daemon/shutdown/shutdown.h"
#include "daemon/ups/driver.h"
#include "daemon/ups/qx_protocol.h"

namespace tornax {
namespace {

const char *scope_name(int who) {
  return who == scope_console ? "console" : "all";
}

// The events `describe` names (nullopt for the others), or "none".
template <typename Describe>
std::string event_list(const Settings &config, Describe describe) {
  std::string list;
  for (int e = 0; e < event_count; ++e) {
    if (const std::optional<std::string> item = describe(config, e)) {
      list += (list.empty() ? "" : ", ") + *item;
    }
  }
  return list.empty() ? "none" : list;
}

std::optional<std::string> alerted(const Settings &config, int e) {
  const alert_record &alert = config.alert[e];
  if (alert.who != scope_console && alert.who != scope_all) {
    return std::nullopt;
  }
  const int minutes = alert.interval / 60;
  return std::string(event_stem(e)) + " (" + scope_name(alert.who) +
         (minutes > 0 ? ", every " + std::to_string(minutes) + " min)" : ", once)");
}

std::optional<std::string> logged(const Settings &config, int e) {
  return config.log_control[e].enable != 0 ? std::optional<std::string>(event_stem(e))
                                           : std::nullopt;
}

std::optional<std::string> paged(const Settings &config, int e) {
  return config.pager[e].enable != 0 ? std::optional<std::string>(event_stem(e)) : std::nullopt;
}

bool lacking(const Settings &config, UpsLack lack) {
  return (configured_lacks(config) & lack) != 0;
}

std::string local_date(std::time_t when) {
  return local_time_text(when, "%a %Y-%m-%d %H:%M %Z");
}

std::string ups_device_row(const Settings &config, std::time_t) {
  return config.ups_filename ? *config.ups_filename : "none (no UPS_DEVICE statement)";
}

bool speaks_qx(const Settings &config) {
  return config.ups_protocol == "qx";
}

// The bytes a Qx UPS receives, as the driver writes them (without the CR).
std::string qx_switch_off_row(const Settings &config) {
  const qx::DelayText delay = qx::delay_text(config.ups_shutdown_delay);
  const long restart =
      std::clamp<long>(config.restart_sleep, qx::shortest_restart, qx::longest_restart);
  std::string command = qx::switch_off_command(config.ups_shutdown_delay, restart);
  command.pop_back();
  std::string text = "after a power-fail shutdown the UPS receives \"" + command +
                     "\": its output off " + std::to_string(config.ups_shutdown_delay) +
                     " s later (UPS_SHUTDOWN_DELAY), back on " + std::to_string(restart) +
                     " min after that once the mains are present";
  if (delay.clamped) {
    text += "; UPS_SHUTDOWN_DELAY " + std::to_string(config.ups_shutdown_delay) +
            " s is clamped to 10 minutes, the longest this UPS takes";
  }
  return text;
}

std::string switch_off_row(const Settings &config, std::time_t) {
  if (config.turnoff_ups == 0) {
    return "no (TURNOFF_UPS no): the UPS stays on after a power-fail shutdown";
  }
  if (speaks_qx(config)) {
    return qx_switch_off_row(config);
  }
  return "after a power-fail shutdown, with a shutdown delay of " +
         std::to_string(config.ups_shutdown_delay);
}

std::string host_shutdown_row(const Settings &config, std::time_t) {
  const PathChoice here = choose_path(config.host_shutdown, systemd_runs_as_init());
  const std::string path = here.path == ShutdownPath::init
                               ? "an orderly power-off asked of systemd, the UPS switched off by "
                                 "the system-shutdown hook"
                               : "the daemon's own sequence, ending in the halt";
  return std::string(here.path == ShutdownPath::init ? "init" : "direct") + " (" + here.why +
         "): " + path;
}

std::string shutdown_deadline_row(const Settings &config, std::time_t) {
  std::string text = std::to_string(config.shutdown_deadline) + " s, then the host is forced down";
  text += lacking(config, lacks_runtime)
              ? " (this UPS tells no runtime, so none shortens it on a power-fail shutdown)"
              : " (for a power-fail shutdown no later than the UPS's runtime less " +
                    std::to_string(runtime_margin) + " s)";
  if (choose_path(config.host_shutdown, systemd_runs_as_init()).path == ShutdownPath::direct) {
    text += "; only on the init path, not taken here";
  }
  return text;
}

std::string restart_sleep_row(const Settings &config, std::time_t) {
  if (speaks_qx(config) && config.restart_sleep < qx::shortest_restart) {
    return std::to_string(config.restart_sleep) + " min: sent as " +
           std::to_string(qx::shortest_restart) +
           " min, since early firmware may stay off for good after less";
  }
  if (config.restart_sleep == 0) {
    return "0: the UPS is told 0 even when the mains are back by the time it is switched off "
           "(it may then never cycle the power)";
  }
  return std::to_string(config.restart_sleep) +
         " min: when the mains are back by the time the UPS is switched off, it stays off this "
         "long instead of 0, so that the host boots again";
}

std::string broadcast_row(const Settings &config, std::time_t) {
  return config.wall_cmd ? *config.wall_cmd : "none (no WALLPATH statement)";
}

std::string alerted_row(const Settings &config, std::time_t) {
  return event_list(config, alerted);
}

std::string logged_row(const Settings &config, std::time_t) {
  return event_list(config, logged);
}

std::string paged_row(const Settings &config, std::time_t) {
  std::string events = event_list(config, paged);
  if (events == "none") {
    return events;
  }
  return config.modem_filename ? events + " through " + *config.modem_filename
                               : events + ", but no MODEM_DEVICE is set: nothing can be sent";
}

std::string backuptime_row(const Settings &config, std::time_t) {
  if (config.powerfail_timeout == 0) {
    // With a threshold set the mark is not the only cause: saying so would
    // send the administrator looking for a fault that is not there. A
    // runtime threshold the UPS can't feed is none.
    const bool runtime = config.shutdown_runtime != 0 && !lacking(config, lacks_runtime);
    std::string text = !runtime && config.shutdown_charge == 0
                           ? "none: only a low-battery mark shuts the host down"
                           : "none: no time limit on battery";
    if (lacking(config, lacks_runtime)) {
      // Without it the time left on battery is the UPS's runtime.
      text +=
          "; this UPS tells no runtime, so no time left on battery is told (BACKUPTIME "
          "gives one)";
    }
    return text;
  }
  return "shutdown after " + std::to_string(config.powerfail_timeout / 60) + " min on battery";
}

std::string silent_shutdown_row(const Settings &config, std::time_t) {
  if (config.silent_shutdown == 0) {
    return "none: a UPS silent on battery shuts nothing down before BACKUPTIME";
  }
  return "shutdown after " + std::to_string(config.silent_shutdown / 60) +
         " min of silence from a UPS last seen on battery";
}

std::string shutdown_runtime_row(const Settings &config, std::time_t) {
  if (config.shutdown_runtime == 0) {
    return "none";
  }
  if (lacking(config, lacks_runtime)) {
    return "never: this UPS tells no runtime (" + std::to_string(config.shutdown_runtime / 60) +
           " min set)";
  }
  return "shutdown when the UPS's backup time is below " +
         std::to_string(config.shutdown_runtime / 60) + " min on battery, in two readings in a row";
}

std::string shutdown_charge_row(const Settings &config, std::time_t) {
  if (config.shutdown_charge == 0) {
    return "none";
  }
  return "shutdown when the battery level is below " + std::to_string(config.shutdown_charge) +
         "% on battery, in two readings in a row";
}

// The ends between which the charge is estimated from the battery voltage.
std::string battery_voltage_row(double volts, double cell_volts, const char *end) {
  if (volts == 0.0) {
    char text[96];
    std::snprintf(text, sizeof text, "from the cells: %.2f V a cell (%s)", cell_volts, end);
    return text;
  }
  char text[96];
  std::snprintf(text, sizeof text, "%.2f V: the battery taken as %s", volts, end);
  return text;
}

std::string battery_low_row(const Settings &config, std::time_t) {
  return battery_voltage_row(config.battery_voltage_low, qx::cell_volts_empty, "empty") +
         " for the charge estimate";
}

std::string battery_high_row(const Settings &config, std::time_t) {
  return battery_voltage_row(config.battery_voltage_high, qx::cell_volts_full, "full") +
         " for the charge estimate";
}

std::string hooks_row(const Settings &config, std::time_t) {
  std::string text;
  for (int e = 0; e < event_count; ++e) {
    if (const std::optional<HookCheck> hook = hook_for_event(config, e)) {
      text += (text.empty() ? "" : ", ") + hook_label(e, hook->path) +
              (hook->refusal ? " (not run: " + *hook->refusal + ")" : "");
    }
  }
  return text.empty() ? "none"
                      : text + "; each killed after " + std::to_string(config.exec_timeout) + " s";
}

std::string next_shutdown_row(const Settings &config, std::time_t now) {
  if (config.shutdown_schedule_mode < schedule_daily ||
      config.shutdown_schedule_mode > schedule_manual) {
    return "none";
  }
  const std::optional<ShutdownPreview> next = next_scheduled_shutdown(config, now);
  if (!next) {
    return "never (no down-time of the schedule starts one)";
  }
  return local_date(next->down) + ", the UPS off for " + std::to_string(next->sleep_minutes) +
         " min";
}

std::string next_test_row(const Settings &config, std::time_t now) {
  if (config.num_test_schedule == 0) {
    return "none";
  }
  if (lacking(config, lacks_self_test)) {
    return "none: this UPS has no self-test (the UPSTEST entries are skipped)";
  }
  const std::optional<std::time_t> next = next_self_test(config, now);
  return next ? local_date(*next) : "never (no UPSTEST date occurs)";
}

// The LISTEN addresses every network surface binds to.
std::string listen_places(const Settings &config) {
  std::string where = "every IPv4 and IPv6 address";
  if (!config.listen.empty()) {
    where.clear();
    for (const IpAddress &address : config.listen) {
      where += (where.empty() ? "" : ", ") + format_ip_address(address);
    }
  }
  return where;
}

std::string status_server_row(const Settings &config, std::time_t) {
  if (config.max_client == 0) {
    return "off (MAX_CLIENT 0)";
  }
  const std::string where = listen_places(config);
  std::string text = "port " + std::to_string(config.port) + " on " + where + ", at most " +
                     std::to_string(config.max_client) + " clients at once";
  if (config.max_client_per_host != 0) {
    text += ", " + std::to_string(config.max_client_per_host) + " per host";
  }
  return text;
}

std::string nut_server_row(const Settings &config, std::time_t) {
  if (config.nut_port == 0) {
    return "off (NUT_PORT 0)";
  }
  const std::size_t accounts = config.nut_users.size();
  return "port " + std::to_string(config.nut_port) + " on " + listen_places(config) + ", UPS " +
         config.nut_upsname + ", at most " + std::to_string(config.nut_max_client) +
         " clients at once; " + std::to_string(accounts) +
         (accounts == 1 ? " account" : " accounts") + ", a shutdown waits up to " +
         std::to_string(config.nut_hostsync) + " s for the hosts logged in";
}

std::string nut_tls_row(const Settings &config, std::time_t now) {
  if (!config.nut_certificate) {
    return "none (no NUT_CERTFILE): STARTTLS is refused";
  }
  const TlsCertificate &certificate = *config.nut_certificate;
  std::string text = config.nut_certfile.value_or("") + ": " + certificate.subject() + ", " +
                     certificate_expiry_warning(certificate, now)
                         .value_or("expires on " + certificate_date(certificate.expires()));
  return text + (config.nut_require_tls ? "; logins only after STARTTLS"
                                        : "; logins in the clear too (NUT_REQUIRE_TLS no)");
}

std::string http_row(const Settings &config, std::time_t) {
  if (config.http_port == 0) {
    return "off (HTTP_PORT 0)";
  }
  return "port " + std::to_string(config.http_port) + " on " + listen_places(config) +
         ": /metrics, /status, /";
}

std::string allowed_row(const Settings &config, std::time_t) {
  if (config.allow.empty()) {
    return "every host (no ALLOW statement)";
  }
  std::string text;
  for (const IpNetwork &network : config.allow) {
    text += (text.empty() ? "" : ", ") + format_ip_address(network.address) + "/" +
            std::to_string(network.prefix);
  }
  return text;
}

std::string status_key_row(const Settings &config, std::time_t) {
  if (!config.status_key_file) {
    return "none: status lines are not authenticated";
  }
  return *config.status_key_file + ": lines are authenticated for clients started with -k";
}

std::string shutdown_script_row(const Settings &, std::time_t) {
  const std::string path = shutdown_script_filename;
  switch (shutdown_script_state()) {
    case ScriptState::runs:
      return path + ", run at shutdown";
    case ScriptState::not_executable:
      return path + " is not readable and executable: not run";
    default:
      return "none (" + path + ")";
  }
}

// What the protocol can't tell that changes what the daemon does or tells;
// readings only shown (a temperature, a frequency) are simply left out.
std::string ups_protocol_row(const Settings &config, std::time_t) {
  std::string text = config.ups_protocol;
  const std::pair<UpsLack, const char *> notes[] = {
      {lacks_runtime, "no runtime from this UPS"},
      {lacks_self_test, "no self-test"},
      {charge_estimated, "the battery charge is estimated from the battery voltage"},
  };
  for (const auto &[lack, note] : notes) {
    if (lacking(config, lack)) {
      text += std::string("; ") + note;
    }
  }
  return text;
}

// One row per line of the summary; a new setting is one row more.
struct SummaryRow {
  const char *what;
  std::string (*value)(const Settings &, std::time_t);
  bool (*shown)(const Settings &) = nullptr;  // nullptr: always
};

bool charge_is_estimated(const Settings &config) {
  return lacking(config, charge_estimated);
}

constexpr SummaryRow summary_table[] = {
    {"UPS device", ups_device_row},
    {"UPS protocol", ups_protocol_row},
    {"UPS switch-off", switch_off_row},
    {"RESTART_SLEEP", restart_sleep_row},
    {"Host shutdown", host_shutdown_row},
    {"SHUTDOWN_DEADLINE", shutdown_deadline_row},
    {"Alerted", alerted_row},
    {"Broadcast command", broadcast_row},
    {"Logged", logged_row},
    {"Paged", paged_row},
    {"BACKUPTIME", backuptime_row},
    {"SILENT_SHUTDOWN", silent_shutdown_row},
    {"SHUTDOWN_RUNTIME", shutdown_runtime_row},
    {"SHUTDOWN_CHARGE", shutdown_charge_row},
    {"BATTERY_VOLTAGE_LOW", battery_low_row, charge_is_estimated},
    {"BATTERY_VOLTAGE_HIGH", battery_high_row, charge_is_estimated},
    {"Next scheduled shutdown", next_shutdown_row},
    {"Next self-test", next_test_row},
    {"Status server", status_server_row},
    {"Network UPS server", nut_server_row},
    {"Network UPS TLS", nut_tls_row},
    {"HTTP endpoint", http_row},
    {"Clients allowed", allowed_row},
    {"Status key", status_key_row},
    {"Shutdown script", shutdown_script_row},
    {"Event hooks", hooks_row},
};

}  // namespace

unsigned configured_lacks(const Settings &config) {
  // The driver in use knows more once it has identified the UPS.
  if (config.ups_protocol == ups_driver().name) {
    return ups_driver().lacks();
  }
  const UpsDriver *driver = find_ups_driver(config.ups_protocol);
  return driver != nullptr ? driver->lacks() : 0;
}

ScriptState shutdown_script_state() {
  if (access(shutdown_script_filename, R_OK | X_OK) == 0) {
    return ScriptState::runs;
  }
  return access(shutdown_script_filename, F_OK) == 0 ? ScriptState::not_executable
                                                     : ScriptState::missing;
}

std::vector<std::pair<std::string, std::string>> configuration_summary_rows(const Settings &config,
                                                                            std::time_t now) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const SummaryRow &row : summary_table) {
    if (row.shown != nullptr && !row.shown(config)) {
      continue;
    }
    rows.emplace_back(row.what, row.value(config, now));
  }
  return rows;
}

std::string configuration_summary(const Settings &config, std::time_t now) {
  std::string text;
  for (const auto &[what, value] : configuration_summary_rows(config, now)) {
    text.append(what).append(": ").append(value).append("\n");
  }
  return text;
}

int check_configuration(bool json) {
  getpath();
  if (std::optional<std::string> refusal = unsafe_configuration()) {
    tornax_error("%s", refusal->c_str());
  }
  if (std::optional<std::string> refusal = unsafe_shutdown_script()) {
    tornax_error("%s", refusal->c_str());
  }
  config_test_read();
  if (std::optional<std::string> refusal = unsafe_hook(settings)) {
    tornax_error("%s", refusal->c_str());
  }
  if (json) {
    const std::string text =
        configuration_json(settings, clock_now(), statements_read())
            .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
        "\n";
    std::fputs(text.c_str(), stdout);
  } else {
    std::printf("configuration OK\n%s", configuration_summary(settings, clock_now()).c_str());
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace tornax
