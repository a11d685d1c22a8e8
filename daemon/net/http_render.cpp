#include "daemon/net/http_render.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "daemon/core/clock.h"
#include "tornax.h"

namespace tornax {
namespace {

constexpr const char *replacement_character = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at the start of `text` (overlong
// forms, surrogates and code points past U+10FFFF are not), or 0.
std::size_t utf8_sequence(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  }
  if (length == 0 || text.size() < length || byte(1) < low || byte(1) > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) {
      return 0;
    }
  }
  // C1 control characters (U+0080 to U+009F) are controls too.
  return lead == 0xC2 && byte(1) < 0xA0 ? 0 : length;
}

// The shortest text that reads back as the same float: a UPS reading of
// 230.2 shows as 230.2, not as the double nearest the float.
std::string shortest(float value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// A float made a double that prints as the float reads.
double tidy(float value) {
  if (!std::isfinite(value)) {
    return value;
  }
  return std::strtod(shortest(value).c_str(), nullptr);
}

std::string local_time(std::time_t t) {
  return local_time_text(t, "%Y-%m-%d %H:%M:%S");
}

std::string event_text(int e) {
  return e < 7 ? logfile_message[e] : "Overload";
}

// The identification as the UPS sent it, without the blanks around it.
std::string model_of(const CycleFacts &facts) {
  const std::string model = clean_text(facts.ups_version);
  const std::size_t first = model.find_first_not_of(' ');
  if (first == std::string::npos) {
    return "";
  }
  return model.substr(first, model.find_last_not_of(' ') - first + 1);
}

std::string teststatus_of(const CycleFacts &facts) {
  return clean_text(std::string_view(facts.values.teststatus, strnlen(facts.values.teststatus, 3)));
}

// One word for the state at a glance; the page and /status share it.
std::string state_word(const CycleFacts &facts) {
  if (!facts.cycled) {
    return "starting";
  }
  if (facts.status[POWERFAIL_DOWN] != 0 || facts.status[SCHEDULE_DOWN] != 0) {
    return "shutting_down";
  }
  if (comm_lost(facts)) {
    return "comm_lost";
  }
  if (low_battery(facts)) {
    return "low_battery";
  }
  return on_battery(facts) ? "on_battery" : "on_line";
}

// ---- Prometheus --------------------------------------------------------------

std::string metric_value(double value) {
  if (std::isnan(value)) {
    return "NaN";
  }
  if (std::isinf(value)) {
    return value > 0 ? "+Inf" : "-Inf";
  }
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

class MetricText {
 public:
  void family(const char *name, const char *type, const char *help) {
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void sample(const char *name, const std::string &value, const std::string &labels = "") {
    text_ += name;
    if (!labels.empty()) {
      text_ += "{" + labels + "}";
    }
    text_ += " " + value + "\n";
  }
  void gauge(const char *name, const char *help, const std::string &value) {
    family(name, "gauge", help);
    sample(name, value);
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

std::string label(const char *name, std::string_view value) {
  return std::string(name) + "=\"" + prometheus_label(value) + "\"";
}

std::string flag(bool on) {
  return on ? "1" : "0";
}

void measurement_metrics(MetricText &out, const CycleFacts &facts) {
  const StatusSnapshot &v = facts.values;
  out.gauge("tornax_input_voltage_volts", "Input (line) voltage.", shortest(v.linevoltage));
  out.gauge("tornax_output_voltage_volts", "Output (inverter) voltage.", shortest(v.invvoltage));
  out.gauge("tornax_input_nominal_voltage_volts", "Nominal input voltage the UPS reports.",
            shortest(facts.linenormal));
  out.gauge("tornax_input_frequency_hertz", "Frequency as the UPS reports it.", shortest(v.freq));
  out.gauge("tornax_output_current_amperes", "Load current as the UPS reports it.",
            shortest(v.loadcurrent));
  out.gauge("tornax_battery_charge_ratio", "Battery charge, 0 to 1.",
            shortest(v.percentbatt / 100.0f));
  out.gauge("tornax_ups_load_ratio",
            "Load as a share of the rated power, 0 to 1 (more when "
            "overloaded).",
            shortest(v.percentloadpower / 100.0f));
  out.gauge("tornax_battery_runtime_seconds", "Running time on battery the UPS estimates.",
            shortest(facts.backuptime * 60.0f));
}

void state_metrics(MetricText &out, const CycleFacts &facts, const LiveFacts &live) {
  const std::optional<long> left = shutdown_remaining_seconds(facts);
  out.gauge("tornax_shutdown_remaining_seconds",
            "Seconds until the host is shut down; +Inf while no shutdown is pending.",
            left ? metric_value(static_cast<double>(*left)) : "+Inf");
  out.family("tornax_ups_status", "gauge", "1 while the state the flag names holds, else 0.");
  const std::pair<const char *, bool> flags[] = {
      {"on_battery", on_battery(facts)},
      {"low_battery", low_battery(facts)},
      {"comm_lost", comm_lost(facts)},
      {"self_test", live.self_test},
      {"shutdown_pending", shutdown_pending(facts)},
  };
  for (const auto &[name, on] : flags) {
    out.sample("tornax_ups_status", flag(on), label("flag", name));
  }
  out.gauge("tornax_ups_comm_up", "1 while the UPS answers every query of a cycle.",
            flag(facts.cycled && !comm_lost(facts)));
  out.gauge("tornax_ups_comm_failed_cycles", "Cycles in a row the UPS has not answered.",
            std::to_string(facts.status[COMM_ERROR]));
  out.gauge("tornax_ups_status_word", "The status word sent to the status server's clients.",
            std::to_string(facts.values.ext_status));
  out.family("tornax_events_total", "counter", "Events fired since the daemon started.");
  for (int e = 0; e < event_count; ++e) {
    out.sample("tornax_events_total",
               std::to_string(facts.events_total[static_cast<std::size_t>(e)]),
               label("event", event_name(e)));
  }
}

void schedule_metrics(MetricText &out, const CycleFacts &facts) {
  out.gauge("tornax_powerfail_timeout_seconds",
            "Seconds on battery before the host is shut down (BACKUPTIME); 0 none.",
            std::to_string(facts.powerfail_timeout));
  out.gauge("tornax_next_shutdown_timestamp_seconds",
            "When the next scheduled shutdown starts (Unix time); +Inf none.",
            facts.next_shutdown ? std::to_string(facts.next_shutdown->down) : "+Inf");
  out.gauge("tornax_next_selftest_timestamp_seconds",
            "When the next scheduled self-test runs (Unix time); +Inf none.",
            facts.next_self_test ? std::to_string(*facts.next_self_test) : "+Inf");
  out.family("tornax_last_selftest_info", "gauge", "Result text of the last self-test.");
  out.sample("tornax_last_selftest_info", "1", label("result", teststatus_of(facts)));
}

void daemon_metrics(MetricText &out, const CycleFacts &facts, const LiveFacts &live) {
  out.gauge("tornax_status_clients", "Connections the status server serves.",
            std::to_string(live.status_clients));
  out.gauge("tornax_nut_clients", "Connections the network UPS server serves.",
            std::to_string(live.nut_clients));
  out.gauge("tornax_cycle_duration_seconds",
            "How long the last cycle took to poll the UPS and check the schedules.",
            metric_value(facts.cycle_seconds));
  out.gauge("tornax_last_cycle_timestamp_seconds",
            "When the last cycle ended (Unix time); 0 "
            "before the first.",
            std::to_string(facts.time));
  out.family("tornax_ups_info", "gauge", "The UPS identification and location.");
  out.sample("tornax_ups_info", "1",
             label("model", model_of(facts)) + "," +
                 label("location", clean_text(facts.location.value_or(""))));
  out.family("tornax_build_info", "gauge", "The daemon's version.");
  out.sample("tornax_build_info", "1", label("version", version_text));
  out.gauge("tornax_start_time_seconds", "When the daemon started (Unix time).",
            std::to_string(facts.start_time));
}

// ---- JSON --------------------------------------------------------------------

using nlohmann::json;

json optional_time(const std::optional<std::time_t> &t) {
  return t ? json(*t) : json(nullptr);
}

json ups_object(const CycleFacts &facts) {
  return {{"model", model_of(facts)},
          {"location", facts.location ? json(clean_text(*facts.location)) : json(nullptr)},
          {"comm_up", facts.cycled && !comm_lost(facts)},
          {"nominal_voltage_volts", tidy(facts.linenormal)}};
}

json flags_object(const CycleFacts &facts, const LiveFacts &live) {
  return {{"on_battery", on_battery(facts)},
          {"low_battery", low_battery(facts)},
          {"comm_lost", comm_lost(facts)},
          {"self_test", live.self_test},
          {"shutdown_pending", shutdown_pending(facts)}};
}

json events_object(const CycleFacts &facts) {
  json totals = json::object();
  for (int e = 0; e < event_count; ++e) {
    totals[event_name(e)] = facts.events_total[static_cast<std::size_t>(e)];
  }
  return totals;
}

json recent_array(const CycleFacts &facts) {
  json recent = json::array();
  for (auto it = facts.recent.rbegin(); it != facts.recent.rend(); ++it) {
    recent.push_back(
        {{"time", it->time}, {"event", event_name(it->event)}, {"text", event_text(it->event)}});
  }
  return recent;
}

json next_shutdown_object(const CycleFacts &facts) {
  if (!facts.next_shutdown) {
    return nullptr;
  }
  return {{"time", facts.next_shutdown->down},
          {"ups_off_minutes", facts.next_shutdown->sleep_minutes}};
}

void add_measurements(json &object, const CycleFacts &facts) {
  const StatusSnapshot &v = facts.values;
  object["input_voltage_volts"] = tidy(v.linevoltage);
  object["output_voltage_volts"] = tidy(v.invvoltage);
  object["input_frequency_hertz"] = tidy(v.freq);
  object["output_current_amperes"] = tidy(v.loadcurrent);
  object["battery_charge_ratio"] = tidy(v.percentbatt / 100.0f);
  object["ups_load_ratio"] = tidy(v.percentloadpower / 100.0f);
  object["battery_runtime_seconds"] = tidy(facts.backuptime * 60.0f);
  object["remain_minutes"] = v.remain_time;
}

// ---- Page --------------------------------------------------------------------

const char *page_style =
    "body{font-family:system-ui,sans-serif;margin:0;background:#f4f4f4;color:#222}"
    "main{max-width:34rem;margin:0 auto;padding:1rem}"
    "h1{margin:0;padding:1rem;border-radius:.5rem;color:#fff;font-size:1.8rem}"
    ".on_line{background:#2e7d32}.on_battery,.low_battery{background:#c62828}"
    ".comm_lost,.starting{background:#616161}.shutting_down{background:#6a1b9a}"
    ".sub{margin:.3rem 0 1rem;color:#555}"
    ".gauge{display:flex;align-items:center;gap:.6rem;margin:.5rem 0;font-size:1.2rem}"
    ".gauge span{min-width:4.5rem}meter{flex:1;height:1.6rem}"
    "dl{display:grid;grid-template-columns:auto 1fr;gap:.3rem 1rem;margin:1rem 0}"
    "dt{color:#555}dd{margin:0}ol{padding-left:1.2rem}li{margin:.2rem 0}"
    "footer{margin-top:1rem;color:#777;font-size:.85rem}";

std::string state_heading(const std::string &word) {
  if (word == "on_line")
    return "On line";
  if (word == "on_battery")
    return "On battery";
  if (word == "low_battery")
    return "On battery, battery low";
  if (word == "comm_lost")
    return "No contact with the UPS";
  if (word == "shutting_down")
    return "Shutting down";
  return "Waiting for the first poll";
}

std::string minutes_text(long seconds) {
  const long minutes = seconds / 60;
  if (minutes >= 60) {
    return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
  }
  std::string text = std::to_string(minutes) + " min";
  if (const long rest = seconds % 60; rest != 0) {
    text += ' ';
    text += std::to_string(rest);
    text += " s";
  }
  return text;
}

std::string gauge_html(const char *name, float percent, const char *bounds) {
  const std::string value = metric_value(std::round(std::clamp(tidy(percent), 0.0, 999.0)));
  return std::string("<div class=\"gauge\"><span>") + name +
         "</span><meter min=\"0\" max=\"100\" " + bounds + " value=\"" + value + "\">" + value +
         " %</meter><span>" + value + " %</span></div>\n";
}

std::string row(const char *term, const std::string &value) {
  return std::string("<dt>") + term + "</dt><dd>" + html_escape(value) + "</dd>\n";
}

std::string details_html(const CycleFacts &facts) {
  const StatusSnapshot &v = facts.values;
  std::string html = "<dl>\n";
  if (const std::optional<long> left = shutdown_remaining_seconds(facts)) {
    html += row("Shutdown in", minutes_text(*left));
  }
  html += row("Battery runtime",
              minutes_text(std::lround(std::clamp(tidy(facts.backuptime) * 60.0, 0.0, 1e9))));
  html += row("Input", shortest(v.linevoltage) + " V, " + shortest(v.freq) + " Hz");
  html += row("Output", shortest(v.invvoltage) + " V, " + shortest(v.loadcurrent) + " A");
  html += row("Last self-test", teststatus_of(facts));
  html += row("Next scheduled shutdown",
              facts.next_shutdown ? local_time(facts.next_shutdown->down) : "none");
  html += row("Next self-test", facts.next_self_test ? local_time(*facts.next_self_test) : "none");
  return html + "</dl>\n";
}

std::string events_html(const CycleFacts &facts) {
  if (facts.recent.empty()) {
    return "<p>None since the daemon started.</p>\n";
  }
  std::string html = "<ol>\n";
  for (auto it = facts.recent.rbegin(); it != facts.recent.rend(); ++it) {
    html += "<li><time>" + local_time(it->time) + "</time> " + html_escape(event_text(it->event)) +
            "</li>\n";
  }
  return html + "</ol>\n";
}

std::string subtitle_html(const CycleFacts &facts) {
  std::string text = model_of(facts);
  if (facts.location) {
    text += (text.empty() ? "" : " \xC2\xB7 ") + clean_text(*facts.location);
  }
  return "<p class=\"sub\">" + html_escape(text) + "</p>\n";
}

}  // namespace

std::string event_name(int e) {
  static const char *const names[event_count] = {
      "powerfail",  "powerreturn",  "lowbatt",       "powerfail_down",
      "comm_error", "comm_connect", "schedule_down", "overload",
  };
  return names[e];
}

std::string clean_text(std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  while (!text.empty()) {
    const auto c = static_cast<unsigned char>(text[0]);
    std::size_t length = c < 0x80 ? 1 : utf8_sequence(text);
    if (length == 0 || c < 0x20 || c == 0x7F) {
      clean += replacement_character;
      length = 1;
    } else {
      clean.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return clean;
}

std::string prometheus_label(std::string_view text) {
  std::string escaped;
  for (const char c : clean_text(text)) {
    if (c == '\\' || c == '"') {
      escaped += '\\';
    }
    escaped += c;
  }
  return escaped;
}

std::string html_escape(std::string_view text) {
  std::string escaped;
  for (const char c : clean_text(text)) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string render_metrics(const CycleFacts &facts, const LiveFacts &live) {
  MetricText out;
  measurement_metrics(out, facts);
  state_metrics(out, facts, live);
  schedule_metrics(out, facts);
  daemon_metrics(out, facts, live);
  return out.take();
}

std::string render_status_json(const CycleFacts &facts, const LiveFacts &live) {
  const std::optional<long> left = shutdown_remaining_seconds(facts);
  json object = {
      {"daemon",
       {{"version", version_text},
        {"start_time", facts.start_time},
        {"status_clients", live.status_clients},
        {"nut_clients", live.nut_clients}}},
      {"updated", facts.cycled ? json(facts.time) : json(nullptr)},
      {"ups", ups_object(facts)},
      {"state", state_word(facts)},
      {"flags", flags_object(facts, live)},
      {"status_word", facts.values.ext_status},
      {"shutdown_remaining_seconds", left ? json(*left) : json(nullptr)},
      {"last_selftest", teststatus_of(facts)},
      {"next_shutdown", next_shutdown_object(facts)},
      {"next_selftest", optional_time(facts.next_self_test)},
      {"events_total", events_object(facts)},
      {"recent_events", recent_array(facts)},
      {"cycle_duration_seconds", facts.cycle_seconds},
  };
  add_measurements(object, facts);
  return object.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string render_status_page(const CycleFacts &facts, const LiveFacts &live) {
  const std::string word = state_word(facts);
  const std::string heading = state_heading(word);
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<meta http-equiv=\"refresh\" content=\"" +
      std::to_string(status_page_refresh_seconds) + "\">\n<title>UPS: " + heading +
      "</title>\n<style>" + page_style + "</style>\n</head>\n<body>\n<main>\n<h1 class=\"" + word +
      "\">" + heading + "</h1>\n" + subtitle_html(facts);
  html += gauge_html("Battery", facts.values.percentbatt, "low=\"30\" high=\"60\" optimum=\"100\"");
  html += gauge_html("Load", facts.values.percentloadpower, "low=\"60\" high=\"85\" optimum=\"0\"");
  html += details_html(facts);
  html += "<h2>Last events</h2>\n" + events_html(facts);
  html += "<footer>tornax " + std::string(version_text) + " \xC2\xB7 updated " +
          (facts.cycled ? local_time(facts.time) : std::string("never")) + " \xC2\xB7 " +
          std::to_string(live.status_clients) + " status clients</footer>\n";
  return html + "</main>\n</body>\n</html>\n";
}

}  // namespace tornax
