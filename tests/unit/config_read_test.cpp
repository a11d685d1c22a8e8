#include "daemon/config/config_read.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon/core/util.h"
#include "daemon/net/access_policy.h"
#include "daemon/ups/driver.h"
#include "tests/kit/files.h"
#include "tests/support/daemon_state.h"
#include "tests/support/settings_text.h"
#include "tests/support/status_key.h"

namespace tornax {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// One token as text: its kind and the value it carries.
std::string describe(token kind) {
  const struct tm &t = yylval.time;
  std::string text = token_name(kind);
  if (kind >= token::WEEKDAY && kind <= token::WEEK_TIME) {
    return text + " " + std::to_string(t.tm_mday) + "/" + std::to_string(t.tm_mon) + " " +
           std::to_string(t.tm_hour) + ":" + std::to_string(t.tm_min) + "#" +
           std::to_string(t.tm_wday);
  }
  if (kind == token::STRING) {
    return text + " " + yylval.text;
  }
  const bool valued = kind == token::NUMBER || (kind >= token::ALERT_TAG && kind <= token::YESNO);
  return valued ? text + " " + std::to_string(yylval.number) : text;
}

// The tokens of a text, then " #" and config_lineno, then what was echoed.
std::string scan(const std::string &text) {
  std::FILE *stream = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), stream);
  std::rewind(stream);
  config_scan_from(stream);
  config_lineno = 0;
  CaptureStdout();
  std::string tokens;
  for (token kind; (kind = yylex()) != token::END;) {
    tokens += describe(kind) + " | ";
  }
  const std::string echoed = GetCapturedStdout();
  std::fclose(stream);
  return tokens + "#" + std::to_string(config_lineno) + (echoed.empty() ? "" : " out:" + echoed);
}

TEST(ConfigScanTest, LongestMatchAndPriorities) {
  const struct {
    const char *input, *tokens;
  } cases[] = {
      {"PORT PORTX PORT\"x\"", "PORT | STRING PORTX | PORT | STRING x | #0"},
      {"12 12:30 12:30#MON 12abc 12:30#MONX 12:30#",
       "NUMBER 12 | TIME 0/0 12:30#0 | WEEK_TIME 0/0 12:30#1 | STRING 12abc | STRING 12:30#MONX | "
       "STRING 12:30# | #0"},
      {"1 JAN 12:30 31 DEC 0:5x", "DATE_TIME 1/0 12:30#0 | DATE_TIME 31/11 0:5#0 | STRING x | #0"},
      {"1 JAN x 1  JAN 2:00 1\tJUL 2:00 1 jan 2:00",
       "NUMBER 1 | STRING JAN | STRING x | NUMBER 1 | STRING JAN | TIME 0/0 2:0#0 | NUMBER 1 | "
       "STRING JUL | TIME 0/0 2:0#0 | NUMBER 1 | STRING jan | TIME 0/0 2:0#0 | #0"},
      {"MON mon MONDAY SAT",
       "WEEKDAY 0/0 0:0#1 | STRING mon | STRING MONDAY | WEEKDAY 0/0 0:0#6 | #0"},
      {"All NONE Console yes No ON To",
       "SCOPE 2 | SCOPE 0 | SCOPE 1 | YESNO 1 | YESNO 0 | ON | TO | #0"},
      {"POWERFAIL_ALERT POWERFAIL_DOWN_LOG OVERLOAD_PAGER powerfail_alert",
       "ALERT_TAG 0 | LOG_TAG 3 | PAGER_TAG 7 | STRING powerfail_alert | #0"},
      // Comments only at a line start: after a line end or a continuation.
      {"# c 1 JAN\n  # w\nx#y\n#", "EOL | STRING # | STRING w | EOL | STRING x#y | EOL | #3"},
      {"UPSTEST \\\n#1 JAN 1:00", "UPSTEST | #1"},
      {"a\\\nb \\\\\n", "STRING a\\ | EOL | STRING b | STRING \\\\ | EOL | #2"},
      {"\\\r\nb\r\n#c\r\n", "STRING \\ | EOL | STRING b | EOL | EOL | #3"},
      {R"("a b" "" "say \"hi\" now")", R"(STRING a b | STRING  | STRING say \"hi\" now | #0)"},
      {"\"open\r\nx \"", "STRING open | EOL | STRING x | #1 out:\"\""},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(scan(c.input), c.tokens) << "input: " << c.input;
  }
}

// ---- Loading ----------------------------------------------------------------

// The lines of `text` that `edit` keeps, as it leaves them.
template <typename Edit>
std::string edit_lines(const std::string &text, Edit edit) {
  std::string kept;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (edit(line)) {
      kept += line + "\n";
    }
  }
  return kept;
}

// All sixteen alert and log statements and WALLPATH, but for the lines that
// begin with one of `skip`.
std::string required_statements(std::vector<std::string> skip = {}) {
  static const char *const stems[] = {"POWERFAIL",      "POWERRETURN", "LOWBATT",
                                      "POWERFAIL_DOWN", "COMM_ERROR",  "COMM_CONNECT",
                                      "SCHEDULE_DOWN",  "OVERLOAD"};
  std::string text;
  for (int i = 0; i < event_count; ++i) {
    text += std::string(stems[i]) + "_ALERT " + std::to_string(i) + " all \"alert " +
            std::to_string(i) + "\"\n";
  }
  for (const char *stem : stems) {
    text += std::string(stem) + "_LOG yes\n";
  }
  text += "WALLPATH \"/usr/bin/wall -n\"\n";
  return edit_lines(text, [&skip](std::string &line) {
    for (const std::string &prefix : skip) {
      if (line.starts_with(prefix)) {
        return false;
      }
    }
    return true;
  });
}

class ConfigReadTest : public test::DaemonStateTest {
 protected:
  // Only root may read it, as a file with passwords must be.
  void write(const std::string &content, int mode = 0600) {
    std::snprintf(config_filename, sizeof config_filename, "%s",
                  home.write("tornax.conf", content, mode).c_str());
  }
  void load(const std::string &content) {
    write(content);
    config_read();
  }
  // Reloads; the messages it printed go to `out` and `err`.
  bool reload(const std::string &content, std::string *out = nullptr, std::string *err = nullptr) {
    write(content);
    CaptureStdout();
    CaptureStderr();
    const bool loaded = config_reload();
    const std::string o = GetCapturedStdout(), e = GetCapturedStderr();
    if (out)
      *out = o;
    if (err)
      *err = e;
    return loaded;
  }
  std::string syntax_error(int line, const std::string &text = "syntax error") {
    return "Brenmoor Tornax X : Configuration Error! line " + std::to_string(line) + ": " + text +
           " \n";
  }
  test::TempDir home;
};

TEST_F(ConfigReadTest, TheRequiredStatementsAloneGiveTheDefaults) {
  load(required_statements());
  EXPECT_EQ(settings.alert[3].interval, 180);
  EXPECT_EQ(settings.alert[3].who, scope_all);
  EXPECT_EQ(settings.alert[3].message, "alert 3");
  EXPECT_EQ(settings.log_control[7].enable, 1);
  EXPECT_EQ(*settings.wall_cmd, "/usr/bin/wall -n");
  EXPECT_EQ(settings.port, 4004);
  EXPECT_EQ(settings.max_client, 0);
  EXPECT_EQ(settings.shutdown_schedule_mode, schedule_none);
  EXPECT_FALSE(settings.ups_location);
  EXPECT_EQ(settings.powerfail_timeout, 0u);
  EXPECT_EQ(settings.silent_shutdown, 60u);
}

TEST_F(ConfigReadTest, EveryStatementTakesEffectAndTheLaterOneWins) {
  load(required_statements() +
       "POWERFAIL_ALERT 2 console \"first\"\nPOWERFAIL_ALERT 5 none x\nOVERLOAD_LOG No\n"
       "LOWBATT_PAGER yes \"ATDT 555\" MODEM_DEVICE /dev/ttyS1\tUPS_DEVICE /dev/ttyS0\n"
       "TURNOFF_UPS YES LOGSIZE 64 BACKUPTIME 10 UPS_TYPE 3 UPS_SHUTDOWN_DELAY 2\n"
       "SILENT_SHUTDOWN 0 SILENT_SHUTDOWN 3\n"
       "WALLPATH \"\" UPS_LOCATION \"rack \\\"3\\\"\" PORT 5000 MAX_CLIENT 4\n"
       "SHUTDOWN DAILY 22:30 to 6:15 on MON to FRI\nUPSTEST 1 JAN 10:00 1 JUL 10:00\n");
  EXPECT_EQ(settings.alert[0].interval, 300);
  EXPECT_EQ(settings.alert[0].who, scope_none);
  EXPECT_EQ(settings.alert[0].message, "x");
  EXPECT_EQ(settings.log_control[7].enable, 0);
  EXPECT_EQ(settings.pager[2].enable, 1);
  EXPECT_EQ(settings.pager[2].message, "ATDT 555");
  EXPECT_EQ(*settings.modem_filename, "/dev/ttyS1");
  EXPECT_EQ(*settings.ups_filename, "/dev/ttyS0");
  EXPECT_EQ(settings.turnoff_ups, 1);
  EXPECT_EQ(settings.logsize, 64u);
  EXPECT_EQ(settings.powerfail_timeout, 600u);
  EXPECT_EQ(settings.silent_shutdown, 180u);
  EXPECT_EQ(settings.adapter_type, 3);
  EXPECT_EQ(settings.ups_shutdown_delay, 2);
  EXPECT_EQ(*settings.wall_cmd, "");  // present, though empty
  EXPECT_EQ(*settings.ups_location, "rack \\\"3\\\"");
  EXPECT_EQ(settings.port, 5000);
  EXPECT_EQ(settings.max_client, 4);
  EXPECT_EQ(settings.shutdown_schedule_mode, schedule_daily_apply);
  const shutdown_schedule &window = settings.shutdown_schedule_list[0];
  EXPECT_EQ(window.downtime.tm_hour * 100 + window.downtime.tm_min, 2230);
  EXPECT_EQ(window.uptime.tm_hour * 100 + window.uptime.tm_min, 615);
  EXPECT_EQ(settings.schedule_apply.begin.tm_wday, 1);
  EXPECT_EQ(settings.schedule_apply.end.tm_wday, 5);
  ASSERT_EQ(settings.num_test_schedule, 2);
  EXPECT_EQ(settings.test_schedule_list[1].time.tm_mon, 6);
}

TEST_F(ConfigReadTest, ShutdownSchedules) {
  load(required_statements() + "SHUTDOWN WEEKLY 23:00#FRI to 7:00#MON\n");
  const shutdown_schedule &first = settings.shutdown_schedule_list[0];
  EXPECT_EQ(settings.shutdown_schedule_mode, schedule_weekly);
  EXPECT_EQ(first.downtime.tm_wday * 10000 + first.downtime.tm_hour * 100, 52300);
  EXPECT_EQ(first.uptime.tm_wday * 10000 + first.uptime.tm_hour * 100, 10700);
  // Manual ranges append across statements; "SHUTDOWN" and "SHUTDOWN MANUAL"
  // alone change nothing.
  load(required_statements() +
       "SHUTDOWN MANUAL 31 DEC 18:00 to 2 JAN 8:00 \\\n 1 MAY 0:00 to 2 MAY 0:00\n"
       "SHUTDOWN\nSHUTDOWN MANUAL\nSHUTDOWN MANUAL 24 DEC 1:00 to 25 DEC 1:00\n");
  EXPECT_EQ(settings.shutdown_schedule_mode, schedule_manual);
  ASSERT_EQ(settings.num_shutdown_schedule, 3);
  EXPECT_EQ(first.downtime.tm_mday * 100 + first.downtime.tm_mon, 3111);
  EXPECT_EQ(settings.shutdown_schedule_list[2].uptime.tm_mday, 25);
  // A daily statement resets the count but leaves the records beyond the first.
  load(required_statements() +
       "SHUTDOWN MANUAL 1 MAY 0:00 to 2 MAY 0:00 3 MAY 0:00 to 4 MAY 0:00\n"
       "SHUTDOWN DAILY 1:00 to 5:00\n");
  EXPECT_EQ(settings.shutdown_schedule_mode, schedule_daily);
  EXPECT_EQ(settings.num_shutdown_schedule, 0);
  EXPECT_EQ(first.downtime.tm_hour, 1);
  EXPECT_EQ(settings.shutdown_schedule_list[1].downtime.tm_mday, 3);
}

TEST_F(ConfigReadTest, SyntaxErrorsNameTheirLine) {
  const std::string six = "# 1\n\n# 3\n\n# 5\n\n";
  const struct {
    std::string content;
    int line;
  } cases[] = {
      {six + "LOGSIZE\n", 8},  // cut short at its line end
      {six + "LOGSIZE abc\n", 7},
      {"\n\nPOWERFAIL_ALERT 5 all \"x\"", 3},  // end of file mid-statement
      {"POWERFAIL_ALERT 5 all\n\"x\"\n", 2},
      {"", 1},
      {"# only a comment", 1},
      {" # indented\n", 1},
      {"UPSTEST 1 JAN 10:00\n1 JUL 10:00\n", 2},
      {"UPSTEST 1 JAN 10:00 \\\n1 JUL 10:00 \\\r\n", 2},
      {"POWERFAIL_PAGER yes 5551234\n", 1},
      {"WALLPATH none\nWALLPATH on\nWALLPATH To\n", 1},
      {"\nWALLPATH MON\n", 2},
      {"PORT 1 MAX_CLIENT 2\nUPS_LOCATION PORT\n", 2},
      {"SHUTDOWN DAILY 22:00 to 6:00 on mon to fri\n", 1},
      {"SHUTDOWN MANUAL 1  JAN 10:00 to 2 JAN 10:00\n", 1},
      {"TURNOFF_UPS\r\n", 2},
  };
  for (const auto &c : cases) {
    std::string out;
    EXPECT_FALSE(reload(c.content, &out));
    EXPECT_EQ(out, syntax_error(c.line)) << "content: " << c.content;
  }
}

TEST_F(ConfigReadTest, MissingStatementsAreReportedInOrder) {
  const struct {
    std::vector<std::string> skip;
    const char *message;
  } cases[] = {
      {{"POWERFAIL_ALERT", "LOWBATT", "WALLPATH"}, "POWERFAIL_ALERT tag not found"},
      {{"OVERLOAD_ALERT", "POWERFAIL_LOG"}, "OVERLOAD_ALERT tag not found"},
      {{"POWERFAIL_LOG", "WALLPATH"}, "POWERFAIL_LOG tag not found"},
      {{"WALLPATH"}, "WALLPATH tag not found"},
  };
  for (const auto &c : cases) {
    std::string err;
    EXPECT_FALSE(reload(required_statements(c.skip), nullptr, &err));
    EXPECT_EQ(err, std::string("Brenmoor Tornax X : ") + c.message + "\n");
  }
}

std::vector<std::string> addresses(const std::vector<IpAddress> &list) {
  std::vector<std::string> texts;
  for (const IpAddress &address : list) {
    texts.push_back(format_ip_address(address));
  }
  return texts;
}

TEST_F(ConfigReadTest, NetworkStatementsAndTheirDefaultsAtEachReading) {
  const std::string key = test::write_key_file(home.file("key"), test::key_hex + "\n");
  load(required_statements() + "LISTEN 127.0.0.2 ::1 \"0.0.0.0\"\nLISTEN 10.0.0.1 ::1 fe80::1%1\n" +
       "ALLOW 10.1.2.3/8 2001:db8::1/32\nALLOW 192.0.2.7\nMAX_CLIENT_PER_HOST 2\n" + "STATUS_KEY " +
       key + "\nHTTP_PORT 9110\n");
  // The IPv4 wildcard covers the IPv4 addresses; a repeated address counts once.
  EXPECT_EQ(addresses(settings.listen), (std::vector<std::string>{"::1", "0.0.0.0", "fe80::1%1"}));
  ASSERT_EQ(settings.allow.size(), 3u);
  EXPECT_EQ(
      format_ip_address(settings.allow[0].address) + "/" + std::to_string(settings.allow[0].prefix),
      "10.0.0.0/8");
  EXPECT_EQ(format_ip_address(settings.allow[1].address), "2001:db8::");
  EXPECT_EQ(settings.allow[2].prefix, 32);
  EXPECT_EQ(settings.max_client_per_host, 2);
  EXPECT_EQ(settings.status_key, test::key_of(test::key_hex));
  EXPECT_EQ(*settings.status_key_file, key);
  EXPECT_EQ(settings.http_port, 9110);

  // Unlike the older statements, these are what the file says at each reading.
  ASSERT_TRUE(reload(required_statements()));
  EXPECT_TRUE(settings.listen.empty());
  EXPECT_TRUE(settings.allow.empty());
  EXPECT_EQ(settings.max_client_per_host, 0);
  EXPECT_FALSE(settings.status_key);
  EXPECT_EQ(settings.http_port, 0);
}

TEST_F(ConfigReadTest, NetworkUpsStatementsAndTheirDefaultsAtEachReading) {
  load(required_statements() +
       "NUT_PORT 3493\nNUT_UPSNAME rack-4.ups\nNUT_MAX_CLIENT 4\nNUT_HOSTSYNC 30\n"
       "NUT_USER upsmon 0123\nNUT_USER \"hyper visor\" \"pass word\"\n");
  EXPECT_EQ(settings.nut_port, 3493);
  EXPECT_EQ(settings.nut_upsname, "rack-4.ups");
  EXPECT_EQ(settings.nut_max_client, 4);
  EXPECT_EQ(settings.nut_hostsync, 30);
  ASSERT_EQ(settings.nut_users.size(), 2u);
  EXPECT_EQ(settings.nut_users[0].password, "0123");  // digits stay text
  EXPECT_EQ(settings.nut_users[1].name, "hyper visor");
  EXPECT_EQ(settings.nut_users[1].password, "pass word");

  ASSERT_TRUE(reload(required_statements()));
  EXPECT_EQ(settings.nut_port, 0);
  EXPECT_EQ(settings.nut_upsname, "tornax");
  EXPECT_EQ(settings.nut_max_client, 16);
  EXPECT_EQ(settings.nut_hostsync, 15);
  EXPECT_TRUE(settings.nut_users.empty());

  // Requiring TLS without a certificate would let no client log in.
  write(required_statements() + "NUT_REQUIRE_TLS yes\n");
  CaptureStderr();
  EXPECT_FALSE(config_reload());
  EXPECT_EQ(GetCapturedStderr(),
            "Brenmoor Tornax X : NUT_REQUIRE_TLS yes needs a NUT_CERTFILE: "
            "no client could log in\n");
  EXPECT_FALSE(settings.nut_require_tls);
}

// Anyone who could read the passwords could log in as a host the shutdown
// waits for: such a file is refused, at start and on reload.
TEST_F(ConfigReadTest, PasswordsReadableByOthersAreRefused) {
  load(required_statements() + "NUT_USER upsmon secret\n");
  write(required_statements() + "NUT_USER upsmon other\n", 0604);
  CaptureStderr();
  EXPECT_FALSE(config_reload());
  EXPECT_EQ(GetCapturedStderr(),
            "Brenmoor Tornax X : Refusing " + std::string(config_filename) +
                ": it holds NUT_USER passwords and is readable by group or others (mode 0604); "
                "make it mode 0600\n");
  EXPECT_EQ(settings.nut_users[0].password, "secret");
  write(required_statements(), 0644);  // no passwords: readable is fine
  EXPECT_TRUE(config_reload());
}

TEST_F(ConfigReadTest, BadAddressesAndKeysNameTheirLine) {
  const std::string good_key = test::write_key_file(home.file("good"), test::key_hex);
  const std::string open_key = test::write_key_file(home.file("open"), test::key_hex, 0644);
  const std::string short_key = test::write_key_file(home.file("short"), "0011aabb\n");
  const std::string open_cert = home.write("open.pem", "", 0640);
  const std::string no_cert = home.write("none.pem", "-----BEGIN NOTHING-----\n", 0600);
  const struct {
    std::string line;
    std::string message;
  } cases[] = {
      {"LISTEN localhost", "LISTEN localhost: not an IPv4 or IPv6 address"},
      {"LISTEN 127.0.0.1 10.1", "LISTEN 10.1: not an IPv4 or IPv6 address"},
      {"ALLOW 10.0.0.0/33", "ALLOW 10.0.0.0/33: not an IPv4 or IPv6 network"},
      {"ALLOW 10/8", "ALLOW 10/8: not an IPv4 or IPv6 network"},
      {"ALLOW ::1/", "ALLOW ::1/: not an IPv4 or IPv6 network"},
      {"STATUS_KEY " + open_key,
       "STATUS_KEY " + open_key + ": group or others have access to it (mode 0644)"},
      {"STATUS_KEY " + short_key, "STATUS_KEY " + short_key + ": not 64 hexadecimal digits"},
      {"STATUS_KEY " + home.path(), "STATUS_KEY " + home.path() + ": not a regular file"},
      {"STATUS_KEY " + home.file("none"),
       "STATUS_KEY " + home.file("none") + ": No such file or directory"},
      {"HTTP_PORT 65536", "HTTP_PORT must be 0 (off) to 65535"},
      {"LISTEN", "syntax error"},
      {"NUT_PORT 65536", "NUT_PORT 65536: must be 0 to 65535"},
      {"NUT_MAX_CLIENT 0", "NUT_MAX_CLIENT 0: must be 1 to 65535"},
      {"NUT_HOSTSYNC 3601", "NUT_HOSTSYNC 3601: must be 0 to 3600"},
      {"NUT_UPSNAME \"my ups\"", "NUT_UPSNAME my ups: use letters, digits, '-', '_' or '.'"},
      {"NUT_USER \"\" secret", "NUT_USER needs a name and a password"},
      {"NUT_CERTFILE " + open_cert,
       "NUT_CERTFILE " + open_cert +
           ": it holds a private key and is readable by group or others (mode 0640); make it "
           "mode 0600"},
      {"NUT_CERTFILE " + no_cert, "NUT_CERTFILE " + no_cert + ": holds no PEM certificate"},
      {"NUT_CERTFILE " + home.path(), "NUT_CERTFILE " + home.path() + ": not a regular file"},
      {"NUT_REQUIRE_TLS maybe", "syntax error"},
  };
  load(required_statements() + "STATUS_KEY " + good_key + "\n");
  const int line = 18;  // after the seventeen required statements
  for (const auto &c : cases) {
    std::string out;
    EXPECT_FALSE(reload(required_statements() + c.line + "\n", &out));
    EXPECT_EQ(out, syntax_error(c.line == "LISTEN" ? line + 1 : line, c.message)) << c.line;
    EXPECT_EQ(settings.status_key, test::key_of(test::key_hex));  // the old one stays
  }
}

TEST_F(ConfigReadTest, ThresholdsAndHooksAndTheirDefaultsAtEachReading) {
  load(required_statements() +
       "SHUTDOWN_RUNTIME 5 SHUTDOWN_CHARGE 20 EXEC_TIMEOUT 10 RESTART_SLEEP 0\n"
       "HOST_SHUTDOWN Init SHUTDOWN_DEADLINE 300\n"
       "POWERFAIL_EXEC /etc/tornax/hooks/mail OVERLOAD_EXEC \"/opt/my hooks/page\"\n"
       "BATTERY_VOLTAGE_LOW 21.6 BATTERY_VOLTAGE_HIGH 26\n"
       "UPS_PROTOCOL classic\n");
  EXPECT_EQ(settings.ups_protocol, "classic");
  EXPECT_EQ(settings.restart_sleep, 0u);
  EXPECT_EQ(settings.host_shutdown, HostShutdown::init);
  EXPECT_EQ(settings.shutdown_deadline, 300u);
  EXPECT_EQ(settings.battery_voltage_low, 21.6);
  EXPECT_EQ(settings.battery_voltage_high, 26.0);
  EXPECT_EQ(settings.shutdown_runtime, 300u);
  EXPECT_EQ(settings.shutdown_charge, 20u);
  EXPECT_EQ(settings.exec_timeout, 10u);
  EXPECT_EQ(*settings.exec[POWERFAIL], "/etc/tornax/hooks/mail");
  EXPECT_EQ(*settings.exec[OVERLOAD], "/opt/my hooks/page");
  EXPECT_FALSE(settings.exec[LOWBATT]);
  ASSERT_TRUE(reload(required_statements()));  // removed from the file: off
  EXPECT_EQ(settings.shutdown_runtime, 0u);
  EXPECT_EQ(settings.shutdown_charge, 0u);
  EXPECT_EQ(settings.exec_timeout, 30u);
  EXPECT_EQ(settings.restart_sleep, 3u);
  EXPECT_EQ(settings.host_shutdown, HostShutdown::automatic);
  EXPECT_EQ(settings.shutdown_deadline, 120u);
  EXPECT_EQ(settings.battery_voltage_low, 0.0);
  EXPECT_FALSE(settings.exec[POWERFAIL]);
  ASSERT_TRUE(reload(required_statements() + "HOST_SHUTDOWN direct\n"));
  EXPECT_EQ(settings.host_shutdown, HostShutdown::direct);
  ASSERT_TRUE(reload(required_statements() + "UPS_PROTOCOL qx\n"));
  EXPECT_EQ(settings.ups_protocol, "qx");

  const std::string volts = "is volts, more than 0 and at most 1000 (e.g. 11.4)";
  const struct {
    std::string line, message;
  } cases[] = {
      {"SHUTDOWN_CHARGE 101", "SHUTDOWN_CHARGE is a percentage, 0 to 100"},
      {"EXEC_TIMEOUT 0", "EXEC_TIMEOUT is 1 to 86400 seconds"},
      {"RESTART_SLEEP 10000", "RESTART_SLEEP is 0 to 9999 minutes"},
      {"HOST_SHUTDOWN systemd", "HOST_SHUTDOWN is auto, init or direct"},
      {"SHUTDOWN_DEADLINE 0", "SHUTDOWN_DEADLINE is 1 to 3600 seconds"},
      {"POWERFAIL_EXEC hooks/mail", "POWERFAIL_EXEC hooks/mail: not an absolute path"},
      {"SHUTDOWN_RUNTIME 35791395", "minutes too large, the largest is 35791394"},
      {"UPS_PROTOCOL hid",
       std::string("UPS_PROTOCOL hid: the UPS protocols are ") + ups_driver_names()},
      {"BATTERY_VOLTAGE_LOW 1.2.3", "BATTERY_VOLTAGE_LOW " + volts},
      {"BATTERY_VOLTAGE_LOW 12.", "BATTERY_VOLTAGE_LOW " + volts},
      {"BATTERY_VOLTAGE_HIGH 0", "BATTERY_VOLTAGE_HIGH " + volts},
      {"BATTERY_VOLTAGE_HIGH 1000.1", "BATTERY_VOLTAGE_HIGH " + volts},
  };
  for (const auto &c : cases) {
    std::string out;
    EXPECT_FALSE(reload(required_statements() + c.line + "\n", &out));
    EXPECT_EQ(out, syntax_error(18, c.message)) << c.line;
  }
  std::string err;
  EXPECT_FALSE(reload(required_statements() + "BATTERY_VOLTAGE_LOW 26 BATTERY_VOLTAGE_HIGH 26\n",
                      nullptr, &err));
  EXPECT_EQ(err, "Brenmoor Tornax X : BATTERY_VOLTAGE_LOW must be below BATTERY_VOLTAGE_HIGH\n");
}

TEST_F(ConfigReadTest, MaxClientBeyondTheDescriptorsIsReported) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  std::snprintf(log_filename, sizeof log_filename, "%s", home.file("tornax.log").c_str());
  std::string err;
  EXPECT_TRUE(reload(required_statements() + "MAX_CLIENT 70\n", nullptr, &err));
  EXPECT_EQ(err, "");
  EXPECT_TRUE(reload(required_statements() + "MAX_CLIENT 100\n", nullptr, &err));
  const std::string head =
      "Brenmoor Tornax X : MAX_CLIENT 100 does not fit the descriptor limit "
      "of 100: at most ";
  const std::string tail = " clients can be served, more get the refusal line\n";
  ASSERT_GT(err.size(), head.size() + tail.size()) << err;
  EXPECT_EQ(err.substr(0, head.size()), head);
  EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
  const std::string logged = err.substr(20, err.size() - 21);
  EXPECT_NE(test::read_file(home.file("tornax.log")).find(logged), std::string::npos);
  EXPECT_EQ(settings.max_client, 100);  // in force all the same
}

TEST_F(ConfigReadTest, FailedStartUpReadingsEndTheProcess) {
  write(required_statements({"OVERLOAD_LOG"}));
  EXPECT_EXIT(config_read(), testing::ExitedWithCode(1),
              "^Brenmoor Tornax X : OVERLOAD_LOG tag not found\nBrenmoor Tornax X : Exit\n$");
  write("PORT x\n");
  EXPECT_EXIT(config_read(), testing::ExitedWithCode(1), "^$");
  write("WALLPATH " + std::string(8192, 'w'));
  EXPECT_EXIT(config_read(), testing::ExitedWithCode(2), "^token too large, exceeds YYLMAX\n$");
  // The file and the reason follow the message on a line of their own.
  std::snprintf(config_filename, sizeof config_filename, "%s", home.file("missing").c_str());
  EXPECT_EXIT(config_read(), testing::ExitedWithCode(1),
              "^Brenmoor Tornax X : Cannot open Configuration file\nBrenmoor Tornax X : " +
                  home.file("missing") +
                  ": No such file or directory\nBrenmoor Tornax X : Exit\n$");
}

TEST_F(ConfigReadTest, TokenLimitIsEightThousandOneHundredNinetyOne) {
  const std::string limit(8191, 'w');
  load(required_statements() + "UPS_DEVICE " + limit + "\n#" + std::string(8190, 'c') + "\n" +
       std::string(8191, ' ') + "\nUPS_LOCATION \"" + std::string(8189, 'q') + "\"\n");
  EXPECT_EQ(*settings.ups_filename, limit);
  EXPECT_EQ(settings.ups_location->size(), 8189u);
  for (const std::string &over : {"UPS_DEVICE " + limit + "w", "#" + limit, std::string(8192, '\t'),
                                  "\"" + limit, "1 JAN 1:" + std::string(8184, '0')}) {
    std::string err;
    EXPECT_FALSE(reload(required_statements() + over + "\n", nullptr, &err));
    EXPECT_EQ(err, "token too large, exceeds YYLMAX\n") << over.substr(0, 12);
  }
}

// Each of these would store past a table's end or overflow an int.
TEST_F(ConfigReadTest, OversizedTablesAndNumbersAreConfigurationErrors) {
  std::string dates, ranges;
  for (int i = 1; i <= 25; ++i) {
    dates += " " + std::to_string(i) + " JAN 10:00 \\\n";
    ranges += std::to_string(i) + " MAR 1:00 to " + std::to_string(i) + " MAR 2:00 ";
  }
  load(required_statements() + "UPSTEST" + dates + "\nUPSTEST" + dates + "\nLOGSIZE 2147483647\n" +
       "BACKUPTIME 35791394\n");
  EXPECT_EQ(settings.num_test_schedule, 50);
  EXPECT_EQ(settings.powerfail_timeout, 2147483640u);
  const std::string number = "number too large, the largest is 2147483647";
  const std::string minutes = "minutes too large, the largest is 35791394";
  const std::string nul = "a NUL byte, which no statement may hold";
  const struct {
    std::string content, message;
    int line;
  } cases[] = {
      {"UPSTEST" + dates + "\nUPSTEST" + dates + " 1 FEB 1:00\n", "more than 50 UPSTEST dates", 52},
      {"SHUTDOWN MANUAL " + ranges + "\nSHUTDOWN MANUAL " + ranges + "1 MAY 1:00 to 2 MAY 1:00\n",
       "more than 50 MANUAL shutdown ranges", 2},
      {"\nLOGSIZE 2147483648\n", number, 2},
      {"PORT 99999999999999999999999\n", number, 1},
      {"SHUTDOWN DAILY 99999999999:00 to 1:00\n", number, 1},
      {"UPSTEST 1 JAN 10:4294967296\n", number, 1},
      {"BACKUPTIME 35791395\n", minutes, 1},
      {"\n\nPOWERFAIL_ALERT 2147483647 all x\n", minutes, 3},
      {std::string("\nLISTEN 127.0.0.1\0junk\n", 23), nul, 2},
      {std::string("UPS_LOCATION \"hall\0 B\"\n", 23), nul, 1},
  };
  for (const auto &c : cases) {
    std::string out;
    EXPECT_FALSE(reload(required_statements() + c.content, &out));
    EXPECT_EQ(out, syntax_error(c.line + 17, c.message));
  }
}

TEST_F(ConfigReadTest, AFailedReloadLeavesEverySettingAsItWas) {
  load(required_statements() + "TURNOFF_UPS yes UPS_LOCATION here\nUPSTEST 1 JAN 1:00\n");
  settings.test_schedule_list[0].executed = 1;
  const std::string before = test::settings_text(settings);
  const std::string bad[] = {
      "PORT 1\nLOGSIZE x\n",
      required_statements({"COMM_ERROR_LOG"}) + "TURNOFF_UPS no\n",
      "TURNOFF_UPS no\n" + std::string(9000, 'x'),
      "LOGSIZE 9999999999\n",
  };
  for (const std::string &content : bad) {
    EXPECT_FALSE(reload(content));
    EXPECT_EQ(test::settings_text(settings), before);
  }
  // A missing file, and one that opens but cannot be read (a directory); the
  // reason the log gets names the file and why.
  const std::pair<std::string, const char *> unreadable[] = {
      {home.file("gone"), "No such file or directory"}, {home.path(), "Is a directory"}};
  for (const auto &[path, why] : unreadable) {
    std::snprintf(config_filename, sizeof config_filename, "%s", path.c_str());
    CaptureStderr();
    std::string reason;
    EXPECT_FALSE(config_reload(&reason));
    EXPECT_EQ(GetCapturedStderr(), "Brenmoor Tornax X : Cannot open Configuration file\n");
    EXPECT_EQ(reason, "Cannot open Configuration file (" + path + ": " + why + ")");
    EXPECT_EQ(test::settings_text(settings), before);
  }
}

TEST_F(ConfigReadTest, AReloadKeepsWhatTheNewFileDoesNotName) {
  load(required_statements() +
       "TURNOFF_UPS yes BACKUPTIME 5 LOGSIZE 9 PORT 5000 UPS_LOCATION here\n"
       "POWERFAIL_PAGER yes \"555\"\nSHUTDOWN DAILY 22:00 to 6:00\nUPSTEST 1 JAN 1:00\n");
  settings.test_schedule_list[0].executed = 1;
  ASSERT_TRUE(reload(required_statements({"WALLPATH"})));
  EXPECT_EQ(*settings.wall_cmd, "/usr/bin/wall -n");
  EXPECT_EQ(settings.turnoff_ups, 1);
  EXPECT_EQ(settings.powerfail_timeout, 300u);
  EXPECT_EQ(settings.logsize, 9u);
  EXPECT_EQ(settings.port, 4004);
  EXPECT_EQ(*settings.ups_location, "here");
  EXPECT_EQ(settings.pager[0].message, "555");
  EXPECT_EQ(settings.shutdown_schedule_mode, schedule_daily);
  EXPECT_EQ(settings.shutdown_schedule_list[0].downtime.tm_hour, 22);
  EXPECT_EQ(settings.num_test_schedule, 0);
  EXPECT_EQ(settings.test_schedule_list[0].executed, 1);
  EXPECT_TRUE(schedule_kept_without_statement());
  // A manual schedule left out of the new file keeps its mode but no ranges.
  ASSERT_TRUE(reload(required_statements() + "SHUTDOWN MANUAL 1 MAY 0:00 to 2 MAY 0:00\n"));
  ASSERT_TRUE(reload(required_statements()));
  EXPECT_EQ(settings.shutdown_schedule_mode, schedule_manual);
  EXPECT_EQ(settings.num_shutdown_schedule, 0);
  EXPECT_FALSE(schedule_kept_without_statement());  // nothing left to trigger
}

TEST_F(ConfigReadTest, ShutdownNoneEndsTheSchedule) {
  load(required_statements() + "SHUTDOWN WEEKLY 23:00#FRI to 7:00#MON\n");
  EXPECT_FALSE(schedule_kept_without_statement());  // the file names it
  ASSERT_TRUE(reload(required_statements() + "SHUTDOWN\nSHUTDOWN MANUAL\n"));
  EXPECT_TRUE(schedule_kept_without_statement());
  ASSERT_TRUE(reload(required_statements() + "SHUTDOWN None\n"));
  EXPECT_EQ(settings.shutdown_schedule_mode, schedule_none);
  EXPECT_FALSE(schedule_kept_without_statement());
  std::string out;
  EXPECT_FALSE(reload(required_statements() + "SHUTDOWN all\n", &out));
  EXPECT_EQ(out, syntax_error(18));
}

TEST_F(ConfigReadTest, FilesOfAnyLengthLoad) {
  std::string content = required_statements();
  for (int i = 0; i < 3000; ++i) {
    content += "# the port, once more\n\nPORT " + std::to_string(i) + "\n";
  }
  load(content);
  EXPECT_EQ(settings.port, 2999);
}

// A status-server thread copies texts under the lock while reloads replace them.
TEST_F(ConfigReadTest, ReloadsDoNotRaceWithReaders) {
  load(required_statements() + "UPS_LOCATION l MAX_CLIENT 1\n");
  std::atomic<bool> done{false};
  std::thread reader([&done] {
    while (!done) {
      pthread_mutex_lock(&tornax_mutex);
      const std::string location = settings.ups_location.value_or("NA");
      const int clients = settings.max_client;
      pthread_mutex_unlock(&tornax_mutex);
      ASSERT_EQ(location.size(), static_cast<std::size_t>(clients));
    }
  });
  for (int i = 1; i <= 200; ++i) {
    write(required_statements() + "UPS_LOCATION " + std::string(i, 'l') + " MAX_CLIENT " +
          std::to_string(i) + "\n");
    ASSERT_TRUE(config_reload());
  }
  done = true;
  reader.join();
}

std::string sample_config() {
  std::ifstream file(std::string(TORNAX_SOURCE_DIR) + "/packaging/tornax.conf");
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

TEST_F(ConfigReadTest, TheSampleConfigurationLoadsAndSoDoItsExamples) {
  load(sample_config());
  EXPECT_EQ(*settings.ups_filename, "/dev/ttyS0");
  EXPECT_EQ(*settings.wall_cmd, "/usr/bin/wall");
  EXPECT_EQ(settings.alert[0].interval, 300);
  EXPECT_EQ(settings.max_client, 0);
  // Every "#" directly before a statement comments out an example; the key
  // file it names is made here.
  const std::string key = test::write_key_file(home.file("status.key"), test::key_hex);
  load(edit_lines(sample_config(), [&key](std::string &line) {
    if (line.size() > 1 && line[0] == '#' && line[1] != ' ') {
      line.erase(0, 1);
    }
    if (line.rfind("STATUS_KEY ", 0) == 0) {
      line = "STATUS_KEY " + key;
    }
    return true;
  }));
  EXPECT_EQ(settings.pager[2].message, "ATDT5550100,,,,1003");
  EXPECT_EQ(settings.max_client, 10);
  EXPECT_FALSE(settings.listen.empty());
  EXPECT_FALSE(settings.allow.empty());
  EXPECT_GT(settings.max_client_per_host, 0);
  EXPECT_TRUE(settings.status_key);
  EXPECT_EQ(settings.nut_port, 3493);
  EXPECT_EQ(settings.nut_users.size(), 1u);
  EXPECT_EQ(settings.shutdown_schedule_mode, schedule_manual);
  EXPECT_EQ(settings.num_shutdown_schedule, 2);
  EXPECT_EQ(settings.num_test_schedule, 4);
}

}  // namespace
}  // namespace tornax
