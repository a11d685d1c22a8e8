#include "daemon/core/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tornax {
namespace {

// "ftjhV" lists the flags that came out set (f, t, json, h, V); an error is
// "!<text>".
std::string parsed(const std::vector<const char *> &args) {
  std::vector<const char *> argv = {"tornax"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string error;
  const std::optional<DaemonOptions> options =
      parse_options(static_cast<int>(argv.size()), argv.data(), &error);
  if (!options) {
    return "!" + error;
  }
  return std::string(options->foreground ? "f" : "") + (options->check ? "t" : "") +
         (options->json ? "j" : "") + (options->help ? "h" : "") + (options->version ? "V" : "") +
         (options->switch_off ? "S(" + options->verb + ")" : "") +
         (options->keeper ? "K" + std::to_string(options->keeper_seconds) : "");
}

TEST(ParseOptionsTest, LettersAloneOrGroupedAndNoArguments) {
  const std::vector<std::pair<std::vector<const char *>, std::string>> cases = {
      {{}, ""},
      {{"-f"}, "f"},
      {{"-t"}, "t"},
      {{"-h"}, "h"},
      {{"-V"}, "V"},
      {{"-ft"}, "ft"},
      {{"-f", "--"}, "f"},
      {{"-x"}, "!unknown option -x"},
      {{"-fv"}, "!unknown option -v"},
      {{"--help"}, "!unknown option --help"},
      {{"-t", "--json"}, "tj"},
      {{"--json", "-ft"}, "ftj"},
      {{"--json"}, "!--json needs -t"},
      {{"--t"}, "!unknown option --t"},
      {{"-json"}, "!unknown option -j"},
      {{"start"}, "!unexpected argument start"},
      {{"-"}, "!unexpected argument -"},
      {{"--", "-f"}, "!unexpected argument -f"},
      {{"-S"}, "S()"},
      {{"-S", "poweroff"}, "S(poweroff)"},
      {{"-S", "halt", "now"}, "!unexpected argument now"},
      {{"--keeper", "120"}, "K120"},
      {{"--keeper"}, "!--keeper needs its seconds"},
      {{"--keeper", "0"}, "!--keeper takes 1 to 3600 seconds, not 0"},
      {{"--keeper", "12x"}, "!--keeper takes 1 to 3600 seconds, not 12x"},
      {{"-S", "--keeper", "5"}, "!unexpected argument 5"},
  };
  for (const auto &[args, expected] : cases) {
    EXPECT_EQ(parsed(args), expected) << testing::PrintToString(args);
  }
}

TEST(UsageTextTest, ListsEveryOption) {
  const std::string usage = usage_text();
  EXPECT_EQ(usage.substr(0, usage.find('\n')), "Usage: tornax [-f] [-t] [-S] [-h] [-V]");
  for (const char *option : {"\n  -f  ", "\n  -t  ", "\n  --json  ", "\n  -S  ", "\n  --keeper  ",
                             "\n  -h  ", "\n  -V  "}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace tornax
