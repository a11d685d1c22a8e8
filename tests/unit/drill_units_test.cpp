// The drill's pure parts: its options, the copy of a configuration made from
// where the daemon says each statement stands, and the status words told.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drill/admin_config.h"
#include "drill/options.h"
#include "drill/report.h"
#include "drill/status_watch.h"
#include "wire_protocol.h"

namespace tornax::drill {
namespace {

// "<scenario> <backuptime> <port or -> <home> <set statements...>" or "!<error>".
std::string parsed(std::vector<const char *> args) {
  args.insert(args.begin(), "tornax-drill");
  std::string error;
  const std::optional<DrillOptions> o =
      parse_options(static_cast<int>(args.size()), args.data(), &error);
  if (!o) {
    return "!" + error;
  }
  std::string text = o->scenario + " " + std::to_string(o->backuptime) + " " +
                     (o->port ? std::to_string(*o->port) : "-") + " " + o->home;
  for (const std::string &statement : o->overrides) {
    text += " [" + statement + "]";
  }
  return text + (o->mode == Mode::interactive ? " i" : "") + (o->client ? " c" : "");
}

TEST(DrillOptionsTest, ValuesAndRefusals) {
  const std::vector<std::pair<std::vector<const char *>, std::string>> cases = {
      {{}, "outage 1 - "},
      {{"--scenario", "timeout", "--backuptime", "999", "/srv/ups"}, "timeout 999 - /srv/ups"},
      {{"--set", "BACKUPTIME 2", "--set", "MAX_CLIENT 1", "-i", "--client", "--port", "1"},
       "outage 1 1  [BACKUPTIME 2] [MAX_CLIENT 1] i c"},
      {{"--scenario", "flood"}, "!unknown scenario flood (outage, silent, timeout or schedule)"},
      {{"--scenario"}, "!--scenario needs a name"},
      {{"--backuptime", "0"}, "!--backuptime needs 1 to 999 minutes"},
      {{"--backuptime", "1000"}, "!--backuptime needs 1 to 999 minutes"},
      {{"--port", "65536"}, "!--port needs a port number from 1 to 65535"},
      {{"--port", "x"}, "!--port needs a port number from 1 to 65535"},
      {{"-x"}, "!unknown option -x"},
      {{"a", "b"}, "!one home or configuration only"},
  };
  for (const auto &[args, expected] : cases) {
    EXPECT_EQ(parsed(args), expected) << testing::PrintToString(args);
  }
}

// The copy drops whole lines, continuations included, by the places the
// daemon's reading gave; two statements on one line go together.
TEST(DrillCopyTest, DropsTheLinesOfReplacedStatements) {
  const AdminConfig config(R"({"summary": {}, "statements": [
      {"keyword": "UPS_DEVICE", "first_line": 2, "last_line": 2},
      {"keyword": "MAX_CLIENT", "first_line": 2, "last_line": 2},
      {"keyword": "SHUTDOWN", "first_line": 3, "last_line": 4},
      {"keyword": "WALLPATH", "first_line": 5, "last_line": 5}]})");
  const std::string file =
      "# UPS_DEVICE in a comment\nUPS_DEVICE /dev/ttyS0 MAX_CLIENT 3\nSHUTDOWN MANUAL \\\r\n"
      "  1 JAN 1:00 to 1 JAN 2:00\nWALLPATH wall";
  EXPECT_EQ(config.without_statements(file, {"UPS_DEVICE", "SHUTDOWN"}),
            "# UPS_DEVICE in a comment\nWALLPATH wall\n");
  EXPECT_EQ(config.without_statements(file, {}), file + "\n");
  EXPECT_EQ(keyword_of("  POWERFAIL_ALERT 5 all \"x\""), "POWERFAIL_ALERT");
  EXPECT_THROW(AdminConfig("Brenmoor Tornax X : Configuration Error! line 2: syntax error"),
               std::exception);
}

TEST(DrillStatusTest, StatusWordsAsRemoteHostsReadThem) {
  EXPECT_EQ(status_meaning(0), "on mains");
  EXPECT_EQ(status_meaning(ext_powerfail | ext_lowbatt), "on battery, low battery");
  EXPECT_EQ(status_meaning(ext_comm_error | ext_schedule_down | ext_overload),
            "UPS not answering, scheduled shutdown counting down");
}

// A reading the UPS protocol lacks is neither shown from the status lines
// nor counted, nor advised, in a finding.
TEST(DrillLacksTest, LackedReadingsAreNotShownNorAdvised) {
  const std::string line = "2 230.0 229.9 95 23 50.0 1.3 40 -1 OK 0";
  EXPECT_EQ(hide_fields(line, {}), line);
  EXPECT_EQ(hide_fields(line, {2, 8}), "2 230.0 - 95 23 50.0 1.3 40 - OK 0");

  const struct {
    const char *lacks;
    std::vector<std::string> found;
  } cases[] = {
      {"[]", {}},  // SHUTDOWN_RUNTIME guards
      {R"(["runtime"])",
       {"only the UPS's own low-battery mark shuts the host down: an aged battery can run empty "
        "first; set BACKUPTIME or SHUTDOWN_CHARGE (this UPS tells no runtime)"}},
  };
  for (const auto &c : cases) {
    const AdminConfig config(std::string(R"({"summary": {}, "statements": [],
        "events": [{"name": "POWERFAIL", "alert": {"scope": "all"}, "page": {"enabled": false},
                    "hook": null}],
        "modem_device": null, "broadcast_command": null,
        "network": {"status_server": {"max_client": 0}, "nut_server": {"port": 0}},
        "shutdown": {"backuptime_s": 0, "runtime_below_s": 300, "charge_below_percent": 0,
                     "silent_shutdown_s": 60, "script": "runs"},
        "ups": {"switch_off": true, "lacks": )") +
                             c.lacks + "}}");
    RunFacts run;
    run.batch = false;
    EXPECT_EQ(findings({config, {}, run}), c.found) << c.lacks;
  }
}

}  // namespace
}  // namespace tornax::drill
