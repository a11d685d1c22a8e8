#include "daemon/net/http_render.h"

#include <gtest/gtest.h>

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "daemon/net/http_server.h"
#include "daemon/net/nut_variables.h"
#include "daemon/ups/classic.h"
#include "tests/support/daemon_state.h"
#include "tests/support/http_client.h"

namespace tornax {
namespace {

using nlohmann::json;

CycleFacts on_line_facts() {
  CycleFacts facts;
  facts.cycled = true;
  facts.time = 1'800'000'000;
  facts.start_time = 1'799'999'000;
  facts.readings_time = facts.time;
  facts.values.linevoltage = 230.2f;
  facts.values.invvoltage = 229.9f;
  facts.values.percentbatt = 95.0f;
  facts.values.percentloadpower = 23.0f;
  facts.values.freq = 50.0f;
  facts.values.loadcurrent = 1.3f;
  facts.values.remain_time = 40;
  std::strcpy(facts.values.test_result, "OK");
  facts.backuptime = 40.5f;
  facts.linenormal = 230.0f;
  facts.ups_version = "TORNAX  Kyrel 1000 ";
  facts.location = "Server room";
  facts.cycle_seconds = 0.125;
  return facts;
}

// Three minutes into an outage with a five-minute BACKUPTIME.
CycleFacts on_battery_facts() {
  CycleFacts facts = on_line_facts();
  facts.status[POWERFAIL] = 180;
  facts.powerfail_timeout = 300;
  facts.powerfail_left = 120;
  facts.shutdown_left = shutdown_remaining_seconds(facts);
  facts.values.ext_status = 0x02;
  facts.events_total[POWERFAIL] = 1;
  facts.recent.push_back({facts.time - 179, POWERFAIL});
  return facts;
}

TEST(HttpTextTest, OutsideTextsBecomeValidUtf8AndAreEscapedForEachFormat) {
  const std::string fffd = "\xEF\xBF\xBD";
  const struct {
    std::string in, clean;
  } cases[] = {
      {"Kyrel 1000", "Kyrel 1000"},
      {"Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x8B", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x8B"},
      {"a\nb\r\x7F\x01", "a" + fffd + "b" + fffd + fffd + fffd},
      {"\xC0\xAF", fffd + fffd},                        // overlong '/'
      {"\xED\xA0\x80", fffd + fffd + fffd},             // a surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // past U+10FFFF
      {"\xC2\x85", fffd + fffd},                        // a C1 control
      {"cut \xE2\x82", "cut " + fffd + fffd},           // a sequence cut short
  };
  for (const auto &c : cases) {
    EXPECT_EQ(clean_text(c.in), c.clean) << c.in;
  }
  EXPECT_EQ(prometheus_label("a\"b\\c\nd"), "a\\\"b\\\\c" + fffd + "d");
  EXPECT_EQ(html_escape("<a href='x'>&\"</a>"), "&lt;a href=&#39;x&#39;&gt;&amp;&quot;&lt;/a&gt;");
}

// powerfail_left is the cycle's power-fail time left, whatever rule gave it
// (BACKUPTIME, or the UPS's backup time without it): it counts on battery.
TEST(HttpTextTest, ShutdownPendingAndTimeLeft) {
  const struct {
    const char *what;
    unsigned int powerfail_count;
    long powerfail_left, schedule_timer;
    std::optional<long> left;
    unsigned lacks = 0;
  } cases[] = {
      {"on line", 0, 1800, 0, std::nullopt},
      {"on battery", 180, 120, 0, 120},
      {"on battery without BACKUPTIME: the UPS's backup time", 50, 1800, 0, 1800},
      {"scheduled countdown", 0, 1800, 30, 570},
      {"both: the nearer one", 250, 50, 30, 50},
      // No BACKUPTIME and no runtime from the UPS: no end of the outage known.
      {"on battery, no runtime", 50, 0, 0, std::nullopt, lacks_runtime},
      {"scheduled countdown, no runtime", 50, 0, 30, 570, lacks_runtime},
  };
  for (const auto &c : cases) {
    CycleFacts facts = on_line_facts();
    facts.lacks = c.lacks;
    facts.status[POWERFAIL] = c.powerfail_count;
    facts.powerfail_left = c.powerfail_left;
    facts.values.schedule_down_timer = c.schedule_timer;
    EXPECT_EQ(shutdown_remaining_seconds(facts), c.left) << c.what;
  }
  CycleFacts due = on_line_facts();
  due.status[POWERFAIL_DOWN] = 1;
  EXPECT_EQ(shutdown_remaining_seconds(due), 0);
}

TEST(HttpMetricsTest, FixedNamesUnitsAndValues) {
  const LiveFacts live{1'800'000'000, 3, false};
  const auto samples = test::metric_samples(render_metrics(on_battery_facts(), live));
  const std::pair<const char *, const char *> expected[] = {
      {"tornax_input_voltage_volts", "230.2"},
      {"tornax_output_voltage_volts", "229.9"},
      {"tornax_input_frequency_hertz", "50"},
      {"tornax_output_current_amperes", "1.3"},
      {"tornax_battery_charge_ratio", "0.95"},
      {"tornax_ups_load_ratio", "0.23"},
      {"tornax_battery_runtime_seconds", "2430"},
      {"tornax_shutdown_remaining_seconds", "120"},
      {"tornax_ups_status{flag=\"on_battery\"}", "1"},
      {"tornax_ups_status{flag=\"low_battery\"}", "0"},
      {"tornax_ups_status{flag=\"comm_lost\"}", "0"},
      {"tornax_ups_status{flag=\"self_test\"}", "0"},
      {"tornax_ups_status{flag=\"shutdown_pending\"}", "1"},
      {"tornax_ups_comm_up", "1"},
      {"tornax_events_total{event=\"powerfail\"}", "1"},
      {"tornax_events_total{event=\"overload\"}", "0"},
      {"tornax_status_clients", "3"},
      {"tornax_cycle_duration_seconds", "0.125"},
      {"tornax_last_selftest_info{result=\"OK\"}", "1"},
      {"tornax_ups_info{model=\"TORNAX  Kyrel 1000\",mfr=\"\",location=\"Server room\"}", "1"},
      {"tornax_build_info{version=\"1.40\"}", "1"},
      {"tornax_start_time_seconds", "1799999000"},
      {"tornax_next_shutdown_timestamp_seconds", "+Inf"},
  };
  for (const auto &[name, value] : expected) {
    ASSERT_TRUE(samples.count(name)) << name;
    EXPECT_EQ(samples.at(name), value) << name;
  }
  const auto quiet = test::metric_samples(render_metrics(CycleFacts{}, live));
  EXPECT_EQ(quiet.at("tornax_ups_comm_up"), "0");  // before the first poll
  EXPECT_EQ(quiet.at("tornax_shutdown_remaining_seconds"), "+Inf");
}

// What the UPS tells only sometimes, and the thresholds only when set: there
// with their values, or left out (null in the JSON), never 0.
TEST(HttpMetricsTest, OptionalReadingsAndThresholds) {
  CycleFacts facts = on_line_facts();
  const auto metrics = [&] { return test::metric_samples(render_metrics(facts, {facts.time})); };
  const auto status = [&] { return json::parse(render_status_json(facts, {facts.time})); };
  const char *const optional_names[] = {"tornax_ups_temperature_celsius",
                                        "tornax_battery_charge_low_ratio",
                                        "tornax_battery_runtime_low_seconds"};
  for (const char *name : optional_names) {
    EXPECT_EQ(metrics().count(name), 0u) << name;
  }
  EXPECT_EQ(status()["temperature_celsius"], nullptr);
  EXPECT_EQ(status()["ups"]["mfr"], nullptr);
  EXPECT_EQ(status()["battery_charge_low_ratio"], nullptr);

  facts.values.temp = 31.5f;
  facts.shutdown_charge = 20;
  facts.shutdown_runtime = 300;
  facts.ups_mfr = "Maker \"A\" ";
  const auto samples = metrics();
  EXPECT_EQ(samples.at("tornax_ups_temperature_celsius"), "31.5");
  EXPECT_EQ(samples.at("tornax_battery_charge_low_ratio"), "0.2");
  EXPECT_EQ(samples.at("tornax_battery_runtime_low_seconds"), "300");
  EXPECT_TRUE(samples.count(
      "tornax_ups_info{model=\"TORNAX  Kyrel 1000\",mfr=\"Maker \\\"A\\\"\",location=\"Server "
      "room\"}"));
  EXPECT_EQ(status()["temperature_celsius"], 31.5);
  EXPECT_EQ(status()["ups"]["mfr"], "Maker \"A\"");
  EXPECT_EQ(status()["battery_charge_low_ratio"], 0.2);
  EXPECT_EQ(status()["battery_runtime_low_seconds"], 300);
  const std::string page = render_status_page(facts, {facts.time});
  EXPECT_NE(page.find("<dt>Temperature</dt><dd>31.5 \xC2\xB0"
                      "C</dd>"),
            std::string::npos);
  EXPECT_NE(page.find("<dd>20 % charge, 5 min runtime</dd>"), std::string::npos);
}

// What the driver in use lacks, as its publication tells it, is left out
// of every surface: no network UPS variable (LIST VAR and GET VAR share the
// list), no metric, null in the JSON, no text on the page; the same facts
// with a driver that tells it show it.
class SurfacesLackTest : public test::DaemonStateTest {};

unsigned driver_lacks = 0;

TEST_F(SurfacesLackTest, WhatTheDriverLacksIsLeftOutEverywhere) {
  UpsDriver lacking = classic_driver();
  lacking.lacks = [] { return driver_lacks; };
  use_ups_driver(lacking);
  const struct {
    UpsLack lack;
    const char *variable, *metric, *json_key, *page_text;
  } cases[] = {
      {lacks_runtime, "battery.runtime", "tornax_battery_runtime_seconds",
       "battery_runtime_seconds", "data-series=\"runtime\""},
      {lacks_self_test, "ups.test.result", "tornax_last_selftest_info{result=\"OK\"}",
       "last_selftest", "<dt>Last self-test</dt>"},
      {lacks_temperature, "ups.temperature", "tornax_ups_temperature_celsius",
       "temperature_celsius", "<dt>Temperature</dt>"},
      {lacks_load_current, "output.current", "tornax_output_current_amperes",
       "output_current_amperes", "<dd>229.9 V, 1.3 A</dd>"},
      {lacks_inverter_voltage, "output.voltage", "tornax_output_voltage_volts",
       "output_voltage_volts", "<dd>229.9 V, 1.3 A</dd>"},
      {lacks_frequency, "input.frequency", "tornax_input_frequency_hertz", "input_frequency_hertz",
       "<dd>230.2 V, 50 Hz</dd>"},
  };
  for (const auto &c : cases) {
    for (const bool lacked : {false, true}) {
      driver_lacks = lacked ? unsigned{c.lack} : 0u;
      publish_settings();
      CycleFacts facts = on_line_facts();
      facts.values.temp = 31.5f;
      facts.history.add(facts.time, HistoryReading{95, 23, 230, 40}, false);
      facts.lacks = latest_cycle_facts()->lacks;
      const std::vector<NutVariable> variables = nut_variables(facts, false);
      const auto metrics = test::metric_samples(render_metrics(facts, {facts.time}));
      const json status = json::parse(render_status_json(facts, {facts.time}));
      const std::string page = render_status_page(facts, {facts.time});
      const std::string what = std::string(c.variable) + (lacked ? " lacked" : " told");
      EXPECT_EQ(std::count_if(variables.begin(), variables.end(),
                              [&](const NutVariable &v) { return v.name == c.variable; }),
                lacked ? 0 : 1)
          << what;
      EXPECT_EQ(metrics.count(c.metric), lacked ? 0u : 1u) << what;
      EXPECT_EQ(status.at(c.json_key).is_null(), lacked) << what;
      EXPECT_EQ(page.find(c.page_text) == std::string::npos, lacked) << what;
      // What it does not lack stays.
      EXPECT_EQ(metrics.count("tornax_input_voltage_volts"), 1u) << what;
      EXPECT_EQ(status.at("battery_charge_estimated"), false) << what;
    }
  }

  // An estimated charge is shown, and said to be one.
  driver_lacks = charge_estimated;
  publish_settings();
  CycleFacts facts = on_line_facts();
  facts.lacks = latest_cycle_facts()->lacks;
  const json status = json::parse(render_status_json(facts, {facts.time}));
  EXPECT_EQ(status.at("battery_charge_ratio"), 0.95);
  EXPECT_EQ(status.at("battery_charge_estimated"), true);
  const std::string page = render_status_page(facts, {facts.time});
  EXPECT_NE(page.find("<span>Battery (estimate)</span>"), std::string::npos);
  EXPECT_NE(page.find("Battery charge (estimate) <b>"), std::string::npos);
  for (const NutVariable &v : nut_variables(facts, false)) {
    if (v.name == "battery.charge") {
      EXPECT_STREQ(v.description,
                   "Battery charge (percent of full, estimated from the battery voltage)");
    }
  }
}

// Silent for 15 s: no reading of now is shown as one. /metrics leaves the
// readings out and tells their age, the JSON and the page mark them stale;
// before the UPS ever answered there are none at all.
TEST(HttpStatusTest, StaleReadingsAreLeftOutOrMarkedWithTheirAge) {
  CycleFacts silent = on_line_facts();
  silent.status[COMM_ERROR] = 15;
  silent.time += 15;
  const LiveFacts live{silent.time + 1};
  const auto samples = test::metric_samples(render_metrics(silent, live));
  EXPECT_EQ(samples.count("tornax_input_voltage_volts"), 0u);
  EXPECT_EQ(samples.count("tornax_battery_charge_ratio"), 0u);
  EXPECT_EQ(samples.at("tornax_readings_age_seconds"), "16");
  const json status = json::parse(render_status_json(silent, live));
  EXPECT_EQ(status["input_voltage_volts"], 230.2);
  EXPECT_EQ(status["readings"],
            json({{"stale", true}, {"time", silent.readings_time}, {"age_seconds", 16}}));
  const std::string page = render_status_page(silent, live);
  EXPECT_NE(page.find("<p class=\"stale_note\">"), std::string::npos) << page;
  EXPECT_NE(page.find(", 16 s ago.</p>"), std::string::npos) << page;
  EXPECT_NE(page.find("<div class=\"gauge stale\">"), std::string::npos) << page;
  EXPECT_NE(page.find("<dd class=\"stale\">230.2 V, 50 Hz <small>(stale)</small></dd>"),
            std::string::npos)
      << page;

  const CycleFacts fresh = on_line_facts();
  EXPECT_EQ(
      test::metric_samples(render_metrics(fresh, {fresh.time})).at("tornax_readings_age_seconds"),
      "0");
  const std::string fresh_page = render_status_page(fresh, {fresh.time});
  EXPECT_EQ(fresh_page.find("class=\"stale"), std::string::npos);
  EXPECT_EQ(fresh_page.find("(stale)"), std::string::npos);

  CycleFacts never = CycleFacts{};
  never.cycled = true;
  never.status[COMM_ERROR] = 3;
  EXPECT_EQ(test::metric_samples(render_metrics(never, live)).at("tornax_readings_age_seconds"),
            "+Inf");
  const json none = json::parse(render_status_json(never, live));
  EXPECT_EQ(none["input_voltage_volts"], nullptr);
  EXPECT_EQ(none["readings"]["age_seconds"], nullptr);
  EXPECT_NE(render_status_page(never, live).find("<dd class=\"stale\">no reading</dd>"),
            std::string::npos);
}

TEST(HttpStatusTest, JsonFollowsItsDocumentedForm) {
  CycleFacts facts = on_battery_facts();
  facts.next_self_test = facts.time + 3600;
  facts.ups_version = "bad \xFF\"\n";
  const json status = json::parse(render_status_json(facts, {facts.time, 0, false}));
  EXPECT_EQ(status["state"], "on_battery");
  EXPECT_EQ(status["flags"]["on_battery"], true);
  EXPECT_EQ(status["flags"]["shutdown_pending"], true);
  EXPECT_EQ(status["shutdown_remaining_seconds"], 120);
  EXPECT_EQ(status["input_voltage_volts"], 230.2);
  EXPECT_EQ(status["battery_charge_ratio"], 0.95);
  EXPECT_EQ(status["ups"]["model"], "bad \xEF\xBF\xBD\"\xEF\xBF\xBD");
  EXPECT_EQ(status["ups"]["location"], "Server room");
  EXPECT_EQ(status["next_shutdown"], nullptr);
  EXPECT_EQ(status["next_selftest"], facts.time + 3600);
  EXPECT_EQ(status["events_total"]["powerfail"], 1);
  EXPECT_EQ(status["recent_events"][0]["text"], "Power fail detected");
  EXPECT_EQ(status["daemon"]["version"], "1.40");

  const json starting = json::parse(render_status_json(CycleFacts{}, {}));
  EXPECT_EQ(starting["state"], "starting");
  EXPECT_EQ(starting["updated"], nullptr);
  EXPECT_EQ(starting["ups"]["location"], nullptr);
}

TEST(HttpPageTest, StateAtAGlanceAndEscapedTexts) {
  CycleFacts facts = on_battery_facts();
  facts.location = "<script>alert(1)</script>";
  const std::string page = render_status_page(facts, {facts.time, 0, false});
  EXPECT_NE(page.find("<h1 class=\"on_battery\">On battery</h1>"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_EQ(page.find("<script>"), page.rfind("<script>"));  // the page's own alone
  EXPECT_NE(page.find("<noscript><meta http-equiv=\"refresh\" content=\"5\"></noscript>"),
            std::string::npos);
  EXPECT_NE(page.find("Power fail detected"), std::string::npos);
  EXPECT_NE(page.find("<dt>Shutdown in</dt><dd>2 min</dd>"), std::string::npos);
  EXPECT_EQ(page.find("://"), std::string::npos);  // nothing fetched from elsewhere
  EXPECT_EQ(page.find("src="), std::string::npos);
  EXPECT_NE(render_status_page(on_line_facts(), {}).find(">On line</h1>"), std::string::npos);
}

// The browser runs the page's script only if the policy names its hash: a
// script changed without it would leave the page never updating.
TEST(HttpPageTest, ThePolicyAllowsThePagesScriptAndNothingElse) {
  const std::string page = render_status_page(on_line_facts(), {});
  const std::size_t from = page.find("<script>") + 8;
  const std::string script = page.substr(from, page.find("</script>") - from);
  unsigned char digest[crypto_hash_sha256_BYTES];
  ASSERT_GE(sodium_init(), 0);
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char *>(script.data()), script.size());
  char base64[sodium_base64_ENCODED_LEN(sizeof digest, sodium_base64_VARIANT_ORIGINAL)];
  sodium_bin2base64(base64, sizeof base64, digest, sizeof digest, sodium_base64_VARIANT_ORIGINAL);
  EXPECT_EQ(content_security_policy(),
            std::string("default-src 'none'; style-src 'unsafe-inline'; script-src 'sha256-") +
                base64 + "'; connect-src 'self'; frame-ancestors 'none'");
}

// Readings every second for a minute on mains, half a minute on battery,
// then a silence of a quarter minute: the charts' steps, bands and gaps.
TEST(HttpPageTest, ChartsMarkOutagesAndBreakOffWhereTheUpsIsSilent) {
  CycleFacts facts = on_line_facts();
  const std::time_t start = facts.time;
  for (int s = 0; s < 105; ++s) {
    const bool silent = s >= 90;
    facts.history.add(
        start + s,
        silent ? std::nullopt : std::optional<HistoryReading>({100.0f - s / 10.0f, 40, 230, 30}),
        s >= 60 && s < 90);
  }
  facts.time = start + 104;
  facts.status[COMM_ERROR] = 15;
  const std::string page = render_status_page(facts, {facts.time, 0, false});
  // The time axis spans the 104 s: an interval of 10 s is 57.7 units wide.
  const std::size_t charge = page.find("data-series=\"charge\" data-last=\"\"");
  ASSERT_NE(charge, std::string::npos) << page;
  const std::string svg = page.substr(page.find("<svg", charge),
                                      page.find("</svg>", charge) - page.find("<svg", charge));
  EXPECT_NE(svg.find("<rect class=\"ob\" x=\"346.2\" y=\"0\" width=\"173.1\""), std::string::npos)
      << svg;
  EXPECT_NE(svg.find("<rect class=\"si\" x=\"519.2\" y=\"0\" width=\"80.8\""), std::string::npos)
      << svg;
  // One line, in steps, from the first reading to the last before the
  // silence; and no value claimed for now.
  EXPECT_EQ(svg.find("<polyline"), svg.rfind("<polyline")) << svg;
  EXPECT_NE(svg.find("<polyline points=\"0.0,0.9 51.9,0.9 57.7,1.9 "), std::string::npos) << svg;
  EXPECT_NE(svg.find(" 513.5,8.9\"/>"), std::string::npos) << svg;
  EXPECT_NE(page.find("<b>no reading</b>"), std::string::npos);
  EXPECT_NE(page.find("<dd>passed (OK)</dd>"), std::string::npos);
}

TEST(HistoryTest, IntervalsCloseEveryTenSecondsAndTheOldestGo) {
  History history;
  for (std::time_t t = 0; t < 10 * static_cast<std::time_t>(history_capacity) + 5; ++t) {
    history.add(t, HistoryReading{static_cast<float>(t), 0, 0, 0}, t == 10);
  }
  const std::vector<HistorySample> samples = history.samples();
  ASSERT_EQ(samples.size(), history_capacity);
  EXPECT_EQ(samples.front().start, 10);  // the first interval dropped
  EXPECT_EQ(samples.front().last, 19);
  EXPECT_TRUE(samples.front().on_battery);  // one second on battery marks it
  EXPECT_FALSE(samples[1].on_battery);
  EXPECT_EQ(samples.back().start, 10 * static_cast<std::time_t>(history_capacity));
  EXPECT_EQ(samples.back().reading->charge, samples.back().last);  // the latest reading
  // A silence keeps the interval's last reading and marks it.
  history.add(samples.back().last + 1, std::nullopt, false);
  EXPECT_TRUE(history.samples().back().silent);
  EXPECT_EQ(history.samples().back().reading->charge, samples.back().last);
}

TEST(HttpAnswerTest, MethodsAndPaths) {
  const struct {
    const char *method, *path;
    unsigned int status;
    std::string content_type;
  } cases[] = {
      {"GET", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8"},
      {"HEAD", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8"},
      {"GET", "/status", 200, "application/json"},
      {"GET", "/", 200, "text/html; charset=utf-8"},
      {"GET", "/metrics/", 404, "text/plain; charset=utf-8"},
      {"GET", "/../etc/passwd", 404, "text/plain; charset=utf-8"},
      {"GET", "", 404, "text/plain; charset=utf-8"},
      {"POST", "/status", 405, "text/plain; charset=utf-8"},
      {"get", "/status", 405, "text/plain; charset=utf-8"},
      {"OPTIONS", "*", 405, "text/plain; charset=utf-8"},
  };
  for (const auto &c : cases) {
    const HttpAnswer answer = answer_request(c.method, c.path, on_line_facts(), {});
    EXPECT_EQ(answer.status, c.status) << c.method << " " << c.path;
    EXPECT_EQ(answer.content_type, c.content_type) << c.method << " " << c.path;
    EXPECT_EQ(answer.allow_header, c.status == 405);
  }
}

}  // namespace
}  // namespace tornax
