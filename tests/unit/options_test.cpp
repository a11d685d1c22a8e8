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
         (options->json ? "j" : "") + (options->help ? "h" : "") + (options->version ? "V" : "");
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
  };
  for (const auto &[args, expected] : cases) {
    EXPECT_EQ(parsed(args), expected) << testing::PrintToString(args);
  }
}

TEST(UsageTextTest, ListsEveryOption) {
  const std::string usage = usage_text();
  EXPECT_EQ(usage.substr(0, usage.find('\n')), "Usage: tornax [-f] [-t] [-h] [-V]");
  for (const char *option : {"\n  -f  ", "\n  -t  ", "\n  --json  ", "\n  -h  ", "\n  -V  "}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace tornax
