#include "daemon/config/config_json.h"

#include <optional>
#include <string>
#include <utility>

#include "daemon/config/config_check.h"
#include "daemon/core/schedule.h"
#include "daemon/core/util.h"
#include "daemon/net/access_policy.h"
#include "daemon/net/tls_certificate.h"
#include "daemon/report/hooks.h"
#include "daemon/shutdown/host.h"
#include "daemon/shutdown/shutdown.h"
#include "daemon/ups/driver.h"

namespace tornax {
namespace {

using nlohmann::ordered_json;

ordered_json text_or_null(const std::optional<std::string> &text) {
  return text ? ordered_json(*text) : ordered_json(nullptr);
}

template <typename Time>
ordered_json time_or_null(const std::optional<Time> &when) {
  return when ? ordered_json(static_cast<long long>(*when)) : ordered_json(nullptr);
}

const char *scope_word(int who) {
  return who == scope_all ? "all" : who == scope_console ? "console" : "none";
}

const char *schedule_mode_word(int mode) {
  static const char *const words[] = {"none", "daily", "daily_apply", "weekly", "manual"};
  return mode >= schedule_none && mode <= schedule_manual ? words[mode] : "none";
}

const char *script_state_word(ScriptState state) {
  return state == ScriptState::runs             ? "runs"
         : state == ScriptState::not_executable ? "not_executable"
                                                : "missing";
}

ordered_json hook_json(const Settings &config, int e) {
  const std::optional<HookCheck> hook = hook_for_event(config, e);
  if (!hook) {
    return nullptr;
  }
  return {{"path", hook->path}, {"refusal", text_or_null(hook->refusal)}};
}

ordered_json files_json(const Settings &, std::time_t) {
  return {{"home", dir_prefix},
          {"configuration", config_filename},
          {"log", log_filename},
          {"shutdown_script", shutdown_script_filename}};
}

// What the protocol can't tell, by name, so that a program reading the
// document (the drill) leaves those readings out too.
ordered_json lacks_json(unsigned lacks) {
  static const std::pair<UpsLack, const char *> names[] = {
      {lacks_runtime, "runtime"},
      {lacks_self_test, "self_test"},
      {lacks_temperature, "temperature"},
      {lacks_load_current, "load_current"},
      {lacks_inverter_voltage, "output_voltage"},
      {lacks_frequency, "frequency"},
  };
  ordered_json list = ordered_json::array();
  for (const auto &[lack, name] : names) {
    if ((lacks & lack) != 0) {
      list.push_back(name);
    }
  }
  return list;
}

// BATTERY_VOLTAGE_LOW and _HIGH; null when not set (then from the cells).
ordered_json volts_or_null(double volts) {
  return volts != 0.0 ? ordered_json(volts) : ordered_json(nullptr);
}

ordered_json ups_json(const Settings &config, std::time_t) {
  const unsigned lacks = configured_lacks(config);
  return {{"device", text_or_null(config.ups_filename)},
          {"protocol", config.ups_protocol},
          {"lacks", lacks_json(lacks)},
          {"charge_estimated", (lacks & charge_estimated) != 0},
          {"battery_voltage_low", volts_or_null(config.battery_voltage_low)},
          {"battery_voltage_high", volts_or_null(config.battery_voltage_high)},
          {"location", text_or_null(config.ups_location)},
          {"type", config.adapter_type},
          {"switch_off", config.turnoff_ups != 0},
          {"shutdown_delay", config.ups_shutdown_delay}};
}

ordered_json events_json(const Settings &config, std::time_t) {
  ordered_json events = ordered_json::array();
  for (int e = 0; e < event_count; ++e) {
    const alert_record &alert = config.alert[e];
    events.push_back(
        {{"name", event_stem(e)},
         {"alert",
          {{"scope", scope_word(alert.who)},
           {"interval_s", alert.interval},
           {"message", alert.message}}},
         {"logged", config.log_control[e].enable != 0},
         {"page", {{"enabled", config.pager[e].enable != 0}, {"message", config.pager[e].message}}},
         {"hook", hook_json(config, e)}});
  }
  return events;
}

ordered_json broadcast_json(const Settings &config, std::time_t) {
  return text_or_null(config.wall_cmd);
}

ordered_json modem_json(const Settings &config, std::time_t) {
  return text_or_null(config.modem_filename);
}

ordered_json log_size_json(const Settings &config, std::time_t) {
  return config.logsize;
}

ordered_json hook_timeout_json(const Settings &config, std::time_t) {
  return config.exec_timeout;
}

const char *host_shutdown_word(HostShutdown setting) {
  return setting == HostShutdown::init     ? "init"
         : setting == HostShutdown::direct ? "direct"
                                           : "auto";
}

ordered_json shutdown_json(const Settings &config, std::time_t) {
  return {
      {"backuptime_s", config.powerfail_timeout},
      {"silent_shutdown_s", config.silent_shutdown},
      {"runtime_below_s", config.shutdown_runtime},
      {"charge_below_percent", config.shutdown_charge},
      {"script", script_state_word(shutdown_script_state())},
      {"host_shutdown", host_shutdown_word(config.host_shutdown)},
      {"path", choose_path(config.host_shutdown, systemd_runs_as_init()).path == ShutdownPath::init
                   ? "init"
                   : "direct"},
      {"deadline_s", config.shutdown_deadline}};
}

ordered_json schedule_json(const Settings &config, std::time_t now) {
  ordered_json next = nullptr;
  if (const std::optional<ShutdownPreview> preview = next_scheduled_shutdown(config, now)) {
    next = {{"down", static_cast<long long>(preview->down)},
            {"sleep_minutes", preview->sleep_minutes}};
  }
  return {{"mode", schedule_mode_word(config.shutdown_schedule_mode)},
          {"next_shutdown", next},
          {"self_tests", config.num_test_schedule},
          {"next_self_test", time_or_null(config.num_test_schedule > 0 ? next_self_test(config, now)
                                                                       : std::nullopt)}};
}

ordered_json nut_tls_json(const Settings &config) {
  ordered_json certificate = nullptr;
  if (config.nut_certificate) {
    certificate = {{"file", text_or_null(config.nut_certfile)},
                   {"subject", config.nut_certificate->subject()},
                   {"expires", static_cast<long long>(config.nut_certificate->expires())}};
  }
  return {{"certificate", certificate}, {"required", config.nut_require_tls}};
}

ordered_json network_json(const Settings &config, std::time_t) {
  ordered_json listen = ordered_json::array();
  for (const IpAddress &address : config.listen) {
    listen.push_back(format_ip_address(address));
  }
  ordered_json allow = ordered_json::array();
  for (const IpNetwork &network : config.allow) {
    allow.push_back(format_ip_address(network.address) + "/" + std::to_string(network.prefix));
  }
  ordered_json users = ordered_json::array();
  for (const NutAccount &account : config.nut_users) {
    users.push_back(account.name);
  }
  return {{"listen", listen},
          {"allow", allow},
          {"max_client_per_host", config.max_client_per_host},
          {"status_server", {{"port", config.port}, {"max_client", config.max_client}}},
          {"status_key_file", text_or_null(config.status_key_file)},
          {"nut_server",
           {{"port", config.nut_port},
            {"ups_name", config.nut_upsname},
            {"max_client", config.nut_max_client},
            {"users", users},
            {"hostsync_s", config.nut_hostsync},
            {"tls", nut_tls_json(config)}}},
          {"http", {{"port", config.http_port}}}};
}

ordered_json summary_json(const Settings &config, std::time_t now) {
  ordered_json rows = ordered_json::object();
  for (const auto &[what, value] : configuration_summary_rows(config, now)) {
    rows[what] = value;
  }
  return rows;
}

// One member of the document each, in this order.
struct JsonField {
  const char *key;
  ordered_json (*value)(const Settings &, std::time_t);
};

constexpr JsonField json_fields[] = {
    {"files", files_json},
    {"ups", ups_json},
    {"broadcast_command", broadcast_json},
    {"modem_device", modem_json},
    {"log_size_kib", log_size_json},
    {"events", events_json},
    {"hook_timeout_s", hook_timeout_json},
    {"shutdown", shutdown_json},
    {"schedule", schedule_json},
    {"network", network_json},
    {"summary", summary_json},
};

}  // namespace

ordered_json configuration_json(const Settings &config, std::time_t now,
                                const std::vector<StatementPlace> &statements) {
  ordered_json document = ordered_json::object();
  for (const JsonField &field : json_fields) {
    document[field.key] = field.value(config, now);
  }
  ordered_json places = ordered_json::array();
  for (const StatementPlace &place : statements) {
    places.push_back({{"keyword", place.keyword},
                      {"first_line", place.first_line},
                      {"last_line", place.last_line}});
  }
  document["statements"] = places;
  return document;
}

}  // namespace tornax
