// The simulated UPS's control language and how it shows received bytes.
#include "sim/control.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/simulated_ups.h"

namespace tornax {
namespace {

TEST(DescribeBytes, QuotesTextAndCountsTrailingPadding) {
  struct Case {
    std::string bytes;
    const char *shown;
  } cases[] = {
      {"L\n", R"("L\n")"},
      {std::string("TD=5\n") + std::string(10, '\0'), R"("TD=5\n" + 10 NUL)"},
      {"TD=-2147483648\n", R"("TD=-2147483648\n")"},
      {std::string("a\0b", 3), R"("a\x00b")"},
      {"\"\\\r\t\x7f", R"("\"\\\r\t\x7f")"},
      {"", R"("")"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(describe_bytes(c.bytes), c.shown);
  }
}

// Each line is run on a fresh simulator; `shows` must appear in its state.
TEST(ControlLanguage, CommandsChangeTheStateOrSayWhyNot) {
  struct Case {
    const char *line;
    const char *answer;
    const char *shows;
  } cases[] = {
      {"mains off", "ok", "mains off"},
      {"  mains   off  ", "ok", "mains off"},
      {"mains", "ok", "mains on"},
      {"mains maybe", "error: mains takes on or off, not 'maybe'", "mains on"},
      {"lowbatt", "ok", "low battery yes"},
      {"battery 40", "ok", "battery 40%"},
      {"battery 140", "error: battery takes one number from 0 to 100", "battery 100%"},
      {"battery 4x", "error: battery takes one number from 0 to 100", "battery 100%"},
      {"battery nan", "error: battery takes one number from 0 to 100", "battery 100%"},
      {"silent", "ok", "silent"},
      {"silent 5", "ok", "silent"},
      {"silent -1",
       "error: silent takes a number of seconds (up to 86400), or nothing for "
       "until 'talk'",
       "talking"},
      {"talk", "ok", "talking"},
      {"mark ! 3", "ok", R"(mark "!")"},
      {"mark space", "ok", R"(mark " ")"},
      {"mark x", "error: mark takes one of ! $ * @ space, then optionally a count; or 'mark off'",
       "mark auto"},
      {"mark ! 0", "error: mark takes one of ! $ * @ space, then optionally a count; or 'mark off'",
       "mark auto"},
      {"mark ! 1.5",
       "error: mark takes one of ! $ * @ space, then optionally a count; or 'mark off'",
       "mark auto"},
      {"teststatus FAL", "ok", "self-test FAL"},
      {"id", "error: id takes a text", "mains on"},
      {"frobnicate", "error: unknown command 'frobnicate' (try help)", "mains on"},
      {"# a comment", "", "mains on"},
      {"", "", "mains on"},
  };
  for (const Case &c : cases) {
    SimulatedUps ups;
    const ControlResult result = run_control(ups, c.line);
    EXPECT_EQ(result.answer, c.answer) << "line '" << c.line << "'";
    EXPECT_FALSE(result.quit);
    EXPECT_NE(ups.describe().find(c.shows), std::string::npos)
        << "line '" << c.line << "': " << ups.describe();
  }
}

TEST(ControlLanguage, QuitEndsAndLogShowsWhatCameIn) {
  SimulatedUps ups;
  EXPECT_TRUE(run_control(ups, "quit").quit);
  EXPECT_EQ(run_control(ups, "log").answer, "nothing received");
  EXPECT_EQ(run_control(ups, "log 0").answer, "error: log takes a number of entries");
}

}  // namespace
}  // namespace tornax
