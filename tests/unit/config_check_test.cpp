#include "daemon/config/config_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/config/config_json.h"
#include "daemon/config/config_read.h"
#include "daemon/core/util.h"
#include "daemon/shutdown/host.h"
#include "daemon/ups/classic.h"
#include "tests/kit/files.h"
#include "tests/support/daemon_state.h"
#include "tornax.h"

namespace tornax {
namespace {

// Monday 2 March 2026, 12:00 UTC.
constexpr std::time_t monday_noon = 1772452800;

// What HOST_SHUTDOWN auto comes to on this machine.
std::string auto_rows() {
  const bool init = systemd_runs_as_init();
  return std::string("Host shutdown: ") +
         (init ? "init (HOST_SHUTDOWN auto: systemd runs as init): an orderly power-off asked "
                 "of systemd, the UPS switched off by the system-shutdown hook\n"
               : "direct (HOST_SHUTDOWN auto: systemd does not run as init): the daemon's own "
                 "sequence, ending in the halt\n") +
         "SHUTDOWN_DEADLINE: 120 s, then the host is forced down (for a power-fail shutdown no "
         "later than the UPS's runtime less 30 s)" +
         (init ? "" : "; only on the init path, not taken here") + "\n";
}

class ConfigurationSummaryTest : public test::DaemonStateTest {
 protected:
  void SetUp() override {
    DaemonStateTest::SetUp();
    test::use_utc_time_zone();
    std::snprintf(shutdown_script_filename, sizeof shutdown_script_filename, "%s",
                  home.file("shutdown.sh").c_str());
  }
  test::TempDir home;
};

TEST_F(ConfigurationSummaryTest, WhatTheDaemonWillDo) {
  std::string text;
  for (const char *stem : {"POWERFAIL", "POWERRETURN", "LOWBATT", "POWERFAIL_DOWN", "COMM_ERROR",
                           "COMM_CONNECT", "SCHEDULE_DOWN", "OVERLOAD"}) {
    const std::string name = stem;
    text += name + "_ALERT " +
            (name == "POWERFAIL" ? "5 all"
             : name == "LOWBATT" ? "0 console"
                                 : "0 none") +
            " \"x\"\n" + name + "_LOG " + (name == "COMM_ERROR" ? "no" : "yes") + "\n";
  }
  text +=
      "WALLPATH wall\nUPS_DEVICE /dev/ttyS0\nLOWBATT_PAGER yes \"low\"\nMODEM_DEVICE /dev/ttyS1\n"
      "BACKUPTIME 10\nSILENT_SHUTDOWN 0\nSHUTDOWN DAILY 22:30 to 6:15\nUPSTEST 1 JAN 10:00\n"
      "MAX_CLIENT 10 PORT 4005\nTURNOFF_UPS yes\nUPS_SHUTDOWN_DELAY 2\n"
      "LISTEN 127.0.0.1 ::1\nALLOW 127.0.0.0/8 ::1\nMAX_CLIENT_PER_HOST 2\nHTTP_PORT 9110\n"
      "NUT_PORT 3493\nNUT_USER upsmon secret\n"
      "SHUTDOWN_RUNTIME 5 SHUTDOWN_CHARGE 20 EXEC_TIMEOUT 10 RESTART_SLEEP 0\n"
      "POWERFAIL_EXEC " +
      home.write("mail", "#!/bin/sh\n", 0755) + " LOWBATT_EXEC " + home.file("gone") + "\n";
  std::snprintf(config_filename, sizeof config_filename, "%s",
                home.write("tornax.conf", text, 0600).c_str());
  home.write("shutdown.sh", "#!/bin/sh\n", 0755);
  config_read();
  EXPECT_EQ(
      configuration_summary(settings, monday_noon),
      "UPS device: /dev/ttyS0\n"
      "UPS protocol: classic\n"
      "UPS switch-off: after a power-fail shutdown, with a shutdown delay of 2\n"
      "RESTART_SLEEP: 0: the UPS is told 0 even when the mains are back by the time it is "
      "switched off (it may then never cycle the power)\n" +
          auto_rows() +
          "Alerted: POWERFAIL (all, every 5 min), LOWBATT (console, once)\n"
          "Broadcast command: wall\n"
          "Logged: POWERFAIL, POWERRETURN, LOWBATT, POWERFAIL_DOWN, COMM_CONNECT, "
          "SCHEDULE_DOWN, OVERLOAD\n"
          "Paged: LOWBATT through /dev/ttyS1\n"
          "BACKUPTIME: shutdown after 10 min on battery\n"
          "SILENT_SHUTDOWN: none: a UPS silent on battery shuts nothing down before BACKUPTIME\n"
          "SHUTDOWN_RUNTIME: shutdown when the UPS's backup time is below 5 min on battery, in "
          "two readings in a row\n"
          "SHUTDOWN_CHARGE: shutdown when the battery level is below 20% on battery, in two "
          "readings in a row\n"
          "Next scheduled shutdown: Mon 2026-03-02 22:30 UTC, the UPS off for 465 min\n"
          "Next self-test: Fri 2027-01-01 10:00 UTC\n"
          "Status server: port 4005 on 127.0.0.1, ::1, at most 10 clients at once, 2 per host\n"
          "Network UPS server: port 3493 on 127.0.0.1, ::1, UPS tornax, at most 16 clients at "
          "once; 1 account, a "
          "shutdown waits up to 15 s for the hosts logged in\n"
          "Network UPS TLS: none (no NUT_CERTFILE): STARTTLS is refused\n"
          "HTTP endpoint: port 9110 on 127.0.0.1, ::1: /metrics, /status, /\n"
          "Clients allowed: 127.0.0.0/8, ::1/128\n"
          "Status key: none: status lines are not authenticated\n"
          "Shutdown script: " +
          home.file("shutdown.sh") + ", run at shutdown\n" + "Event hooks: POWERFAIL_EXEC " +
          home.file("mail") + ", LOWBATT_EXEC " + home.file("gone") +
          " (not run: No such file or directory); each killed after 10 s\n");
}

TEST_F(ConfigurationSummaryTest, NothingConfigured) {
  settings.pager[LOWBATT].enable = 1;
  settings.shutdown_schedule_mode = schedule_daily;  // 5:00 to 5:00 starts nothing
  settings.shutdown_schedule_list[0].downtime.tm_hour = 5;
  settings.shutdown_schedule_list[0].uptime.tm_hour = 5;
  home.write("shutdown.sh", "#!/bin/sh\n", 0644);
  EXPECT_EQ(configuration_summary(settings, monday_noon),
            "UPS device: none (no UPS_DEVICE statement)\n"
            "UPS protocol: classic\n"
            "UPS switch-off: no (TURNOFF_UPS no): the UPS stays on after a power-fail shutdown\n"
            "RESTART_SLEEP: 3 min: when the mains are back by the time the UPS is switched off, it "
            "stays off this long instead of 0, so that the host boots again\n" +
                auto_rows() +
                "Alerted: none\n"
                "Broadcast command: none (no WALLPATH statement)\n"
                "Logged: none\n"
                "Paged: LOWBATT, but no MODEM_DEVICE is set: nothing can be sent\n"
                "BACKUPTIME: none: only a low-battery mark shuts the host down\n"
                "SILENT_SHUTDOWN: shutdown after 1 min of silence from a UPS last seen on battery\n"
                "SHUTDOWN_RUNTIME: none\nSHUTDOWN_CHARGE: none\n"
                "Next scheduled shutdown: never (no down-time of the schedule starts one)\n"
                "Next self-test: none\n"
                "Status server: off (MAX_CLIENT 0)\n"
                "Network UPS server: off (NUT_PORT 0)\n"
                "Network UPS TLS: none (no NUT_CERTFILE): STARTTLS is refused\n"
                "HTTP endpoint: off (HTTP_PORT 0)\n"
                "Clients allowed: every host (no ALLOW statement)\n"
                "Status key: none: status lines are not authenticated\n"
                "Shutdown script: " +
                home.file("shutdown.sh") + " is not readable and executable: not run\n" +
                "Event hooks: none\n");
  settings.host_shutdown = HostShutdown::init;
  settings.shutdown_deadline = 60;
  EXPECT_NE(configuration_summary(settings, monday_noon)
                .find("Host shutdown: init (HOST_SHUTDOWN init): an orderly power-off asked of "
                      "systemd, the UPS switched off by the system-shutdown hook\n"
                      "SHUTDOWN_DEADLINE: 60 s, then the host is forced down (for a power-fail "
                      "shutdown no later than the UPS's runtime less 30 s)\n"),
            std::string::npos);
  // A threshold is a cause too: the mark is then not the only one.
  settings.shutdown_charge = 20;
  EXPECT_NE(configuration_summary(settings, monday_noon)
                .find("BACKUPTIME: none: no time limit on battery\n"),
            std::string::npos);
}

unsigned driver_lacks = 0;

// The rows that tell what the daemon does with a reading say so when the
// UPS_PROTOCOL's driver lacks it; the JSON names what it lacks.
TEST_F(ConfigurationSummaryTest, WhatTheProtocolLacksIsSaid) {
  UpsDriver lacking = classic_driver();
  lacking.name = "lacking";
  lacking.lacks = [] { return driver_lacks; };
  use_ups_driver(lacking);
  settings.ups_protocol = "lacking";
  settings.shutdown_runtime = 300;
  settings.num_test_schedule = 1;
  const struct {
    unsigned lacks;
    const char *row, *starts;
  } cases[] = {
      {0, "UPS protocol", "lacking"},
      {0, "SHUTDOWN_RUNTIME", "shutdown when the UPS's backup time is below 5 min"},
      {lacks_runtime, "UPS protocol", "lacking; no runtime from this UPS"},
      {lacks_runtime, "SHUTDOWN_RUNTIME", "never: this UPS tells no runtime (5 min set)"},
      {lacks_runtime, "BACKUPTIME",
       "none: only a low-battery mark shuts the host down; this UPS tells no runtime, so no time "
       "left on battery is told (BACKUPTIME gives one)"},
      {lacks_runtime, "SHUTDOWN_DEADLINE",
       "120 s, then the host is forced down (this UPS tells no runtime, so none shortens it on a "
       "power-fail shutdown)"},
      {lacks_self_test, "UPS protocol", "lacking; no self-test"},
      {lacks_self_test, "Next self-test",
       "none: this UPS has no self-test (the UPSTEST entries are skipped)"},
      {charge_estimated, "UPS protocol",
       "lacking; the battery charge is estimated from the battery voltage"},
  };
  for (const auto &c : cases) {
    driver_lacks = c.lacks;
    std::string value;
    for (const auto &[what, text] : configuration_summary_rows(settings, monday_noon)) {
      value = what == c.row ? text : value;
    }
    EXPECT_EQ(value.substr(0, std::strlen(c.starts)), c.starts) << c.row << " " << c.lacks;
  }
  driver_lacks = lacks_runtime | lacks_frequency | charge_estimated;
  const nlohmann::ordered_json ups = configuration_json(settings, monday_noon, {})["ups"];
  EXPECT_EQ(ups["lacks"], nlohmann::ordered_json::array({"runtime", "frequency"}));
  EXPECT_EQ(ups["charge_estimated"], true);
}

// What a Qx UPS is sent at the end of a power-fail shutdown, the delay it
// can't take, and the ends of the charge estimate.
TEST_F(ConfigurationSummaryTest, QxRowsSayTheBytesAndTheEstimate) {
  settings.ups_protocol = "qx";
  settings.turnoff_ups = 1;
  settings.battery_voltage_high = 27.3;
  const struct {
    int delay;
    unsigned restart;
    const char *row, *value;
  } cases[] = {
      {30, 3, "UPS switch-off",
       "after a power-fail shutdown the UPS receives \"S.5R0003\": its output off 30 s later "
       "(UPS_SHUTDOWN_DELAY), back on 3 min after that once the mains are present"},
      {55, 20, "UPS switch-off",
       "after a power-fail shutdown the UPS receives \"S01R0020\": its output off 55 s later "
       "(UPS_SHUTDOWN_DELAY), back on 20 min after that once the mains are present"},
      {900, 3, "UPS switch-off",
       "after a power-fail shutdown the UPS receives \"S10R0003\": its output off 900 s later "
       "(UPS_SHUTDOWN_DELAY), back on 3 min after that once the mains are present; "
       "UPS_SHUTDOWN_DELAY 900 s is clamped to 10 minutes, the longest this UPS takes"},
      {30, 0, "RESTART_SLEEP",
       "0 min: sent as 3 min, since early firmware may stay off for good after less"},
      {30, 3, "UPS protocol",
       "qx; no runtime from this UPS; the battery charge is estimated from the battery voltage"},
      {30, 3, "SHUTDOWN_RUNTIME", "none"},
      {30, 3, "BATTERY_VOLTAGE_LOW",
       "from the cells: 1.90 V a cell (empty) for the charge estimate"},
      {30, 3, "BATTERY_VOLTAGE_HIGH", "27.30 V: the battery taken as full for the charge estimate"},
  };
  for (const auto &c : cases) {
    settings.ups_shutdown_delay = c.delay;
    settings.restart_sleep = c.restart;
    std::string value = "(no row)";
    for (const auto &[what, text] : configuration_summary_rows(settings, monday_noon)) {
      value = what == c.row ? text : value;
    }
    EXPECT_EQ(value, c.value) << c.row << " " << c.delay;
  }
  const nlohmann::ordered_json ups = configuration_json(settings, monday_noon, {})["ups"];
  EXPECT_EQ(ups["battery_voltage_low"], nullptr);
  EXPECT_EQ(ups["battery_voltage_high"], 27.3);
}

// The document a program reads: where each statement stands (two on a line,
// one across a continuation), the values behind the summary, the summary's
// own rows, and no password.
TEST_F(ConfigurationSummaryTest, JsonDocumentPlacesEveryStatementAndHidesPasswords) {
  std::string text =
      "# a comment\n\nUPS_DEVICE /dev/ttyS0 MAX_CLIENT 3\nUPSTEST 1 JAN 10:00 \\\n"
      "  1 JUL 10:00\nNUT_PORT 3493 NUT_USER upsmon secret\nWALLPATH wall\n"
      "LOWBATT_EXEC " +
      home.file("gone") + "\n";
  for (int e = 0; e < event_count; ++e) {
    text += std::string(event_stem(e)) + "_ALERT 0 all \"x\"\n" + event_stem(e) + "_LOG yes\n";
  }
  std::snprintf(config_filename, sizeof config_filename, "%s",
                home.write("tornax.conf", text, 0600).c_str());
  config_read();
  const nlohmann::ordered_json doc = configuration_json(settings, monday_noon, statements_read());

  const auto place = [&](std::size_t i) {
    const nlohmann::ordered_json &p = doc["statements"][i];
    return p["keyword"].get<std::string>() + " " + std::to_string(p["first_line"].get<int>()) +
           "-" + std::to_string(p["last_line"].get<int>());
  };
  const std::vector<std::string> expected = {
      "UPS_DEVICE 3-3", "MAX_CLIENT 3-3", "UPSTEST 4-5",      "NUT_PORT 6-6",
      "NUT_USER 6-6",   "WALLPATH 7-7",   "LOWBATT_EXEC 8-8", "POWERFAIL_ALERT 9-9"};
  ASSERT_EQ(doc["statements"].size(), 8u + 2 * event_count - 1);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(place(i), expected[i]);
  }
  EXPECT_EQ(doc["ups"]["device"], "/dev/ttyS0");
  EXPECT_EQ(doc["network"]["status_server"]["max_client"], 3);
  EXPECT_EQ(doc["network"]["nut_server"]["users"], nlohmann::ordered_json::array({"upsmon"}));
  EXPECT_EQ(doc["events"][LOWBATT]["hook"]["refusal"], "No such file or directory");
  EXPECT_TRUE(doc["events"][POWERFAIL]["hook"].is_null());
  EXPECT_EQ(doc["schedule"]["next_self_test"], 1782900000);  // Wed 1 July 2026 10:00 UTC
  EXPECT_EQ(doc["shutdown"]["script"], "missing");
  EXPECT_EQ(doc.dump().find("secret"), std::string::npos);
  std::string rows;
  for (const auto &[what, value] : doc["summary"].items()) {
    rows += what + ": " + value.get<std::string>() + "\n";
  }
  EXPECT_EQ(rows, configuration_summary(settings, monday_noon));
}

}  // namespace
}  // namespace tornax
