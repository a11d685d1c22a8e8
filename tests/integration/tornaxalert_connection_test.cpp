// The client's connection loop against scripted servers on loopback, with the
// reconnect wait through its seam.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/connection.h"
#include "tests/support/loopback.h"
#include "tests/support/recording_alerts.h"
#include "tests/support/scripted_server.h"
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
    std::memset(status, 0, sizeof status);
    sleeps.clear();
    set_reconnect_sleep(record_sleep);
    read_timeout_ms = 5000;
    settings.host = "127.0.0.1";
    settings.shutdown_cmd = "record-shutdown";
  }
  void TearDown() override { set_reconnect_sleep(nullptr); }

  // Runs the loop against `port`; keeps what it printed.
  int follow(int port) {
    settings.port = static_cast<unsigned int>(port);
    const std::optional<sockaddr_in> server = resolve_server("127.0.0.1", settings.port);
    EXPECT_TRUE(server.has_value());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = follow_server(settings, *server, actions);
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    return status;
  }
  std::string connected(int port) const {
    return "Connected to 127.0.0.1:" + std::to_string(port) + "\n";
  }

  AlertSettings settings;
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

TEST_F(FollowServerTest, RefusalLineIsAnUnknownProtocolWithoutRetry) {
  settings.reconnect_remain = 3;
  ScriptedServer server({{"Max client reach.Try again later\n"}, {header}});
  EXPECT_EQ(follow(server.port()), 1);
  EXPECT_EQ(err, "Brenmoor Tornax Alert : Unknow protocol\n");
  EXPECT_EQ(server.connections(), 1);
  EXPECT_TRUE(sleeps.empty());
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
  EXPECT_EQ(status[POWERFAIL], 3u);
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
  read_timeout_ms = 200;
  settings.reconnect_remain = 1;
  // One server goes silent after a status line, the next within its header.
  ScriptedServer server({{std::string(header) + status_line(0x02), true}, {"TN0100\n", true}});
  EXPECT_EQ(follow(server.port()), 0);
  EXPECT_EQ(server.connections(), 2);
  EXPECT_EQ(err, lost + wait + lost + expired);
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
  EXPECT_STREQ(ups_teststatus, "TTT");
}

TEST(ResolveServerTest, DottedAddressesNamesAndUnknownNames) {
  std::optional<sockaddr_in> address = resolve_server("10.1.2.3", 4004);
  ASSERT_TRUE(address.has_value());
  EXPECT_EQ(ntohl(address->sin_addr.s_addr), 0x0a010203u);
  EXPECT_EQ(ntohs(address->sin_port), 4004);
  address = resolve_server("255.255.255.255", 65536 + 4005);
  ASSERT_TRUE(address.has_value());
  EXPECT_EQ(address->sin_addr.s_addr, 0xffffffffu);
  EXPECT_EQ(ntohs(address->sin_port), 4005);
  address = resolve_server("localhost", 4004);
  ASSERT_TRUE(address.has_value());
  EXPECT_EQ(ntohl(address->sin_addr.s_addr) >> 24, 127u);
  EXPECT_FALSE(resolve_server("no-such-host.invalid", 4004).has_value());
}

}  // namespace
}  // namespace tornax
