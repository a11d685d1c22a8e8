// The simulated UPS's control language and how it shows received bytes.
#include "sim/control.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

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
  const char *const battery_error = "error: battery takes one number from 0 to 100";
  const char *const mark_error =
      "error: mark takes one of ! $ * @ space, then optionally a count; or 'mark off'";
  const std::tuple<const char *, const char *, const char *> cases[] = {
      {"mains off", "ok", "mains off"},
      {"  mains   off  ", "ok", "mains off"},
      {"mains", "ok", "mains on"},
      {"mains maybe", "error: mains takes on or off, not 'maybe'", "mains on"},
      {"lowbatt", "ok", "low battery yes"},
      {"battery 40", "ok", "battery 40%"},
      {"battery 140", battery_error, "battery 100%"},
      {"battery 4x", battery_error, "battery 100%"},
      {"battery nan", battery_error, "battery 100%"},
      {"silent", "ok", "silent"},
      {"silent 5", "ok", "silent"},
      {"silent -1",
       "error: silent takes a number of seconds (up to 86400), or nothing for "
       "until 'talk'",
       "talking"},
      {"talk", "ok", "talking"},
      {"mark ! 3", "ok", R"(mark "!")"},
      {"mark space", "ok", R"(mark " ")"},
      {"mark x", mark_error, "mark auto"},
      {"mark ! 0", mark_error, "mark auto"},
      {"mark ! 1.5", mark_error, "mark auto"},
      {"teststatus FAL", "ok", "self-test FAL"},
      {"id", "error: id takes a text", "mains on"},
      {"frobnicate", "error: unknown command 'frobnicate' (try help)", "mains on"},
      {"noise 20", "ok", "faults noise 20/s,"},
      {"noise loud", "error: noise takes bytes a second (up to 100000), or off", "faults none"},
      {"garbage", "ok", "faults garbage,"},
      {"lineend lfcr", "ok", R"(faults lineend "\n\r",)"},
      {"lineend dos", "error: lineend takes crlf, lf, cr, lfcr or none", "faults none"},
      {"split 1", "ok", "faults split 1/20ms,"},
      {"split 3 0", "ok", "faults split 3/0ms,"},
      {"split 0",
       "error: split takes the byte to split at (1 to 64), then optionally a gap in ms; or off",
       "faults none"},
      {"trickle 5", "ok", "faults trickle 5ms,"},
      {"trickle off", "ok", "faults none"},
      {"stall 900", "ok", "faults stall 900ms,"},
      {"stall 0", "error: stall takes a pause in ms (1 to 600000), or off", "faults none"},
      {"flood 64", "ok", "faults flood 64,"},
      {"flood 5000", "error: flood takes a number of bytes (1 to 4096), or off", "faults none"},
      {"faults 30", "ok", "faults none"},
      {"faults off", "ok", "faults none"},
      {"exit", "bye", "mains on"},
      {"# a comment", "", "mains on"},
      {"", "", "mains on"},
  };
  for (const auto &[line, answer, shows] : cases) {
    SimulatedUps ups;
    const ControlResult result = run_control(ups, line);
    EXPECT_EQ(result.answer, answer) << "line '" << line << "'";
    EXPECT_EQ(result.quit, result.answer == "bye");
    EXPECT_NE(ups.describe().find(shows), std::string::npos)
        << "line '" << line << "': " << ups.describe();
  }
}

TEST(ControlLanguage, HelpListsEveryCommandOnce) {
  SimulatedUps ups;
  const std::string help = run_control(ups, "help").answer;
  EXPECT_EQ(help, control_help());
  for (const char *name : {"mains on|off ", "noise RATE|off ", "garbage on|off ", "lineend END ",
                           "split N [MS]|off ", "trickle MS|off ", "stall MS|off ",
                           "flood BYTES|off ", "faults PCT|off ", "hangup ", "quit "}) {
    EXPECT_EQ(help.find(std::string("\n") + name) != std::string::npos || help.find(name) == 0,
              true)
        << name;
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
