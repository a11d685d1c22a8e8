#include "daemon/net/http_render.h"

#include <sodium.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

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

// Local time with its zone: a page read from another time zone, or across a
// change of summer time, says which clock it means.
std::string local_time(std::time_t t) {
  return local_time_text(t, "%Y-%m-%d %H:%M:%S %Z");
}

std::string event_text(int e) {
  return e < 7 ? logfile_message[e] : "Overload";
}

// A text as the UPS sent it, without the blanks around it.
std::string trimmed_clean_text(std::string_view sent) {
  const std::string text = clean_text(sent);
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) {
    return "";
  }
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string model_of(const CycleFacts &facts) {
  return trimmed_clean_text(facts.ups_version);
}

std::string mfr_of(const CycleFacts &facts) {
  return trimmed_clean_text(facts.ups_mfr);
}

std::string teststatus_of(const CycleFacts &facts) {
  const char *text = facts.values.test_result;
  return clean_text(std::string_view(text, strnlen(text, sizeof facts.values.test_result - 1)));
}

// The UPS's self-test code in words, the code itself after them: the codes
// are the UPS's own, so one not known here is shown as it came.
std::string selftest_words(const std::string &code) {
  static const std::pair<const char *, const char *> known[] = {
      {"OK", "passed"}, {"NO", "no result yet"},       {"IP", "in progress"},
      {"NG", "failed"}, {"BT", "failed: the battery"},
  };
  if (code.empty()) {
    return "not known (the UPS did not say)";
  }
  for (const auto &[text, words] : known) {
    if (code == text) {
      return std::string(words) + " (" + code + ")";
    }
  }
  return "the UPS says " + code;
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

// The readings of a cycle the UPS answered. While it is silent they are left
// out (a rule on the voltage must not fire on a cable fault), and the age
// says how old the last ones are.
void measurement_metrics(MetricText &out, const CycleFacts &facts, const LiveFacts &live) {
  const StatusSnapshot &v = facts.values;
  if (readings_fresh(facts)) {
    // What the driver lacks is left out, as a reading of a silent UPS is.
    const auto told = [&](UpsLack lack) { return !ups_lacks(facts, lack); };
    out.gauge("tornax_input_voltage_volts", "Input (line) voltage.", shortest(v.linevoltage));
    if (told(lacks_inverter_voltage)) {
      out.gauge("tornax_output_voltage_volts", "Output (inverter) voltage.",
                shortest(v.invvoltage));
    }
    if (told(lacks_frequency)) {
      out.gauge("tornax_input_frequency_hertz", "Frequency as the UPS reports it.",
                shortest(v.freq));
    }
    if (told(lacks_load_current)) {
      out.gauge("tornax_output_current_amperes", "Load current as the UPS reports it.",
                shortest(v.loadcurrent));
    }
    out.gauge("tornax_battery_charge_ratio",
              ups_lacks(facts, charge_estimated)
                  ? "Battery charge, 0 to 1, estimated from the battery voltage."
                  : "Battery charge, 0 to 1.",
              shortest(v.percentbatt / 100.0f));
    out.gauge("tornax_ups_load_ratio",
              "Load as a share of the rated power, 0 to 1 (more when "
              "overloaded).",
              shortest(v.percentloadpower / 100.0f));
    if (told(lacks_runtime)) {
      out.gauge("tornax_battery_runtime_seconds", "Running time on battery the UPS estimates.",
                shortest(facts.backuptime * 60.0f));
    }
    if (const std::optional<float> temperature = ups_temperature(facts)) {
      out.gauge("tornax_ups_temperature_celsius", "Temperature the UPS reports.",
                shortest(*temperature));
    }
  }
  const std::optional<long> age = readings_age(facts, live.now);
  out.gauge("tornax_readings_age_seconds",
            "Seconds since the UPS last answered a poll; while it is silent the readings are "
            "left out. +Inf before it ever answered.",
            age ? std::to_string(*age) : "+Inf");
  out.gauge("tornax_input_nominal_voltage_volts", "Nominal input voltage the UPS reports.",
            shortest(facts.linenormal));
  if (facts.shutdown_charge != 0) {
    out.gauge("tornax_battery_charge_low_ratio",
              "Battery charge the host is shut down below on battery (SHUTDOWN_CHARGE), 0 to 1.",
              shortest(static_cast<float>(facts.shutdown_charge) / 100.0f));
  }
  if (facts.shutdown_runtime != 0) {
    out.gauge("tornax_battery_runtime_low_seconds",
              "Battery runtime the host is shut down below on battery (SHUTDOWN_RUNTIME).",
              std::to_string(facts.shutdown_runtime));
  }
}

void state_metrics(MetricText &out, const CycleFacts &facts, const LiveFacts &live) {
  const std::optional<long> &left = facts.shutdown_left;
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
  if (!ups_lacks(facts, lacks_self_test)) {
    out.family("tornax_last_selftest_info", "gauge", "Result text of the last self-test.");
    out.sample("tornax_last_selftest_info", "1", label("result", teststatus_of(facts)));
  }
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
  out.family("tornax_ups_info", "gauge", "The UPS identification, maker and location.");
  out.sample("tornax_ups_info", "1",
             label("model", model_of(facts)) + "," + label("mfr", mfr_of(facts)) + "," +
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
  const std::string mfr = mfr_of(facts);
  return {{"model", model_of(facts)},
          {"mfr", mfr.empty() ? json(nullptr) : json(mfr)},
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

// The last readings, marked stale with their age while the UPS is silent;
// null before it ever answered.
void add_measurements(json &object, const CycleFacts &facts, const LiveFacts &live) {
  const StatusSnapshot &v = facts.values;
  const bool read = facts.readings_time != 0;
  const auto reading = [read](float value) { return read ? json(tidy(value)) : json(nullptr); };
  // A reading the driver lacks is null, as one never read.
  const auto told = [&](UpsLack lack, float value) {
    return ups_lacks(facts, lack) ? json(nullptr) : reading(value);
  };
  object["input_voltage_volts"] = reading(v.linevoltage);
  object["output_voltage_volts"] = told(lacks_inverter_voltage, v.invvoltage);
  object["input_frequency_hertz"] = told(lacks_frequency, v.freq);
  object["output_current_amperes"] = told(lacks_load_current, v.loadcurrent);
  object["battery_charge_ratio"] = reading(v.percentbatt / 100.0f);
  object["battery_charge_estimated"] = ups_lacks(facts, charge_estimated);
  object["ups_load_ratio"] = reading(v.percentloadpower / 100.0f);
  object["battery_runtime_seconds"] = told(lacks_runtime, facts.backuptime * 60.0f);
  const std::optional<float> temperature = ups_temperature(facts);
  object["temperature_celsius"] = read && temperature ? json(tidy(*temperature)) : json(nullptr);
  const std::optional<long> age = readings_age(facts, live.now);
  object["readings"] = {{"stale", !readings_fresh(facts)},
                        {"time", read ? json(facts.readings_time) : json(nullptr)},
                        {"age_seconds", age ? json(*age) : json(nullptr)}};
  object["battery_charge_low_ratio"] =
      facts.shutdown_charge != 0 ? json(facts.shutdown_charge / 100.0) : json(nullptr);
  object["battery_runtime_low_seconds"] =
      facts.shutdown_runtime != 0 ? json(facts.shutdown_runtime) : json(nullptr);
  object["remain_minutes"] = v.remain_time;
}

// ---- Page --------------------------------------------------------------------

const char *page_style =
    "body{font-family:system-ui,sans-serif;margin:0;background:#f4f4f4;color:#222}"
    "main{max-width:40rem;margin:0 auto;padding:1rem}"
    "h1{margin:0;padding:1rem;border-radius:.5rem;color:#fff;font-size:1.8rem}"
    ".on_line{background:#2e7d32}.on_battery,.low_battery{background:#c62828}"
    ".comm_lost,.starting{background:#616161}.shutting_down{background:#6a1b9a}"
    ".sub{margin:.3rem 0 1rem;color:#555}"
    ".gauge{display:flex;align-items:center;gap:.6rem;margin:.5rem 0;font-size:1.2rem}"
    ".gauge span{min-width:4.5rem}meter{flex:1;height:1.6rem}"
    ".charts{display:grid;grid-template-columns:repeat(auto-fit,minmax(17rem,1fr));gap:.6rem;"
    "margin:1rem 0}"
    "figure{margin:0;padding:.4rem .5rem;background:#fff;border-radius:.4rem}"
    "figcaption{font-size:.9rem;color:#555}figcaption b{color:#222;float:right}"
    "svg{display:block;width:100%;height:4.5rem;margin:.2rem 0}"
    "polyline{fill:none;stroke:#1565c0;stroke-width:2;vector-effect:non-scaling-stroke}"
    ".grid{stroke:#ddd;stroke-width:1;vector-effect:non-scaling-stroke}"
    ".ob{fill:#c62828;fill-opacity:.22}.si{fill:#616161;fill-opacity:.3}"
    ".axis{display:flex;justify-content:space-between;font-size:.75rem;color:#777}"
    ".key{display:inline-block;width:.9rem;height:.9rem;vertical-align:middle;margin:0 .3rem 0 "
    "1rem}"
    ".key.ob{background:rgba(198,40,40,.22)}.key.si{background:rgba(97,97,97,.3)}"
    ".legend{font-size:.85rem;color:#555;margin:0}"
    "dl{display:grid;grid-template-columns:auto 1fr;gap:.3rem 1rem;margin:1rem 0}"
    "dt{color:#555}dd{margin:0}ol{padding-left:1.2rem}li{margin:.2rem 0}"
    "footer{margin-top:1rem;color:#777;font-size:.85rem}"
    ".stale{color:#9e9e9e}.stale meter{opacity:.35}dd small{color:#757575}"
    ".stale_note{margin:.6rem 0;padding:.4rem .6rem;background:#e0e0e0;border-left:.3rem solid "
    "#757575}"
    ".offline footer::after{content:\" \\00b7  not updating: the daemon does not answer\";"
    "color:#c62828}";

// Fetches the page again every few seconds and puts its content in place, so
// nothing flickers and the reader keeps their place; without JavaScript the
// page reloads itself instead (the <noscript> refresh).
const char *live_script =
    "(function(){var busy=false;setInterval(function(){if(busy)return;busy=true;"
    "fetch(location.pathname,{cache:'no-store'}).then(function(r){"
    "if(!r.ok)throw new Error(r.status);return r.text()}).then(function(t){"
    "var d=new DOMParser().parseFromString(t,'text/html'),m=d.querySelector('main');"
    "if(!m)throw new Error('no content');document.querySelector('main').replaceWith(m);"
    "document.title=d.title;document.body.classList.remove('offline');"
    "document.body.dataset.updates=(+(document.body.dataset.updates||0))+1})"
    ".catch(function(){document.body.classList.add('offline')})"
    ".finally(function(){busy=false})},";

// The page's script element's text, whole. Never destroyed, as the policy
// below: the HTTP thread may still be answering when the process ends.
const std::string &page_script() {
  static const std::string *const script =
      new std::string(live_script + std::to_string(status_page_refresh_seconds * 1000) + ")})();");
  return *script;
}

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

std::string age_text(long seconds) {
  return seconds < 60 ? std::to_string(seconds) + " s" : minutes_text(seconds);
}

// How fresh the values the page shows are; none once the UPS answered the
// last poll.
enum class Shown { fresh, stale, none };

Shown shown(const CycleFacts &facts) {
  if (readings_fresh(facts)) {
    return Shown::fresh;
  }
  return facts.readings_time != 0 ? Shown::stale : Shown::none;
}

// The note above stale readings: whose time they are and how old.
std::string stale_note_html(const CycleFacts &facts, const LiveFacts &live) {
  switch (shown(facts)) {
    case Shown::fresh:
      return "";
    case Shown::none:
      return "<p class=\"stale_note\">No readings: the UPS has not answered yet.</p>\n";
    case Shown::stale:
      break;
  }
  return "<p class=\"stale_note\">Stale readings, greyed: the UPS does not answer. They are "
         "from " +
         html_escape(local_time(facts.readings_time)) + ", " +
         age_text(readings_age(facts, live.now).value_or(0)) + " ago.</p>\n";
}

std::string gauge_html(const char *name, float percent, const char *bounds, Shown freshness) {
  if (freshness == Shown::none) {
    return std::string("<div class=\"gauge stale\"><span>") + name +
           "</span><meter min=\"0\" max=\"100\"></meter><span>no reading</span></div>\n";
  }
  const std::string value = metric_value(std::round(std::clamp(tidy(percent), 0.0, 999.0)));
  return std::string("<div class=\"gauge") + (freshness == Shown::stale ? " stale" : "") +
         "\"><span>" + name + "</span><meter min=\"0\" max=\"100\" " + bounds + " value=\"" +
         value + "\">" + value + " %</meter><span>" + value + " %" +
         (freshness == Shown::stale ? " (stale)" : "") + "</span></div>\n";
}

std::string row(const char *term, const std::string &value) {
  return std::string("<dt>") + term + "</dt><dd>" + html_escape(value) + "</dd>\n";
}

// A row of a reading, greyed and marked while it is stale.
std::string reading_row(const char *term, const std::string &value, Shown freshness) {
  switch (freshness) {
    case Shown::fresh:
      return row(term, value);
    case Shown::none:
      return std::string("<dt>") + term + "</dt><dd class=\"stale\">no reading</dd>\n";
    case Shown::stale:
      break;
  }
  return std::string("<dt>") + term + "</dt><dd class=\"stale\">" + html_escape(value) +
         " <small>(stale)</small></dd>\n";
}

// The thresholds in force, as "20 % charge, 5 min runtime"; empty when none.
std::string thresholds_text(const CycleFacts &facts) {
  std::string text;
  if (facts.shutdown_charge != 0) {
    text = std::to_string(facts.shutdown_charge) + " % charge";
  }
  if (facts.shutdown_runtime != 0) {
    text += (text.empty() ? "" : ", ") + minutes_text(facts.shutdown_runtime) + " runtime";
  }
  return text;
}

std::string details_html(const CycleFacts &facts) {
  const StatusSnapshot &v = facts.values;
  const Shown freshness = shown(facts);
  std::string html = "<dl>\n";
  if (const std::optional<long> &left = facts.shutdown_left) {
    html += row("Shutdown in", minutes_text(*left));
  }
  const auto told = [&](UpsLack lack) { return !ups_lacks(facts, lack); };
  if (told(lacks_runtime)) {
    html += reading_row(
        "Battery runtime",
        minutes_text(std::lround(std::clamp(tidy(facts.backuptime) * 60.0, 0.0, 1e9))), freshness);
  }
  html += reading_row("Input",
                      shortest(v.linevoltage) + " V" +
                          (told(lacks_frequency) ? ", " + shortest(v.freq) + " Hz" : ""),
                      freshness);
  std::string output;
  if (told(lacks_inverter_voltage)) {
    output = shortest(v.invvoltage) + " V";
  }
  if (told(lacks_load_current)) {
    output += (output.empty() ? "" : ", ") + shortest(v.loadcurrent) + " A";
  }
  if (!output.empty()) {
    html += reading_row("Output", output, freshness);
  }
  if (const std::optional<float> temperature = ups_temperature(facts)) {
    html += reading_row("Temperature",
                        shortest(*temperature) +
                            " \xC2\xB0"
                            "C",
                        freshness);
  }
  if (const std::string thresholds = thresholds_text(facts); !thresholds.empty()) {
    html += row("Shuts down on battery below", thresholds);
  }
  if (told(lacks_self_test)) {
    html += row("Last self-test", selftest_words(teststatus_of(facts)));
  }
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

// ---- Charts ------------------------------------------------------------------

constexpr double chart_width = 600;
constexpr double chart_height = 100;

struct ChartSeries {
  const char *key;    // data-series, for scripts and tests
  const char *title;  // the caption
  const char *unit;
  float HistoryReading::*field;
  double floor_max;  // the scale reaches at least this high
  unsigned lack;     // the UpsLack that leaves the chart out; 0 none
};

// The time axis: from the oldest sample to now, at least half a minute wide
// so the first seconds draw as a short line at the right, not across the
// chart.
struct TimeAxis {
  std::time_t from = 0;
  std::time_t to = 0;
  double x(std::time_t t) const {
    return chart_width * static_cast<double>(t - from) / static_cast<double>(to - from);
  }
};

TimeAxis time_axis(const std::vector<HistorySample> &samples, std::time_t now) {
  constexpr std::time_t shortest_span = 30;
  TimeAxis axis{now - shortest_span, now};
  if (!samples.empty()) {
    axis.to = std::max(now, samples.back().last);
    axis.from = std::min(samples.front().start, axis.to - shortest_span);
  }
  return axis;
}

std::string coordinate(double value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%.1f", value);
  return buffer;
}

// Bands over the intervals in which `held` holds, merged where they touch.
template <typename Held>
std::string bands(const std::vector<HistorySample> &samples, const TimeAxis &axis,
                  const char *css_class, Held held) {
  std::string svg;
  for (std::size_t i = 0; i < samples.size();) {
    if (!held(samples[i])) {
      ++i;
      continue;
    }
    const double from = axis.x(samples[i].start);
    while (i + 1 < samples.size() && held(samples[i + 1])) {
      ++i;
    }
    const double to = std::max(axis.x(samples[i].last + 1), from + 2);
    svg += "<rect class=\"" + std::string(css_class) + "\" x=\"" + coordinate(from) +
           "\" y=\"0\" width=\"" + coordinate(std::min(to, chart_width) - from) + "\" height=\"" +
           coordinate(chart_height) + "\"/>";
    ++i;
  }
  return svg;
}

// The top of the scale: the series' own, or room above the highest reading
// when one goes past it (an overload, a high line voltage).
double scale_max(const std::vector<HistorySample> &samples, const ChartSeries &series) {
  double highest = 0;
  for (const HistorySample &sample : samples) {
    if (sample.reading) {
      highest = std::max(highest, tidy((*sample.reading).*series.field));
    }
  }
  return highest > series.floor_max ? std::ceil(1.1 * highest) : series.floor_max;
}

// One line per run of samples with readings: a silence breaks the line
// rather than drawing the last values on through it.
std::string lines(const std::vector<HistorySample> &samples, const TimeAxis &axis,
                  const ChartSeries &series, double top) {
  std::string svg;
  std::vector<std::pair<double, double>> run;
  const auto flush = [&] {
    if (!run.empty() && run.back().first - run.front().first < 2) {  // a dash, so it shows
      run = {{run.front().first - 2, run.front().second},
             {run.back().first + 2, run.back().second}};
    }
    if (!run.empty()) {
      svg += "<polyline points=\"";
      for (const auto &[x, y] : run) {
        svg += coordinate(x) + "," + coordinate(y) + " ";
      }
      svg.back() = '"';
      svg += "/>";
    }
    run.clear();
  };
  for (const HistorySample &sample : samples) {
    if (!sample.reading) {
      flush();
      continue;
    }
    // A step across the interval: its reading held from its start to its end.
    const double value = std::clamp(tidy((*sample.reading).*series.field), 0.0, top);
    const double y = chart_height * (1 - value / top);
    run.emplace_back(axis.x(sample.start), y);
    run.emplace_back(axis.x(sample.last), y);
  }
  flush();
  return svg;
}

std::string clock_time(std::time_t t) {
  return local_time_text(t, "%H:%M %Z");
}

std::string chart_html(const std::vector<HistorySample> &samples, const TimeAxis &axis,
                       const ChartSeries &series, const std::optional<float> &now_value) {
  const double top = scale_max(samples, series);
  const std::string value = now_value ? shortest(*now_value) : std::string();
  std::string html = std::string("<figure data-series=\"") + series.key + "\" data-last=\"" +
                     value + "\" data-max=\"" + coordinate(top) + "\">\n<figcaption>" +
                     series.title + " <b>" +
                     (now_value ? value + " " + series.unit : "no reading") +
                     "</b></figcaption>\n<svg viewBox=\"0 0 600 100\" preserveAspectRatio=\"none\" "
                     "role=\"img\" aria-label=\"" +
                     series.title + " since " + clock_time(axis.from) + "\">";
  html += "<line class=\"grid\" x1=\"0\" y1=\"50\" x2=\"600\" y2=\"50\"/>";
  html += bands(samples, axis, "ob", [](const HistorySample &h) { return h.on_battery; });
  html += bands(samples, axis, "si", [](const HistorySample &h) { return h.silent; });
  html += lines(samples, axis, series, top);
  return html + "</svg>\n<div class=\"axis\"><span>" + html_escape(clock_time(axis.from)) +
         "</span><span>0 to " + std::to_string(std::lround(top)) + " " + series.unit +
         "</span><span>" + html_escape(clock_time(axis.to)) + "</span></div>\n</figure>\n";
}

std::string charts_html(const CycleFacts &facts, const LiveFacts &live) {
  static const ChartSeries series[] = {
      {"charge", "Battery charge", "%", &HistoryReading::charge, 100, 0},
      {"load", "Load", "%", &HistoryReading::load, 100, 0},
      {"input", "Input voltage", "V", &HistoryReading::input, 10, 0},
      {"runtime", "Battery runtime", "min", &HistoryReading::runtime, 1, lacks_runtime},
  };
  const std::vector<HistorySample> samples = facts.history.samples();
  const TimeAxis axis = time_axis(samples, live.now);
  // The charts end on the cycle's readings, unless the UPS is silent now.
  const std::optional<HistoryReading> now =
      samples.empty() || comm_lost(facts) || samples.back().last != facts.time
          ? std::nullopt
          : samples.back().reading;
  std::string html = "<section class=\"charts\">\n";
  for (const ChartSeries &s : series) {
    if ((facts.lacks & s.lack) != 0) {
      continue;
    }
    ChartSeries shown_series = s;
    if (s.field == &HistoryReading::charge && ups_lacks(facts, charge_estimated)) {
      shown_series.title = "Battery charge (estimate)";
    }
    html += chart_html(samples, axis, shown_series,
                       now ? std::optional<float>((*now).*s.field) : std::nullopt);
  }
  return html +
         "</section>\n<p class=\"legend\"><span class=\"key ob\"></span>on battery"
         "<span class=\"key si\"></span>the UPS silent</p>\n";
}
}  // namespace

const std::string &content_security_policy() {
  static const std::string *const policy = new std::string([] {
    if (sodium_init() < 0) {  // the page without its updates, then
      return std::string("default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'");
    }
    unsigned char digest[crypto_hash_sha256_BYTES];
    const std::string &script = page_script();
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char *>(script.data()),
                       script.size());
    char base64[sodium_base64_ENCODED_LEN(sizeof digest, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(base64, sizeof base64, digest, sizeof digest, sodium_base64_VARIANT_ORIGINAL);
    return std::string("default-src 'none'; style-src 'unsafe-inline'; script-src 'sha256-") +
           base64 + "'; connect-src 'self'; frame-ancestors 'none'";
  }());
  return *policy;
}

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
  measurement_metrics(out, facts, live);
  state_metrics(out, facts, live);
  schedule_metrics(out, facts);
  daemon_metrics(out, facts, live);
  return out.take();
}

std::string render_status_json(const CycleFacts &facts, const LiveFacts &live) {
  const std::optional<long> &left = facts.shutdown_left;
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
      {"last_selftest",
       ups_lacks(facts, lacks_self_test) ? json(nullptr) : json(teststatus_of(facts))},
      {"next_shutdown", next_shutdown_object(facts)},
      {"next_selftest", optional_time(facts.next_self_test)},
      {"events_total", events_object(facts)},
      {"recent_events", recent_array(facts)},
      {"cycle_duration_seconds", facts.cycle_seconds},
  };
  add_measurements(object, facts, live);
  return object.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string render_status_page(const CycleFacts &facts, const LiveFacts &live) {
  const std::string word = state_word(facts);
  const std::string heading = state_heading(word);
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<noscript><meta http-equiv=\"refresh\" content=\"" +
      std::to_string(status_page_refresh_seconds) + "\"></noscript>\n<title>UPS: " + heading +
      "</title>\n<style>" + page_style + "</style>\n</head>\n<body>\n<main>\n<h1 class=\"" + word +
      "\">" + heading + "</h1>\n" + subtitle_html(facts);
  const Shown freshness = shown(facts);
  html += stale_note_html(facts, live);
  // An estimate from the battery voltage says so: under load it is far off.
  html += gauge_html(ups_lacks(facts, charge_estimated) ? "Battery (estimate)" : "Battery",
                     facts.values.percentbatt, "low=\"30\" high=\"60\" optimum=\"100\"", freshness);
  html += gauge_html("Load", facts.values.percentloadpower, "low=\"60\" high=\"85\" optimum=\"0\"",
                     freshness);
  html += charts_html(facts, live);
  html += details_html(facts);
  html += "<h2>Last events</h2>\n" + events_html(facts);
  html += "<footer>tornax " + std::string(version_text) + " \xC2\xB7 updated " +
          (facts.cycled ? local_time(facts.time) : std::string("never")) + " \xC2\xB7 " +
          std::to_string(live.status_clients) + " status clients</footer>\n";
  return html + "</main>\n<script>" + page_script() + "</script>\n</body>\n</html>\n";
}

}  // namespace tornax
