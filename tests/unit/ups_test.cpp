// The prefix queue, the mark handling of reply texts, and how the UPS link
// reports a line that cannot be used at all.
#include "daemon/ups/ups.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "tests/support/daemon_state.h"
#include "tornax.h"

namespace tornax {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class PrefixQueueTest : public test::DaemonStateTest {
 protected:
  std::string queue() const { return std::string(prefixqueue + 1, last_prefixqueue); }
};

TEST_F(PrefixQueueTest, DropsOnlyImmediateRepeats) {
  const std::pair<const char *, const char *> cases[] = {
      {"!!!!!!!!", "!"},
      {"! !", "! !"},
      {"!!$$!", "!$!"},
      {"*@*@", "*@*@"},
  };
  for (const auto &[marks, queued] : cases) {
    test::reset_daemon_state();
    for (const char *m = marks; *m != '\0'; ++m) {
      append_prefixqueue(*m);
    }
    EXPECT_EQ(queue(), queued) << "marks " << marks;
  }
}

TEST_F(PrefixQueueTest, FullQueueKeepsItsEntriesAndNeverWritesPastIt) {
  prefixqueue[0] = 'X';
  for (int i = 0; i < 40; ++i) {
    append_prefixqueue(i % 2 == 0 ? '!' : '$');
  }
  EXPECT_EQ(last_prefixqueue, prefixqueue_size - 1);
  EXPECT_EQ(queue(), "!$!$!$!$!$!$!$!$!$!");
  EXPECT_EQ(prefixqueue[0], 'X');  // position 0 is never used

  // A count that is out of range leaves the queue alone instead of writing
  // outside it.
  for (int bad : {-1, prefixqueue_size, 1000}) {
    last_prefixqueue = bad;
    append_prefixqueue('*');
    EXPECT_EQ(last_prefixqueue, bad);
  }
}

TEST_F(PrefixQueueTest, ClearPrefixQueuesOnlyTheFirstCharacterAndZeroesEveryMark) {
  const std::tuple<const char *, const char *, const char *> cases[] = {
      {"!230.5", "0230.5", "!"}, {"1 5", "105", ""}, {"230!", "2300", ""},
      {" @$*!", "00000", " "},   {"$", "0", "$"},    {"", "", ""},
  };
  for (const auto &[reply, cleared, queued] : cases) {
    test::reset_daemon_state();
    char text[17] = {};
    std::strcpy(text, reply);
    clear_prefix(text);
    EXPECT_STREQ(text, cleared) << "reply '" << reply << "'";
    EXPECT_EQ(queue(), queued) << "reply '" << reply << "'";
  }
}

// Every reply form the protocol allows, and the ways noise, a wrong line
// speed or a wrong device break one. What is refused counts as no answer.
TEST(ParseReplyTest, AcceptsOnlyWellFormedReplies) {
  using K = ReplyKind;
  struct Case {
    std::string bytes;
    ReplyKind kind;
    bool accepted;
    char mark = '\0';
    float value = 0.0f;
    const char *text = "";
  } cases[] = {
      {"!230.5\r\n", K::number, true, '!', 230.5f, "0230.5"},  // the worked exchange
      {"230.5\r\n", K::number, true, '\0', 230.5f, "230.5"},
      {"1 5\r\n", K::number, true, '\0', 105.0f, "105"},  // an inner mark is a "0"
      {" 50\r\n", K::number, true, ' ', 50.0f, "050"},
      {"*-3.5\r\n", K::number, true, '*', -3.5f, "0-3.5"},
      {"12345678901234\r\n", K::number, true, '\0', 12345678901234.0f, "12345678901234"},
      {"$.5\r\n", K::number, true, '$', 0.5f, "0.5"},
      {"1:30\r\n", K::backup_time, true, '\0', 90.0f, "1:30"},
      {"@2\r\n", K::backup_time, true, '@', 120.0f, "02"},
      {":45\r\n", K::backup_time, true, '\0', 45.0f, ":45"},
      {"-2:00\r\n", K::backup_time, true, '\0', -120.0f, "-2:00"},
      {"OK\r\n", K::test_status, true, '\0', 0.0f, "OK"},
      {"!NO\r\n", K::test_status, true, '!', 0.0f, "0NO"},
      {"\r\n", K::test_status, true},
      {"ABCDEF\r\n", K::test_status, true, '\0', 0.0f, "ABCDEF"},
      // Refused: no value, letters or binary bytes, a second point, a wrong
      // or missing line end, too long for the query.
      {"!\r\n", K::number, false},
      {"\r\n", K::number, false},
      {"229.9V\r\n", K::number, false},
      {"*1e3\r\n", K::number, false},
      {"*inf\r\n", K::number, false},
      {"1.2.3\r\n", K::number, false},
      {"*2\x80\r\n", K::number, false},
      {std::string("*2\0\r\n", 5), K::number, false},
      {"*230\n", K::number, false},
      {"*230\r", K::number, false},
      {"*230", K::number, false},
      {"*230\n\r", K::number, false},
      {"*230\r\r\n", K::number, false},
      {"*", K::number, false},
      {"123456789012345\r\n", K::number, false},
      {"0:5x\r\n", K::backup_time, false},
      {"1.5\r\n", K::backup_time, false},
      {":\r\n", K::backup_time, false},
      {"O\x01K\r\n", K::test_status, false},
      {"ABCDEFG\r\n", K::test_status, false},
  };
  for (const Case &c : cases) {
    const std::optional<ParsedReply> reply = parse_reply(c.bytes, c.kind);
    ASSERT_EQ(reply.has_value(), c.accepted) << testing::PrintToString(c.bytes);
    if (reply) {
      EXPECT_EQ(reply->mark, c.mark) << c.bytes;
      EXPECT_EQ(reply->value, c.value) << c.bytes;
      EXPECT_STREQ(reply->text, c.text) << c.bytes;
    }
  }
}

// With no usable line every step reports its failure and the work goes on:
// a failed read counts as an answer (negative) and leaves the value 0.
class BrokenLineTest : public test::DaemonStateTest {};

TEST_F(BrokenLineTest, EveryNumberQueryReportsWriteAndReadAndStoresZero) {
  struct Case {
    int (*query)(int, float *);
    const char *name;
  } cases[] = {
      {get_linevoltage, "get_linevoltage"},
      {get_invvoltage, "get_invvoltage"},
      {get_percentbatt, "get_percentbatt"},
      {get_percentloadpower, "get_percentloadpower"},
      {get_freq, "get_freq"},
      {get_loadcurrent, "get_loadcurrent"},
      {get_backuptime, "get_backuptime"},
      {get_linenormal, "get_linenormal"},
      {get_loadpower, "get_loadpower"},
      {get_chargercurrent, "get_chargercurrent"},
      {get_battvolt, "get_battvolt"},
  };
  for (const Case &c : cases) {
    float value = 42.0f;
    CaptureStderr();
    EXPECT_LT(c.query(-1, &value), 0) << c.name;
    const std::string name = c.name;
    EXPECT_EQ(GetCapturedStderr(), name + "():write() fail: Bad file descriptor\n" + name +
                                       "():read() fail: Bad file descriptor\n");
    EXPECT_EQ(value, 0.0f) << c.name;
    EXPECT_EQ(last_prefixqueue, 0) << c.name;
  }
}

TEST_F(BrokenLineTest, TextQueriesAndCommandsReportTheirOwnTexts) {
  std::strcpy(ups_teststatus, "OK");
  CaptureStderr();
  EXPECT_LT(get_upsteststatus(-1, ups_teststatus), 0);
  EXPECT_EQ(GetCapturedStderr(),
            "get_upsteststatus():write(status_cmd) fail: Bad file descriptor\n"
            "ups_upsteststatus():read() fail: Bad file descriptor\n");
  EXPECT_STREQ(ups_teststatus, "OK");  // a failed read keeps the last known status

  std::memset(ups_version, 'x', sizeof ups_version);
  CaptureStderr();
  EXPECT_LT(get_version(-1, ups_version), 0);
  EXPECT_EQ(GetCapturedStderr(),
            "get_version():write() fail: Bad file descriptor\n"
            "get_version():read() fail: Bad file descriptor\n");
  EXPECT_STREQ(ups_version, "");

  CaptureStderr();
  set_shutdowndelay(-1, 5);
  shutdown_ups(-1, 0);
  EXPECT_EQ(GetCapturedStderr(),
            "set_shutdowndelay():write() fail: Bad file descriptor\n"
            "shutdown_ups():write() fail: Bad file descriptor\n");
}

// The daemon retries a missing device every cycle: openport itself stays
// silent and leaves errno for the one report the caller makes.
TEST_F(BrokenLineTest, OpenFailureIsReturnedNegativeWithoutAReport) {
  CaptureStderr();
  errno = 0;
  EXPECT_LT(openport("/nonexistent/ups-line"), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(GetCapturedStderr(), "");
}

}  // namespace
}  // namespace tornax
