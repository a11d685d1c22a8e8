#include "daemon/net/nut_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "daemon/net/nut_variables.h"
#include "tornax.h"

namespace tornax {
namespace {

CycleFacts on_line_readings() {
  CycleFacts r;
  r.cycled = true;
  r.values.linevoltage = 229.84f;
  r.linenormal = 230.0f;
  r.values.invvoltage = 230.0f;
  r.values.percentbatt = 99.6f;
  r.values.percentloadpower = 21.0f;
  r.values.freq = 50.0f;
  r.values.loadcurrent = 1.25f;
  r.backuptime = 12.5f;
  std::strcpy(r.values.teststatus, "0OK");  // the status line's, a reply's mark as "0"
  std::strcpy(r.values.test_result, "OK");
  r.ups_version = "UPS-1000 Kyrel\r\n";
  return r;
}

// A server with one UPS, one account (upsmon/secret) and one host logged in.
struct FakeServer {
  NutView view;
  int logins = 0;
  bool tls_offered = false;
  bool tls_required = false;
  NutServerSide side() {
    return {[this] { return view; },
            [this](const std::string &name, const std::string &password) {
              const bool valid = name == "upsmon" && password == "secret";
              logins += valid ? 1 : 0;
              return valid;
            },
            tls_offered, tls_required};
  }
  FakeServer() {
    view.ups_name = "tornax";
    view.description = "Server room";
    view.stale = false;
    view.variables = nut_variables(on_line_readings(), false);
    view.numlogins = 1;
    view.clients = {"192.0.2.7"};
  }
};

std::string ask(FakeServer &server, NutSession &session, const std::string &line) {
  return answer_nut_request(line, session, server.side());
}

TEST(NutProtocolTest, AnswersEachReadRequestExactly) {
  const std::pair<const char *, const char *> cases[] = {
      {"VER", "Brenmoor Tornax X 1.40\n"},
      {"NETVER", "1.3\n"},
      {"PROTVER", "1.3\n"},
      {"LIST UPS", "BEGIN LIST UPS\nUPS tornax \"Server room\"\nEND LIST UPS\n"},
      {"LIST RW tornax", "BEGIN LIST RW tornax\nEND LIST RW tornax\n"},
      {"LIST CMD tornax", "BEGIN LIST CMD tornax\nEND LIST CMD tornax\n"},
      {"LIST ENUM tornax ups.status",
       "BEGIN LIST ENUM tornax ups.status\nEND LIST ENUM tornax ups.status\n"},
      {"LIST RANGE tornax battery.charge",
       "BEGIN LIST RANGE tornax battery.charge\nEND LIST RANGE tornax battery.charge\n"},
      {"LIST CLIENT tornax",
       "BEGIN LIST CLIENT tornax\nCLIENT tornax 192.0.2.7\n"
       "END LIST CLIENT tornax\n"},
      {"GET VAR tornax ups.status", "VAR tornax ups.status \"OL\"\n"},
      {"get var tornax battery.charge", "VAR tornax battery.charge \"100\"\n"},
      {"GET VAR tornax battery.runtime", "VAR tornax battery.runtime \"750\"\n"},
      {"GET VAR tornax input.voltage", "VAR tornax input.voltage \"229.8\"\n"},
      {"GET VAR tornax ups.model", "VAR tornax ups.model \"UPS-1000 Kyrel\"\n"},
      {"GET VAR tornax ups.test.result", "VAR tornax ups.test.result \"OK\"\n"},
      {"GET VAR \"tornax\" driver.name\r", "VAR tornax driver.name \"tornax\"\n"},
      {"GET TYPE tornax input.voltage", "TYPE tornax input.voltage NUMBER\n"},
      {"GET TYPE tornax ups.status", "TYPE tornax ups.status STRING:32\n"},
      {"GET DESC tornax ups.load", "DESC tornax ups.load \"Load on UPS (percent of full)\"\n"},
      {"GET UPSDESC tornax", "UPSDESC tornax \"Server room\"\n"},
      {"GET NUMLOGINS tornax", "NUMLOGINS tornax 1\n"},
      {"  ", ""},
  };
  for (const auto &[request, answer] : cases) {
    FakeServer server;
    NutSession session;
    EXPECT_EQ(ask(server, session, request), answer) << request;
  }
}

TEST(NutProtocolTest, ErrorsAsTheProtocolNamesThem) {
  const std::pair<const char *, const char *> cases[] = {
      {"FROB", "UNKNOWN-COMMAND"},
      {"GET VAR other ups.status", "UNKNOWN-UPS"},
      {"LIST VAR other", "UNKNOWN-UPS"},
      {"GET NUMLOGINS other", "UNKNOWN-UPS"},
      {"GET VAR tornax ups.nothing", "VAR-NOT-SUPPORTED"},
      {"GET VAR tornax battery.charge.low", "VAR-NOT-SUPPORTED"},  // no threshold set
      {"GET VAR tornax ups.temperature", "VAR-NOT-SUPPORTED"},     // none measured
      {"GET VAR tornax ups.mfr", "VAR-NOT-SUPPORTED"},             // the UPS doesn't say
      {"GET TYPE tornax ups.nothing", "VAR-NOT-SUPPORTED"},
      {"LIST ENUM tornax ups.nothing", "VAR-NOT-SUPPORTED"},
      {"GET CMDDESC tornax test.battery.start", "CMD-NOT-SUPPORTED"},
      {"GET VAR tornax", "INVALID-ARGUMENT"},
      {"GET VAR tornax ups.status extra", "INVALID-ARGUMENT"},
      {"GET", "INVALID-ARGUMENT"},
      {"LIST", "INVALID-ARGUMENT"},
      {"LIST THINGS tornax", "INVALID-ARGUMENT"},
      {"VER now", "INVALID-ARGUMENT"},
      {"GET VAR \"tornax ups.status", "INVALID-ARGUMENT"},
      {"GET VAR tornax ups.status\\", "INVALID-ARGUMENT"},
      {"LOGIN tornax", "USERNAME-REQUIRED"},
      {"SET VAR tornax ups.delay.shutdown 20", "USERNAME-REQUIRED"},
      {"INSTCMD tornax shutdown.return", "USERNAME-REQUIRED"},
      {"FSD tornax", "ACCESS-DENIED"},
      {"PRIMARY tornax", "ACCESS-DENIED"},
      {"MASTER tornax", "ACCESS-DENIED"},
      {"STARTTLS", "FEATURE-NOT-CONFIGURED"},
  };
  for (const auto &[request, error] : cases) {
    FakeServer server;
    NutSession session;
    EXPECT_EQ(ask(server, session, request), std::string("ERR ") + error + "\n") << request;
  }
}

// A client that reads the UPS while it does not answer must see it as lost,
// not as healthy with the last readings.
TEST(NutProtocolTest, StaleDataIsWithheldButItsFactsAreNot) {
  FakeServer server;
  server.view.stale = true;
  NutSession session;
  EXPECT_EQ(ask(server, session, "GET VAR tornax ups.status"), "ERR DATA-STALE\n");
  EXPECT_EQ(ask(server, session, "LIST VAR tornax"), "ERR DATA-STALE\n");
  EXPECT_EQ(ask(server, session, "GET TYPE tornax ups.status"),
            "TYPE tornax ups.status STRING:32\n");
  EXPECT_EQ(ask(server, session, "GET VAR other ups.status"), "ERR UNKNOWN-UPS\n");
  // A shutdown that began while the UPS was silent still reaches its hosts.
  server.view.forced_shutdown = true;
  server.view.variables = nut_variables(on_line_readings(), true);
  EXPECT_EQ(ask(server, session, "GET VAR tornax ups.status"),
            "VAR tornax ups.status \"FSD OL\"\n");
  EXPECT_EQ(ask(server, session, "GET VAR tornax battery.charge"), "ERR DATA-STALE\n");
}

TEST(NutProtocolTest, LoginCountsOnlyAValidAccountOnce) {
  FakeServer server;
  NutSession session;
  EXPECT_EQ(ask(server, session, "USERNAME upsmon"), "OK\n");
  EXPECT_EQ(ask(server, session, "USERNAME other"), "ERR ALREADY-SET-USERNAME\n");
  EXPECT_EQ(ask(server, session, "LOGIN tornax"), "ERR PASSWORD-REQUIRED\n");
  EXPECT_EQ(ask(server, session, "SET VAR tornax x 1"), "ERR PASSWORD-REQUIRED\n");
  EXPECT_EQ(ask(server, session, "PASSWORD \"secret\""), "OK\n");
  EXPECT_EQ(ask(server, session, "PASSWORD again"), "ERR ALREADY-SET-PASSWORD\n");
  EXPECT_EQ(ask(server, session, "LOGIN other"), "ERR UNKNOWN-UPS\n");
  EXPECT_EQ(ask(server, session, "LOGIN tornax"), "OK\n");
  EXPECT_EQ(ask(server, session, "LOGIN tornax"), "ERR ALREADY-LOGGED-IN\n");
  EXPECT_EQ(ask(server, session, "INSTCMD tornax load.off"), "ERR ACCESS-DENIED\n");
  EXPECT_EQ(server.logins, 1);
  EXPECT_TRUE(session.logged_in);
  EXPECT_FALSE(session.closing);
  EXPECT_EQ(ask(server, session, "LOGOUT"), "OK Goodbye\n");
  EXPECT_TRUE(session.closing);

  NutSession wrong;
  ask(server, wrong, "USERNAME upsmon");
  ask(server, wrong, "PASSWORD guess");
  EXPECT_EQ(ask(server, wrong, "LOGIN tornax"), "ERR ACCESS-DENIED\n");
  EXPECT_FALSE(wrong.logged_in);
}

// STARTTLS is taken once, and only with a certificate; a server that
// requires TLS refuses the credentials and the login in the clear, and
// nothing else.
TEST(NutProtocolTest, StartTlsAndLoginsOnlyOverTls) {
  FakeServer server;
  server.tls_offered = true;
  server.tls_required = true;
  NutSession session;
  for (const char *request : {"USERNAME upsmon", "PASSWORD secret", "LOGIN tornax"}) {
    EXPECT_EQ(ask(server, session, request), "ERR ACCESS-DENIED\n") << request;
  }
  EXPECT_FALSE(session.username || session.password);
  EXPECT_EQ(ask(server, session, "GET VAR tornax ups.status"), "VAR tornax ups.status \"OL\"\n");
  EXPECT_EQ(ask(server, session, "STARTTLS now"), "ERR INVALID-ARGUMENT\n");
  EXPECT_FALSE(session.starting_tls);
  EXPECT_EQ(ask(server, session, "STARTTLS"), "OK STARTTLS\n");
  EXPECT_TRUE(session.starting_tls);
  EXPECT_EQ(ask(server, session, "STARTTLS"), "ERR ALREADY-SSL-MODE\n");
  session.starting_tls = false;  // as the server does once the handshake is done
  session.tls = true;
  EXPECT_EQ(ask(server, session, "STARTTLS"), "ERR ALREADY-SSL-MODE\n");
  EXPECT_EQ(ask(server, session, "USERNAME upsmon"), "OK\n");
  EXPECT_EQ(ask(server, session, "PASSWORD secret"), "OK\n");
  EXPECT_EQ(ask(server, session, "LOGIN tornax"), "OK\n");
  EXPECT_EQ(server.logins, 1);

  server.tls_offered = false;
  server.tls_required = false;
  NutSession plain;
  EXPECT_EQ(ask(server, plain, "USERNAME upsmon"), "OK\n");
  EXPECT_EQ(ask(server, plain, "STARTTLS"), "ERR FEATURE-NOT-CONFIGURED\n");
  EXPECT_FALSE(plain.starting_tls);
}

TEST(NutProtocolTest, WordsAndQuoting) {
  const struct {
    const char *line;
    std::vector<std::string> words;
  } cases[] = {
      {"GET VAR  tornax\tups.status", {"GET", "VAR", "tornax", "ups.status"}},
      {"PASSWORD \"two words\"", {"PASSWORD", "two words"}},
      {"PASSWORD \"a \\\"quote\\\" and \\\\\"", {"PASSWORD", "a \"quote\" and \\"}},
      {"USERNAME \"\"", {"USERNAME", ""}},
      {"", {}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(split_nut_words(c.line), c.words) << c.line;
  }
  EXPECT_EQ(nut_quoted("say \"hi\" \\ now\n"), "\"say \\\"hi\\\" \\\\ now?\"");
}

TEST(NutProtocolTest, HelpNamesEveryCommand) {
  EXPECT_EQ(nut_help_line(),
            "Commands: HELP VER NETVER PROTVER LIST GET USERNAME PASSWORD LOGIN LOGOUT "
            "STARTTLS SET INSTCMD PRIMARY MASTER FSD\n");
}

TEST(NutVariablesTest, StatusFlagsFollowTheStatusWordAndTheShutdown) {
  const struct {
    unsigned short word;
    bool fsd;
    const char *status;
  } cases[] = {
      {0, false, "OL"},
      {ext_powerfail, false, "OB"},
      {ext_powerfail | ext_lowbatt, false, "OB LB"},
      {ext_testing, false, "OL CAL"},
      {ext_powerfail | ext_lowbatt, true, "FSD OB LB"},
      {ext_schedule_down, true, "FSD OL"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(nut_ups_status(c.word, c.fsd), c.status) << c.word;
  }
}

// The thresholds in force and what only some UPSes tell, named as clients
// look them up; LIST VAR keeps its order by name.
TEST(NutVariablesTest, ThresholdsMakerAndTemperatureWhenThereAreAny) {
  CycleFacts facts = on_line_readings();
  facts.shutdown_charge = 20;
  facts.shutdown_runtime = 300;
  facts.ups_mfr = "Maker ";
  facts.values.temp = 31.46f;
  FakeServer server;
  server.view.variables = nut_variables(facts, false);
  NutSession session;
  const std::pair<const char *, const char *> expected[] = {
      {"battery.charge.low", "20"}, {"battery.runtime.low", "300"}, {"device.mfr", "Maker"},
      {"ups.mfr", "Maker"},         {"ups.temperature", "31.5"},
  };
  for (const auto &[name, value] : expected) {
    EXPECT_EQ(ask(server, session, std::string("GET VAR tornax ") + name),
              std::string("VAR tornax ") + name + " \"" + value + "\"\n");
  }
  EXPECT_EQ(ask(server, session, "GET TYPE tornax ups.mfr"), "TYPE tornax ups.mfr STRING:5\n");
  EXPECT_TRUE(
      std::is_sorted(server.view.variables.begin(), server.view.variables.end(),
                     [](const NutVariable &a, const NutVariable &b) { return a.name < b.name; }));
}

TEST(NutVariablesTest, NumbersArePlainWhateverTheUpsSent) {
  EXPECT_EQ(nut_number(229.84f, 1), "229.8");
  EXPECT_EQ(nut_number(1e30f, 1), "999999.0");
  EXPECT_EQ(nut_number(-1e30f, 0), "-999999");
  EXPECT_EQ(nut_number(std::numeric_limits<float>::quiet_NaN(), 0), "0");
  CycleFacts silly = on_line_readings();
  silly.backuptime = -3.0f;
  for (const NutVariable &v : nut_variables(silly, false)) {
    if (v.name == "battery.runtime") {
      EXPECT_EQ(v.value, "0");
    }
  }
}

}  // namespace
}  // namespace tornax
