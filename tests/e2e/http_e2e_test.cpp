// The real daemon's HTTP endpoint in the sandbox, read by the clients
// administrators use: curl with jq for /status, promtool for /metrics and
// headless Chromium for the page, which is looked at in four states (on
// mains, on battery, with the UPS silent, shutting down): its screenshots
// must show the charts drawn, and the values they end on must be the JSON's.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/http_client.h"
#include "tests/support/sandboxed_daemon.h"

namespace tornax::test {
namespace {

using namespace std::chrono_literals;

// The page's colours: the charts' line, and the bands of an outage and of a
// silence (their fills over the white of a chart).
constexpr unsigned int line_colour = 0x1565c0;
constexpr unsigned int battery_band = 0xf3d0d0;
constexpr unsigned int silent_band = 0xd0d0d0;
// Pixels of a line's colour or near it (its edges blend with the white); a
// line across a quarter of one chart alone is a few hundred.
constexpr int line_tolerance = 48;
constexpr long drawn = 200;

class HttpE2eTest : public SandboxedDaemonTest {
 protected:
  void SetUp() override {
    SandboxedDaemonTest::SetUp();
    // Holds the shutdown until the test has looked at the page (for two
    // minutes at most).
    home.dir.write("shutdown.sh",
                   "#!/bin/sh\nn=0\nwhile [ ! -e " + home.file("release") +
                       " ] && [ $n -lt 600 ]; do sleep 0.2; n=$((n + 1)); done\n",
                   0755);
    ASSERT_NO_FATAL_FAILURE(
        start_configured("HTTP_PORT " + std::to_string(port) +
                         "\nLISTEN 127.0.0.1\nUPS_LOCATION \"Rack 3 & <B>\"\n"));
  }
  void TearDown() override {
    home.dir.write("release", "");
    if (daemon > 0) {
      stop_daemon();
    }
    SandboxedDaemonTest::TearDown();
  }
  std::string status() { return test::curl(port, "/status").body; }
  // Waits until /status, in its documented form, reports `state`.
  bool wait_for_state(const std::string &state) {
    return wait_until([&] {
      const std::string json = status();
      return test::check_status_form(json).status == 0 &&
             test::run_command({"jq", "-r", ".state"}, json).output == state + "\n";
    });
  }
  // The page as Chromium builds it; its screenshot goes to home/<name>.png.
  std::string page(const std::string &name, const std::vector<std::string> &flags = {}) {
    const test::CommandResult dom =
        test::chromium_page("http://127.0.0.1:" + std::to_string(port) + "/", shot(name), flags);
    EXPECT_EQ(dom.status, 0);
    return dom.output;
  }
  std::string shot(const std::string &name) const { return home.file(name + ".png"); }
  // Lets the charts gain a closed interval or two.
  void let_time_pass() { std::this_thread::sleep_for(11s); }
};

// The value a chart ends on (data-last), empty when it shows no reading.
std::string chart_value(const std::string &dom, const std::string &series) {
  const std::string key = "data-series=\"" + series + "\" data-last=\"";
  const std::size_t at = dom.find(key);
  if (at == std::string::npos) {
    return "absent";
  }
  const std::size_t from = at + key.size();
  return dom.substr(from, dom.find('"', from) - from);
}

// The charts end on the readings /status gives; the battery drains a little
// between the two reads, by far less than the margins.
void expect_charts_match(const std::string &dom, const std::string &json) {
  std::istringstream values(test::run_command({"jq", "-r",
                                               "[.battery_charge_ratio * 100, .ups_load_ratio * "
                                               "100, .input_voltage_volts, "
                                               ".battery_runtime_seconds / 60] | @tsv"},
                                              json)
                                .output);
  const std::pair<const char *, double> margins[] = {
      {"charge", 1.0}, {"load", 0.01}, {"input", 0.01}, {"runtime", 0.5}};
  for (const auto &[series, margin] : margins) {
    double expected = 0;
    values >> expected;
    const std::string shown = chart_value(dom, series);
    ASSERT_FALSE(shown.empty() || shown == "absent") << series << ": " << shown;
    EXPECT_NEAR(std::stod(shown), expected, margin) << series << "\n" << json;
  }
}

TEST_F(HttpE2eTest, PageMetricsAndStatusOnMainsOnBatterySilentAndShuttingDown) {
  ASSERT_TRUE(wait_for_state("on_line")) << status();
  const test::CommandResult lint = test::promtool_check(test::curl(port, "/metrics").body);
  EXPECT_EQ(lint.status, 0) << lint.output;
  EXPECT_EQ(lint.output, "");
  let_time_pass();

  // On mains, with the page's script given time to update it twice in place.
  const std::string mains = page("mains", {"--virtual-time-budget=11000"});
  expect_charts_match(mains, status());
  EXPECT_NE(mains.find(">On line</h1>"), std::string::npos) << mains;
  EXPECT_NE(mains.find("Rack 3 &amp; &lt;B&gt;"), std::string::npos) << mains;
  EXPECT_NE(mains.find("None since the daemon started."), std::string::npos) << mains;
  EXPECT_NE(mains.find("<dd>no result yet (NO)</dd>"), std::string::npos) << mains;
  EXPECT_NE(mains.find("<body data-updates=\""), std::string::npos) << mains;
  EXPECT_GT(test::count_pixels(shot("mains"), line_colour, line_tolerance), drawn);
  EXPECT_EQ(test::count_pixels(shot("mains"), battery_band), 0);
  // Without JavaScript (the page as served, its script taken out; Chromium
  // cannot dump or shoot a page with scripts off) the table and the charts
  // are all there.
  std::string served = test::curl(port, "/").body;
  const std::size_t script = served.find("<script>");
  ASSERT_NE(script, std::string::npos);
  served.erase(script, served.find("</script>") + 9 - script);
  const std::string plain =
      test::chromium_page("file://" + home.dir.write("plain.html", served), shot("plain")).output;
  EXPECT_NE(plain.find("<dt>Battery runtime</dt>"), std::string::npos) << plain;
  EXPECT_GT(test::count_pixels(shot("plain"), line_colour, line_tolerance), drawn);

  sim.set_mains(false);
  ASSERT_TRUE(wait_for_state("on_battery")) << status();
  let_time_pass();
  const std::string battery = page("battery");
  expect_charts_match(battery, status());
  EXPECT_NE(battery.find(">On battery</h1>"), std::string::npos) << battery;
  EXPECT_NE(battery.find("Power fail detected"), std::string::npos) << battery;
  EXPECT_GT(test::count_pixels(shot("battery"), line_colour, line_tolerance), drawn);
  EXPECT_GT(test::count_pixels(shot("battery"), battery_band), drawn);
  const std::string metrics = test::curl(port, "/metrics").body;
  EXPECT_EQ(test::promtool_check(metrics).output, "");
  // Without BACKUPTIME the time left is the UPS's backup time, and every
  // surface tells it: the status line's minutes are the JSON's seconds.
  EXPECT_NE(battery.find("<dt>Shutdown in</dt>"), std::string::npos) << battery;
  EXPECT_NE(test::metric_samples(metrics).at("tornax_shutdown_remaining_seconds"), "+Inf");
  const std::string on_battery = status();
  EXPECT_EQ(test::run_command({"jq", "-r",
                               "[.flags.shutdown_pending, .shutdown_remaining_seconds > 0, "
                               "(.shutdown_remaining_seconds / 60 | floor) == .remain_minutes] "
                               "| @tsv"},
                              on_battery)
                .output,
            "true\ttrue\ttrue\n")
      << on_battery;

  // Silent on mains (silent on battery would shut the host down): the lines
  // break off, a grey band marks the silence, and no chart claims a reading.
  sim.set_mains(true);
  ASSERT_TRUE(wait_for_state("on_line")) << status();
  sim.set_silent(true);
  ASSERT_TRUE(wait_for_state("comm_lost")) << status();
  const std::string silent = page("silent");
  EXPECT_NE(silent.find(">No contact with the UPS</h1>"), std::string::npos) << silent;
  EXPECT_EQ(chart_value(silent, "charge"), "") << silent;
  // The last readings are greyed and marked with their age, not shown as
  // live, and /metrics leaves them out: no 0 V for a rule to fire on.
  EXPECT_NE(silent.find("<p class=\"stale_note\">Stale readings"), std::string::npos) << silent;
  EXPECT_NE(silent.find("<div class=\"gauge stale\">"), std::string::npos) << silent;
  EXPECT_NE(silent.find(" V, 50 Hz <small>(stale)</small>"), std::string::npos) << silent;
  const std::string silent_metrics = test::curl(port, "/metrics").body;
  EXPECT_EQ(test::promtool_check(silent_metrics).output, "");
  const auto silent_samples = test::metric_samples(silent_metrics);
  EXPECT_EQ(silent_samples.count("tornax_input_voltage_volts"), 0u) << silent_metrics;
  EXPECT_NE(silent_samples.at("tornax_readings_age_seconds"), "0") << silent_metrics;
  EXPECT_EQ(test::run_command({"jq", "-r", "[.readings.stale, .input_voltage_volts > 100] | @tsv"},
                              status())
                .output,
            "true\ttrue\n");
  EXPECT_GT(test::count_pixels(shot("silent"), silent_band), drawn);
  EXPECT_GT(test::count_pixels(shot("silent"), line_colour, line_tolerance), drawn);
  sim.set_silent(false);
  ASSERT_TRUE(wait_for_state("on_line")) << status();

  // Shutting down: the shutdown script holds the sequence meanwhile.
  sim.set_mains(false);
  sim.set_low_battery(true);
  ASSERT_TRUE(wait_for_state("shutting_down")) << status();
  const std::string down = page("down");
  EXPECT_NE(down.find(">Shutting down</h1>"), std::string::npos) << down;
  EXPECT_NE(down.find("<dt>Shutdown in</dt><dd>0 min</dd>"), std::string::npos) << down;
  EXPECT_GT(test::count_pixels(shot("down"), line_colour, line_tolerance), drawn);
  home.dir.write("release", "");
  EXPECT_EQ(run->wait(std::chrono::seconds(150)), halted) << run->stderr_text();
  daemon = 0;
}

}  // namespace
}  // namespace tornax::test
