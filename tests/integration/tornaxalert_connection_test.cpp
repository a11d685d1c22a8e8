// The client's connection loop against scripted servers on loopback, with the
// reconnect wait through its seam.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/connection.h"
#include "client/follow.h"
#include "common/status_auth.h"
#include "tests/kit/loopback.h"
#include "tests/support/recording_alerts.h"
#include "tests/support/scripted_server.h"
#include "tests/support/status_key.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::Script;
using test::ScriptedServer;
using Lines = std::vector<std::string>;

// ---- readline ---------------------------------------------------------------

struct Read {
  int result;
  std::string text;
};

// Feeds `bytes` through a pipe that then ends, and reads until the end.
std::vector<Read> read_lines(const std::string &bytes, int maxlen) {
  int ends[2];
  EXPECT_EQ(pipe(ends), 0);
  EXPECT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(ends[1]);
  std::vector<Read> reads;
  for (;;) {
    char buffer[receive_buffer_size];
    std::memset(buffer, '#', sizeof buffer);
    buffer[sizeof buffer - 1] = '\0';
    const int result = readline(ends[0], buffer, maxlen);
    reads.push_back({result, result > 0 ? buffer : std::string(buffer, 3)});
    if (result <= 0) {
      break;
    }
  }
  close(ends[0]);
  return reads;
}

bool operator==(const Read &a, const Read &b) {
  return a.result == b.result && a.text == b.text;
}
void PrintTo(const Read &r, std::ostream *out) {
  *out << "{" << r.result << ", \"" << r.text << "\"}";
}

TEST(ReadlineTest, LinesLimitsAndTheEndOfTheStream) {
  const struct {
    std::string bytes;
    int maxlen;
    std::vector<Read> reads;
  } cases[] = {
      {"TN0100\nab\n\n", 128, {{7, "TN0100"}, {3, "ab"}, {1, ""}, {0, "###"}}},
      // The limit takes maxlen - 1 bytes; the NUL replaces the last of them,
      // and the rest of the line comes as the next one.
      {"abcdefg\n", 4, {{4, "ab"}, {4, "de"}, {2, "g"}, {0, "###"}}},
      {std::string(200, 'x') + "\n",
       128,
       {{128, std::string(126, 'x')}, {74, std::string(73, 'x')}, {0, "###"}}},
      // A line cut by the end of the stream loses its last character.
      {"8 230", 128, {{6, "8 23"}, {0, "###"}}},
      {"", 128, {{0, "###"}}},
      {"z", 2, {{2, ""}, {0, "###"}}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(read_lines(c.bytes, c.maxlen), c.reads) << c.bytes.substr(0, 20);
  }
}

TEST(ReadlineTest, ErrorsAndBadLimits) {
  char buffer[8] = "keep";
  EXPECT_EQ(readline(-1, buffer, sizeof buffer), -1);
  const int write_only = open("/dev/null", O_WRONLY);
  EXPECT_EQ(readline(write_only, buffer, sizeof buffer), -1);
  close(write_only);
  const int readable = open("/dev/zero", O_RDONLY);
  EXPECT_EQ(readline(readable, buffer, 1), -1);
  EXPECT_EQ(readline(readable, buffer, 0), -1);
  close(readable);
  EXPECT_STREQ(buffer, "keep");
}

// ---- the connection loop ------------------------------------------------------

const char *header = "TN0100\n#Kyrel   1000VA\n\"Server room\"\n";

std::string status_line(unsigned int word, int remaining = 30, int schedule = -1) {
  char text[128];
  std::snprintf(text, sizeof text, "%x 230.0 230.0 100 20 50.0 1.2 %d -1 OK %d\n", word, remaining,
                schedule);
  return text;
}

std::vector<unsigned int> sleeps;
void record_sleep(unsigned int seconds) {
  sleeps.push_back(seconds);
}

class FollowServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sleeps.clear();
    limits.sleep = record_sleep;
    limits.stall = std::chrono::milliseconds(5000);
    settings.host = "127.0.0.1";
    settings.shutdown_cmd = "record-shutdown";
  }

  // Runs the loop against the daemons at `ports` (the first the command
  // line's, at `host`); keeps what it printed.
  int follow(int port, const std::vector<int> &more = {}, const std::string &host = "127.0.0.1") {
    settings.host = host;
    settings.port = static_cast<unsigned int>(port);
    std::vector<FollowedSupply> supplies = {supply(host, port)};
    for (const int each : more) {
      supplies.push_back(supply("127.0.0.1", each));
    }
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = follow_supplies(settings, supplies, actions, limits);
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    return status;
  }
  FollowedSupply supply(const std::string &host, int port) const {
    const auto at = static_cast<unsigned int>(port);
    return {supply_name(host, at), resolve_server(host, at).value(), settings.key};
  }
  std::string connected(int port) const {
    return "Connected to 127.0.0.1:" + std::to_string(port) + "\n";
  }

  AlertSettings settings;
  ConnectionLimits limits;
  test::RecordingAlerts actions;
  std::string out, err;
};

const std::string lost = "Brenmoor Tornax Alert : Connection lost\n";
const std::string wait = "Brenmoor Tornax Alert : Wait 60 seconds to reconnect\n";
const std::string expired = "Brenmoor Tornax Alert : Reconnect time expired. Quit.\n";

TEST_F(FollowServerTest, FollowsLinesUntilTheServerClosesThenQuits) {
  ScriptedServer server({{std::string(header) + status_line(0x08)}});
  EXPECT_EQ(follow(server.port()), 0);
  EXPECT_EQ(actions.lines,
            (Lines{"alert 2 Low battery detect", "alert 2 Low battery detect,shutdown executed",
                   "run record-shutdown"}));
  EXPECT_EQ(out, connected(server.port()));
  EXPECT_EQ(err, lost + expired);
  EXPECT_TRUE(sleeps.empty());
}

// A full server is a passing condition: the reconnect rules apply.
TEST_F(FollowServerTest, RefusalLineCountsAsALostConnection) {
  const std::string refused = "Brenmoor Tornax Alert : Server is full, connection refused\n";
  settings.reconnect_remain = 1;
  ScriptedServer server(
      {{"Max client reach.Try again later\n"}, {std::string(header) + status_line(0x02)}});
  EXPECT_EQ(follow(server.port()), 0);
  EXPECT_EQ(err, refused + lost + wait + lost + expired);
  EXPECT_EQ(sleeps, std::vector<unsigned int>{60});
  EXPECT_EQ(actions.lines, Lines{"alert 2 Power fail detect"});
  ScriptedServer full({{"Max client reach.Try again later\n"}});
  settings.reconnect_remain = 0;
  EXPECT_EQ(follow(full.port()), 0);
  EXPECT_EQ(err, refused + lost + expired);
}

TEST_F(FollowServerTest, GreetingIsJudgedByItsFirstFourCharacters) {
  const struct {
    const char *greeting;
    int status;
  } cases[] = {{"TN0199\n", 0}, {"TN01\n", 0}, {"TN0\n", 1}, {"tn0100\n", 1}, {"XTN0100\n", 1}};
  for (const auto &c : cases) {
    ScriptedServer server({{std::string(c.greeting) + "x\nNA\n"}});
    EXPECT_EQ(follow(server.port()), c.status) << c.greeting;
  }
}

TEST_F(FollowServerTest, ReconnectsAfterAMinuteWhileAttemptsRemain) {
  settings.reconnect_remain = 2;
  const std::string session = std::string(header) + status_line(0x02);
  ScriptedServer server({{session}, {session}, {session}});
  EXPECT_EQ(follow(server.port()), 0);
  EXPECT_EQ(server.connections(), 3);
  EXPECT_EQ(sleeps, (std::vector<unsigned int>{60, 60}));
  EXPECT_EQ(err, lost + wait + lost + wait + lost + expired);
  const std::string c = connected(server.port());
  EXPECT_EQ(out, c + c + c);
  // The counters outlive reconnects: one failure of three lines, one alert.
  EXPECT_EQ(actions.lines, Lines{"alert 2 Power fail detect"});
}

TEST_F(FollowServerTest, RefusedConnectIsReportedAndCountsAsLost) {
  int port = 0;
  const int probe = test::listen_loopback(&port);
  ASSERT_GE(probe, 0);
  close(probe);  // nothing listens there now
  settings.reconnect_remain = 1;
  EXPECT_EQ(follow(port), 0);
  const std::string refused = "Connect: Connection refused\n";
  EXPECT_EQ(err, refused + lost + wait + refused + lost + expired);
  EXPECT_EQ(out, "");
  EXPECT_EQ(sleeps, std::vector<unsigned int>{60});
}

TEST_F(FollowServerTest, SilentServerCountsAsLostAfterTheReadTimeOut) {
  limits.stall = std::chrono::milliseconds(200);
  settings.reconnect_remain = 1;
  // One server goes silent after a status line, the next within its header.
  ScriptedServer server({{std::string(header) + status_line(0x02), true}, {"TN0100\n", true}});
  EXPECT_EQ(follow(server.port()), 0);
  EXPECT_EQ(server.connections(), 2);
  EXPECT_EQ(err, lost + wait + lost + expired);
  EXPECT_EQ(actions.lines, Lines{"alert 2 Power fail detect"});
}

// A byte now and then keeps a read from timing out, but no line ever comes:
// the stall limit is for whole lines.
TEST_F(FollowServerTest, ATricklingServerIsAStalledServer) {
  limits.stall = std::chrono::milliseconds(600);
  const std::string lines = std::string(header) + status_line(0x02);
  ScriptedServer server({{lines + std::string(400, '7'), true, nullptr, 100, true, 4}});
  EXPECT_EQ(follow(server.port()), 0);
  EXPECT_EQ(err, lost + expired);
  EXPECT_EQ(actions.lines, Lines{"alert 2 Power fail detect"});
}

// Over IPv6, and a name with addresses of both families: each is tried in
// turn until one takes the connection.
TEST_F(FollowServerTest, IPv6LiteralsAndEachAddressInTurn) {
  ScriptedServer six({{std::string(header) + status_line(0x02)}}, true);
  EXPECT_EQ(follow(six.port(), {}, "::1"), 0);
  EXPECT_EQ(out, "Connected to ::1:" + std::to_string(six.port()) + "\n");
  EXPECT_EQ(actions.lines, Lines{"alert 2 Power fail detect"});
  // A name whose first address (IPv6) refuses and whose second takes it.
  ScriptedServer four({{std::string(header) + status_line(0x02)}});
  const auto at = static_cast<unsigned int>(four.port());
  FollowedSupply both{"both", resolve_server("::1", at).value(), std::nullopt};
  both.addresses.push_back(resolve_server("127.0.0.1", at).value().front());
  actions.lines.clear();
  testing::internal::CaptureStderr();
  EXPECT_EQ(follow_supplies(settings, {both}, actions, limits), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), lost + expired);
  EXPECT_EQ(four.connections(), 1);
  EXPECT_EQ(actions.lines, Lines{"alert 2 Power fail detect"});
}

TEST_F(FollowServerTest, HostileBytesNeitherOverflowNorStopTheLoop) {
  std::string bytes = header;
  bytes += std::string(1000, 'Z') + "\n";                          // an over-long line
  bytes += "0 1 2 3 4 5 6 7 8 " + std::string(300, 'T') + " 4\n";  // a long field 10
  bytes += std::string("\0\x01\xff garbage \r\n", 15);
  bytes += status_line(0x02);
  bytes += "2 230.0 23";  // cut off by the end of the stream
  ScriptedServer server({{bytes}});
  EXPECT_EQ(follow(server.port()), 0);
  EXPECT_EQ(actions.lines, Lines{"alert 2 Power fail detect"});
}

// ---- the authenticated stream ------------------------------------------------

// What a daemon holding the key `key_hex` sends a client whose hello is
// `hello`: its answer, then the header and `lines` (without line ends), each
// tagged in turn.
std::string keyed_session(const std::string &hello, const std::string &key_hex,
                          const Lines &lines) {
  const std::optional<AuthNonce> client_nonce = parse_auth_hello(hello);
  if (!client_nonce) {
    return "";
  }
  const AuthNonce daemon_nonce = new_auth_nonce();
  AuthStream stream(test::key_of(key_hex), *client_nonce, daemon_nonce);
  std::string bytes = auth_hello(daemon_nonce);
  Lines all = {"TN0100", "#Kyrel   1000VA", "NA"};
  all.insert(all.end(), lines.begin(), lines.end());
  for (const std::string &line : all) {
    char tagged[auth_line_size];
    bytes.append(tagged, stream.tag(line, tagged));
  }
  return bytes;
}

std::string bare(const std::string &line) {
  return line.substr(0, line.size() - 1);
}

const std::string on_battery = bare(status_line(0x02));
const std::string low_battery = bare(status_line(0x0a));

TEST_F(FollowServerTest, WithTheKeyOnlyVerifiedLinesInTheirTurnCount) {
  settings.key = test::key_of(test::key_hex);
  using Answer = std::function<std::string(const std::string &)>;
  const struct {
    const char *name;
    Answer answer;
    std::string why;  // empty: every line verified
    Lines actions;
  } cases[] = {
      {"verified",
       [](const std::string &hello) {
         return keyed_session(hello, test::key_hex, {on_battery, on_battery});
       },
       "",
       {"alert 2 Power fail detect"}},
      {"wrong key",
       [](const std::string &hello) {
         return keyed_session(hello, test::other_key_hex, {low_battery});
       },
       "line 0 has a bad tag",
       {}},
      {"tampered field",
       [](const std::string &hello) {
         std::string bytes = keyed_session(hello, test::key_hex, {on_battery});
         bytes[bytes.rfind("\n", bytes.size() - 2) + 1] = '8';  // the status word
         return bytes;
       },
       "line 3 has a bad tag",
       {}},
      {"replayed line",
       [](const std::string &hello) {
         const std::string bytes = keyed_session(hello, test::key_hex, {on_battery});
         return bytes + bytes.substr(bytes.rfind("\n", bytes.size() - 2) + 1);
       },
       "line 3 where line 4 was due",
       {"alert 2 Power fail detect"}},
      {"no key on the server",
       [](const std::string &) { return std::string(header) + status_line(0x0a); },
       "the server does not authenticate its lines",
       {}},
  };
  for (const auto &c : cases) {
    actions.lines.clear();
    ScriptedServer server({{"", false, c.answer}});
    EXPECT_EQ(follow(server.port()), 0) << c.name;
    Lines expected = c.actions;
    std::string reported = lost + expired;
    if (!c.why.empty()) {
      expected.push_back(std::string("alert 2 ") + unverified_alert);
      reported = "Brenmoor Tornax Alert : " + std::string(unverified_alert) + " (" + c.why + ")\n" +
                 reported;
    }
    EXPECT_EQ(actions.lines, expected) << c.name;
    EXPECT_EQ(err, reported) << c.name;
  }
}

// A man in the middle who holds the keyed lines back and lets one through
// now and then: each comes within the stall limit, but the stream falls
// ever further behind the daemon's pace.
TEST_F(FollowServerTest, AKeyedStreamHeldBackIsLost) {
  settings.key = test::key_of(test::key_hex);
  limits.stall = std::chrono::milliseconds(1000);
  limits.slowest_line = std::chrono::milliseconds(20);
  const Lines lines(20, on_battery);
  // The answer and the header at once, then a status line every 300 ms.
  ScriptedServer server(
      {{"", true,
        [&lines](const std::string &hello) { return keyed_session(hello, test::key_hex, lines); },
        300, false, 4}});
  EXPECT_EQ(follow(server.port()), 0);
  EXPECT_EQ(actions.lines.front(), "alert 2 Power fail detect");
  EXPECT_EQ(err.rfind("Brenmoor Tornax Alert : " + std::string(stale_message) + " (line ", 0), 0u)
      << err;
  EXPECT_NE(err.find(" s behind the daemon's pace)\n" + lost + expired), std::string::npos) << err;
  EXPECT_EQ(actions.lines.back(), std::string("alert 2 ") + stale_message);
  // All at once, as a daemon sends its header and first line, is on time.
  ScriptedServer prompt({{"", false, [&lines](const std::string &hello) {
                            return keyed_session(hello, test::key_hex, lines);
                          }}});
  EXPECT_EQ(follow(prompt.port()), 0);
  EXPECT_EQ(err, lost + expired);
}

// Lines recorded from one connection are worthless in the next: its hello
// carries a new nonce.
TEST_F(FollowServerTest, LinesOfAnEarlierConnectionFailInTheNext) {
  settings.key = test::key_of(test::key_hex);
  settings.reconnect_remain = 1;
  std::string recorded;
  ScriptedServer server({{"", false,
                          [&recorded](const std::string &hello) {
                            return recorded = keyed_session(hello, test::key_hex, {on_battery});
                          }},
                         {"", false, [&recorded](const std::string &) { return recorded; }}});
  EXPECT_EQ(follow(server.port()), 0);
  const std::vector<std::string> hellos = server.first_lines();
  ASSERT_EQ(hellos.size(), 2u);
  EXPECT_NE(hellos[0], hellos[1]);
  EXPECT_EQ(actions.lines,
            (Lines{"alert 2 Power fail detect", std::string("alert 2 ") + unverified_alert}));
  EXPECT_NE(err.find("(line 0 has a bad tag)"), std::string::npos) << err;
}

// Without -k the client sends nothing and follows the plain stream as ever.
TEST_F(FollowServerTest, WithoutAKeyTheClientSaysNothing) {
  ScriptedServer server(
      {{"", false, [](const std::string &) { return std::string(header) + status_line(0x02); }}});
  EXPECT_EQ(follow(server.port()), 0);
  EXPECT_EQ(server.first_lines(), std::vector<std::string>{""});
  EXPECT_EQ(actions.lines, Lines{"alert 2 Power fail detect"});
}

// ---- several supplies ----------------------------------------------------------

std::string named(int port, const std::string &text) {
  return "Brenmoor Tornax Alert : 127.0.0.1:" + std::to_string(port) + " : " + text + "\n";
}

// Two supplies, one needed: the first's low battery loses it and the host
// stays; the second's silence on battery loses it too, and the host goes.
TEST_F(FollowServerTest, SeveralSuppliesAndTheMinimum) {
  ScriptedServer a({{std::string(header) + status_line(0x0a)}});
  ScriptedServer b({{std::string(header) + status_line(0x02)}});
  EXPECT_EQ(follow(a.port(), {b.port()}), 0);
  const std::string na = "alert 2 127.0.0.1:" + std::to_string(a.port()) + " : ";
  const std::string nb = "alert 2 127.0.0.1:" + std::to_string(b.port()) + " : ";
  // The order between the supplies is the order their lines came in.
  const Lines expected_a = {na + "Power fail detect", na + "Low battery detect",
                            na + "Supply lost (low battery)"};
  const Lines expected_b = {nb + "Power fail detect",
                            nb + "Supply lost (its lines stopped while on battery)",
                            "alert 2 Too few healthy supplies (0 of 2, 1 needed),shutdown executed",
                            "run record-shutdown"};
  Lines seen_a, seen_b;
  for (const std::string &line : actions.lines) {
    (line.rfind(na, 0) == 0 ? seen_a : seen_b).push_back(line);
  }
  EXPECT_EQ(seen_a, expected_a);
  EXPECT_EQ(seen_b, expected_b);
  EXPECT_EQ(actions.lines.back(), "run record-shutdown");
  EXPECT_NE(err.find(named(b.port(), "Connection lost") +
                     named(b.port(), "Supply lost (its lines stopped while on battery)") +
                     named(b.port(), "Reconnect time expired")),
            std::string::npos)
      << err;
  EXPECT_EQ(err.substr(err.size() - expired.size()), expired);
  EXPECT_NE(out.find("Connected to 127.0.0.1:" + std::to_string(b.port()) + "\n"),
            std::string::npos);
}

TEST(ResolveServerTest, LiteralsOfBothFamiliesNamesAndUnknownNames) {
  const auto port_of = [](const ServerAddress &address) {
    return ntohs(reinterpret_cast<const sockaddr_in &>(address.address).sin_port);
  };
  const struct {
    const char *host;
    unsigned int port;
    std::vector<std::string> addresses;  // empty: any, as the resolver gives them
    int port_used;
  } cases[] = {
      {"10.1.2.3", 4004, {"10.1.2.3"}, 4004},
      {"255.255.255.255", 65536 + 4005, {"255.255.255.255"}, 4005},
      {"::1", 4006, {"::1"}, 4006},
      {"fe80::1:2", 4004, {"fe80::1:2"}, 4004},
      {"localhost", 4004, {}, 4004},
  };
  for (const auto &c : cases) {
    const std::optional<std::vector<ServerAddress>> resolved = resolve_server(c.host, c.port);
    ASSERT_TRUE(resolved.has_value()) << c.host;
    std::vector<std::string> texts;
    for (const ServerAddress &address : *resolved) {
      texts.push_back(address_text(address));
      EXPECT_EQ(port_of(address), c.port_used) << c.host;
    }
    if (!c.addresses.empty()) {
      EXPECT_EQ(texts, c.addresses);
    } else {
      EXPECT_FALSE(texts.empty());
    }
  }
  EXPECT_FALSE(resolve_server("no-such-host.invalid", 4004).has_value());
}

}  // namespace
}  // namespace tornax
