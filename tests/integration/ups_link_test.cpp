// The UPS link over a real pty against the simulated UPS: the command bytes,
// flushing, reply parsing, marks, the identification line, silence, the
// control commands and the self-test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "daemon/core/clock.h"
#include "daemon/core/timings.h"
#include "daemon/ups/ups.h"
#include "tests/support/sim_fixture.h"
#include "tornax.h"

namespace tornax {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string queue() {
  return std::string(prefixqueue + 1, static_cast<std::size_t>(last_prefixqueue));
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One query of the table: how to run it and show its result as text.
struct QueryCase {
  const char *name;
  const char *command;  // sent bytes
  std::function<int(int fd, std::string *result)> run;
};

QueryCase number_case(const char *name, const char *command, int (*query)(int, float *)) {
  return {name, command, [query](int fd, std::string *result) {
            float value = -1.0f;
            const int n = query(fd, &value);
            char text[64];
            std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
            *result = text;
            return n;
          }};
}

const QueryCase query_cases[] = {
    number_case("linevoltage", "L\n", get_linevoltage),
    number_case("invvoltage", "O\n", get_invvoltage),
    number_case("percentbatt", "B%\n", get_percentbatt),
    number_case("percentloadpower", "P\n", get_percentloadpower),
    number_case("freq", "F\n", get_freq),
    number_case("loadcurrent", "I\n", get_loadcurrent),
    number_case("backuptime", "T\n", get_backuptime),
    number_case("linenormal", "LN\n", get_linenormal),
    number_case("loadpower", "PW\n", get_loadpower),
    number_case("chargercurrent", "G\n", get_chargercurrent),
    number_case("battvolt", "B\n", get_battvolt),
    {"upsteststatus", "S5\n",
     [](int fd, std::string *result) {
       const int n = get_upsteststatus(fd, ups_teststatus);
       *result = ups_teststatus;
       return n;
     }},
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const QueryCase &q, std::ostream *out) {
  *out << q.name;
}

std::string key_of(const char *command) {
  return std::string(command, std::strlen(command) - 1);
}

class QueryTest : public test::SimulatedUpsTest, public ::testing::WithParamInterface<QueryCase> {};

INSTANTIATE_TEST_SUITE_P(AllQueries, QueryTest, ::testing::ValuesIn(query_cases),
                         [](const auto &case_info) { return std::string(case_info.param.name); });

TEST_P(QueryTest, SendsItsCommandAndParsesTheReply) {
  const QueryCase &q = GetParam();
  const bool backup = key_of(q.command) == "T";
  const bool text = key_of(q.command) == "S5";
  const std::string reply = backup ? "1:30" : text ? "PAS" : "87.5";
  sim.set_reply(key_of(q.command), reply);
  std::string result;
  EXPECT_EQ(q.run(fd, &result), static_cast<int>(reply.size()) + 2);
  EXPECT_EQ(result, backup ? "90" : reply);
  EXPECT_EQ(test::last_commands(sim, 1), std::vector<std::string>{q.command});
}

// Input that waits unread when the query starts is no answer to it (a late
// reply, noise, a flood carrying "*"): every query discards it.
TEST_P(QueryTest, DiscardsStaleInputFirst) {
  const QueryCase &q = GetParam();
  sim.set_raw_reply("Z", "*777\r\n");
  ASSERT_EQ(write(fd, "Z\n", 2), 2);
  ASSERT_TRUE(test::wait_for_pending_input(fd, 6));
  sim.set_reply(key_of(q.command), key_of(q.command) == "T" ? "0:55" : "55");
  std::string result;
  q.run(fd, &result);
  EXPECT_EQ(result, "55");
  EXPECT_EQ(queue(), "");
}

TEST_P(QueryTest, SilentUpsCostsTheReadTimeOutAndAnswersZero) {
  const QueryCase &q = GetParam();
  std::strcpy(ups_teststatus, "OLD");
  sim.set_silent(true);
  const Clock::time_point start = Clock::now();
  std::string result;
  EXPECT_EQ(q.run(fd, &result), 0);
  EXPECT_GE(seconds_since(start), 0.7);
  // Number queries store 0; the self-test status keeps the last text.
  EXPECT_EQ(result, key_of(q.command) == "S5" ? "OLD" : "0");
}

// The reply's text, gathered up to its line end, less that line end; a reply
// that is not well formed stores nothing and queues nothing.
class ReplyParseTest : public test::SimulatedUpsTest {
 protected:
  void SetUp() override {
    SimulatedUpsTest::SetUp();
    timings.reply_timeout = 200ms;  // replies without their line end wait it out
  }
  float line_voltage(const std::string &raw_reply, int *count = nullptr) {
    sim.set_raw_reply("L", raw_reply);
    float value = -1.0f;
    const int n = get_linevoltage(fd, &value);
    if (count != nullptr) {
      *count = n;
    }
    return value;
  }
};

TEST_F(ReplyParseTest, WorkedExchange) {
  int count = 0;
  EXPECT_EQ(line_voltage("!230.5\r\n", &count), 230.5f);
  EXPECT_EQ(count, 8);
  EXPECT_EQ(queue(), "!");
}

TEST_F(ReplyParseTest, RepliesThatAreNotWellFormedAreNoAnswer) {
  struct Case {
    const char *reply;
    float value;  // -1: nothing stored
    int count;
    const char *queued;
  } cases[] = {
      {"1 5\r\n", 105.0f, 5, ""},
      {"12345678901234\r\n", 12345678901234.0f, 16, ""},  // 16 bytes, 14 kept
      {"@ 12\r\n", 12.0f, 6, "@"},
      {"*12345678901234567890\r\n", -1.0f, 0, ""},  // over-long: 16 read, no line end
      {"*229.9V\r\n", -1.0f, 0, ""},
      {"*230\n", -1.0f, 0, ""},
      {"*230", -1.0f, 0, ""},  // waits for the line end in vain
      {"*", -1.0f, 0, ""},
      {"\x80*\xff\r\n", -1.0f, 0, ""},
  };
  for (const Case &c : cases) {
    test::reset_daemon_state();
    int count = -5;
    EXPECT_EQ(line_voltage(c.reply, &count), c.value) << describe_bytes(c.reply);
    EXPECT_EQ(count, c.count) << describe_bytes(c.reply);
    EXPECT_EQ(queue(), c.queued) << describe_bytes(c.reply);
  }
}

TEST_F(ReplyParseTest, BackupTimeTexts) {
  struct Case {
    const char *reply;
    float minutes;
  } cases[] = {
      {"1:30\r\n", 90.0f},
      {"2\r\n", 120.0f},
      {":45\r\n", 45.0f},
      {"!0:10\r\n", 10.0f},
      {"0:5x\r\n", -1.0f},  // refused: nothing stored
      {"99999999999999\r\n", static_cast<float>(99999999999999.0 * 60.0)},
  };
  for (const Case &c : cases) {
    sim.set_raw_reply("T", c.reply);
    float value = -1.0f;
    get_backuptime(fd, &value);
    EXPECT_EQ(value, c.minutes) << describe_bytes(c.reply);
  }
}

TEST_F(ReplyParseTest, SelfTestStatusIsCutToItsFieldAndNothingBeyondIsWritten) {
  const std::tuple<const char *, const char *, const char *> cases[] = {
      {"OK\r\n", "OK", ""},    {"ABCDEF\r\n", "ABC", ""},
      {"!AB\r\n", "0AB", "!"}, {"!ABCDEFGHIJ\r\n", "old", ""},  // over-long: refused
      {"X", "old", ""},                                         // no line end: refused
  };
  for (const auto &[reply, status, queued] : cases) {
    test::reset_daemon_state();
    sim.set_raw_reply("S5", reply);
    char field[12];
    std::memset(field, 'Z', sizeof field);
    std::strcpy(field, "old");
    get_upsteststatus(fd, field);
    EXPECT_STREQ(field, status) << describe_bytes(reply);
    EXPECT_EQ(std::string(field + ups_teststatus_size, 8), "ZZZZZZZZ");
    EXPECT_EQ(queue(), queued);
  }
}

// A read that returns only the first bytes of a reply (as USB serial adapters
// do) keeps the mark and the rest; the next query gets its own reply.
TEST_F(ReplyParseTest, ReplyInPiecesIsGathered) {
  struct Case {
    const char *how;
    std::function<void()> set;
  } cases[] = {
      {"split after its mark", [this] { sim.set_split(1, 20ms); }},
      {"a byte at a time", [this] { sim.set_trickle(5ms); }},
  };
  for (const Case &c : cases) {
    test::reset_daemon_state();
    sim.clear_faults();
    c.set();
    sim.force_mark('!', 1);
    float value = 0.0f;
    EXPECT_EQ(get_linevoltage(fd, &value), 8) << c.how;  // "!230.5\r\n"
    EXPECT_EQ(value, 230.5f) << c.how;
    EXPECT_EQ(queue(), "!") << c.how;
    EXPECT_EQ(get_percentbatt(fd, &value), 5) << c.how;
    EXPECT_EQ(value, 100.0f) << c.how;
  }
}

// A reply that stops in its middle for longer than the time-out is no
// answer, and its rest, arriving later, is no answer to the next query.
TEST_F(ReplyParseTest, StalledReplyIsNoAnswerAndItsRestIsDiscarded) {
  sim.set_stall(300ms);
  sim.force_mark('*', 1);
  float value = -1.0f;
  EXPECT_EQ(get_linevoltage(fd, &value), 0);
  EXPECT_EQ(value, -1.0f);
  sim.clear_faults();
  std::this_thread::sleep_for(400ms);  // the rest has come meanwhile
  EXPECT_EQ(get_percentbatt(fd, &value), 5);
  EXPECT_EQ(value, 100.0f);
  EXPECT_EQ(queue(), "");
}

// A line whose other side closed (a pty hung up, an adapter unplugged) is a
// failed exchange, so the daemon closes it and opens the device again.
TEST_F(ReplyParseTest, HungUpLineFails) {
  sim.hang_up();
  float value = -1.0f;
  testing::internal::CaptureStderr();
  EXPECT_LT(get_linevoltage(fd, &value), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "get_linevoltage():write() fail: Input/output error\n"
            "get_linevoltage():read() fail: Input/output error\n");
}

TEST_F(ReplyParseTest, SameMarkOnAllEightRepliesQueuesOnce) {
  sim.force_mark('!');
  float value;
  int (*chain[])(int, float *) = {get_linevoltage,      get_invvoltage, get_percentbatt,
                                  get_percentloadpower, get_freq,       get_loadcurrent,
                                  get_backuptime};
  for (auto query : chain) {
    EXPECT_GT(query(fd, &value), 0);
  }
  EXPECT_GT(get_upsteststatus(fd, ups_teststatus), 0);
  EXPECT_EQ(queue(), "!");
}

class IdentificationTest : public test::SimulatedUpsTest {};

TEST_F(IdentificationTest, ReadsOneLineAsItStands) {
  sim.set_identification("!TXSIM-1 Kyrel 1000VA");
  EXPECT_EQ(get_version(fd, ups_version), 23);
  EXPECT_STREQ(ups_version, "!TXSIM-1 Kyrel 1000VA");
  EXPECT_EQ(last_prefixqueue, 0);  // no mark handling on identification
  EXPECT_EQ(test::last_commands(sim, 1), std::vector<std::string>{"V?\n"});
}

TEST_F(IdentificationTest, OverlongLineIsCutAndItsRestDiscarded) {
  const std::string id(60, 'a');
  sim.set_identification(id);
  EXPECT_EQ(get_version(fd, ups_version), 50);
  EXPECT_EQ(std::string(ups_version), id.substr(0, 48));
  // The rest of the line is gone and the line is raw again: the next query
  // reads its own reply.
  float value = 0.0f;
  EXPECT_EQ(get_percentbatt(fd, &value), 5);  // no flush: would see the rest
  EXPECT_EQ(value, 100.0f);
}

// Back in raw mode the read returns what came; in canonical mode it would
// wait for a line end for ever.
TEST_F(IdentificationTest, PartialLineIsNotWaitedForInRawModeAfterwards) {
  sim.set_raw_reply("L", "5");  // no line end: refused once the time-out passed
  ASSERT_GT(get_version(fd, ups_version), 0);
  float value = 0.0f;
  EXPECT_EQ(get_linevoltage(fd, &value), 0);
}

TEST_F(IdentificationTest, SilentUpsDoesNotHoldTheStartForEver) {
  std::strcpy(ups_version, "old");
  sim.set_silent(true);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(get_version(fd, ups_version), 0);
  EXPECT_GE(seconds_since(start), identification_timeout_ms / 1000.0 - 0.05);
  EXPECT_STREQ(ups_version, "");
}

TEST_F(IdentificationTest, LineWithoutItsEndIsNotTakenAsIdentification) {
  sim.set_raw_reply("V?", "TXSIM-1 Kyrel");
  EXPECT_EQ(get_version(fd, ups_version), 0);
  EXPECT_STREQ(ups_version, "");
}

class ControlCommandTest : public test::SimulatedUpsTest {};

TEST_F(ControlCommandTest, FifteenBytesWhateverTheNumber) {
  struct Case {
    void (*send)(int, int);
    int value;
    std::string bytes;
  } cases[] = {
      {set_shutdowndelay, 5, std::string("TD=5\n") + std::string(10, '\0')},
      {set_shutdowndelay, 120, std::string("TD=120\n") + std::string(8, '\0')},
      {shutdown_ups, 0, std::string("D=0\n") + std::string(11, '\0')},
      {shutdown_ups, -30, std::string("D=-30\n") + std::string(9, '\0')},
      {set_shutdowndelay, INT_MIN, "TD=-2147483648\n"},
      {shutdown_ups, INT_MAX, std::string("D=2147483647\n") + std::string(2, '\0')},
  };
  std::size_t count = 0;
  for (const Case &c : cases) {
    c.send(fd, c.value);
    ASSERT_TRUE(sim.wait_for_received(++count, 5s));
    const ReceivedCommand got = sim.received().back();
    EXPECT_EQ(got.bytes, c.bytes) << c.value;
    EXPECT_EQ(got.reply, "");
  }
}

std::vector<unsigned int> slept;
void record_sleep(unsigned int seconds) {
  slept.push_back(seconds);
}

TEST_F(ControlCommandTest, SelfTestStartsWaitsAndReadsItsStatus) {
  slept.clear();
  set_sleep_function(record_sleep);
  sim.set_raw_reply("Z", "stale\r\n");
  ASSERT_EQ(write(fd, "Z\n", 2), 2);
  ASSERT_TRUE(test::wait_for_pending_input(fd, 7));
  sim.force_mark('!', 1);  // the test's status reply carries the mark

  EXPECT_EQ(ups_test(fd, ups_teststatus), 5);
  EXPECT_EQ(slept, std::vector<unsigned int>{15});
  EXPECT_STREQ(ups_teststatus, "0OK");
  EXPECT_STREQ(ups_test_result, "OK");  // the test's own text, for the surfaces
  EXPECT_EQ(queue(), "!");
  EXPECT_EQ(test::last_commands(sim, 2), (std::vector<std::string>{"XT\n", "S5\n"}));
}

}  // namespace
}  // namespace tornax
