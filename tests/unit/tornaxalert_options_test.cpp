#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/options.h"
#include "tests/kit/files.h"

namespace tornax {
namespace {

// The client's usage text, exactly as it must print it.
const std::string usage_text =
    test::read_file(std::string(TORNAX_SOURCE_DIR) + "/tests/unit/tornaxalert_usage.txt");

struct Outcome {
  std::optional<int> status;
  std::string out;
  std::string err;
  AlertSettings settings;
};

Outcome parse(std::vector<std::string> words) {
  words.insert(words.begin(), "tornaxalert");
  std::vector<char *> argv;
  for (std::string &word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  Outcome outcome;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  outcome.status =
      parse_command_line(static_cast<int>(words.size()), argv.data(), outcome.settings);
  outcome.out = testing::internal::GetCapturedStdout();
  outcome.err = testing::internal::GetCapturedStderr();
  return outcome;
}

TEST(UsageTest, ExactText) {
  testing::internal::CaptureStdout();
  usage();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), usage_text);
}

TEST(IsnumberTest, FirstNonDigit) {
  const struct {
    const char *text;
    int offset;  // -1: every character is a digit
  } cases[] = {{"", -1},  {"0", -1}, {"0123456789", -1}, {"5x", 1},
               {"-5", 0}, {"+5", 0}, {" 5", 0},          {"1.5", 1}};
  for (const auto &c : cases) {
    const char *first = isnumber(c.text);
    EXPECT_EQ(first == nullptr ? -1 : static_cast<int>(first - c.text), c.offset) << c.text;
  }
}

TEST(CommandLineTest, DefaultsWithOnlyAHost) {
  const Outcome o = parse({"ups-host"});
  EXPECT_EQ(o.status, std::nullopt);
  EXPECT_EQ(o.out + o.err, "");
  EXPECT_EQ(o.settings.host, "ups-host");
  EXPECT_EQ(o.settings.port, 4004u);
  EXPECT_EQ(o.settings.powerfail_shutdown_time, -1);
  EXPECT_EQ(o.settings.schedule_shutdown_time, -1);
  EXPECT_EQ(o.settings.tornaxalert_who, alert_all);
  EXPECT_EQ(o.settings.shutdown_cmd, "/sbin/shutdown -h now");
  EXPECT_EQ(o.settings.wall_cmd, "/usr/bin/wall");
  EXPECT_EQ(o.settings.reconnect_remain, 0);
}

TEST(CommandLineTest, AcceptedOptions) {
  Outcome o = parse({"-p", "5", "-s", "", "-r", "3", "-x", "/bin/true now", "-w", "cat >/dev/null",
                     "-a", "console", "-k", "/etc/tornax.key", "10.0.0.7", "4010", "ignored"});
  EXPECT_EQ(o.status, std::nullopt);
  EXPECT_EQ(o.out, "Alert console\n");
  EXPECT_EQ(o.settings.powerfail_shutdown_time, 5);
  EXPECT_EQ(o.settings.schedule_shutdown_time, 0);  // an empty time counts as 0
  EXPECT_EQ(o.settings.reconnect_remain, 3);
  EXPECT_EQ(o.settings.shutdown_cmd, "/bin/true now");
  EXPECT_EQ(o.settings.wall_cmd, "cat >/dev/null");
  EXPECT_EQ(o.settings.tornaxalert_who, alert_console);
  EXPECT_EQ(o.settings.key_file, "/etc/tornax.key");  // read by the start-up, not here
  EXPECT_EQ(o.settings.host, "10.0.0.7");
  EXPECT_EQ(o.settings.port, 4010u);

  // Each -a acknowledges; the last of a repeated option wins.
  o = parse({"-a", "none", "-a", "all", "-p", "9", "-p", "2", "host"});
  EXPECT_EQ(o.out, "Alert none\nAlert all\n");
  EXPECT_EQ(o.settings.tornaxalert_who, alert_all);
  EXPECT_EQ(o.settings.powerfail_shutdown_time, 2);
}

TEST(CommandLineTest, NumbersConvertWithoutOverflow) {
  const struct {
    const char *reconnect;
    int attempts;
  } cases[] = {{"abc", 0}, {"-2", -2}, {"12abc", 12}, {"99999999999999999999", 2147483647}};
  for (const auto &c : cases) {
    EXPECT_EQ(parse({"-r", c.reconnect, "h"}).settings.reconnect_remain, c.attempts) << c.reconnect;
  }
  EXPECT_EQ(parse({"-p", "99999999999999999999", "h"}).settings.powerfail_shutdown_time,
            2147483647);
  // The port is converted without a check; only its low 16 bits are used later.
  EXPECT_EQ(parse({"h", "70000"}).settings.port, 70000u);
  EXPECT_EQ(parse({"--", "h", "-1"}).settings.port, 4294967295u);
  EXPECT_EQ(parse({"h", "x"}).settings.port, 0u);
}

TEST(CommandLineTest, RefusedCommandLines) {
  const std::string title = "Brenmoor Tornax Alert : ";
  const struct {
    std::vector<std::string> words;
    std::string err;
  } cases[] = {
      {{"-p", "-5", "h"}, title + "Powerfail shutdown time is required\n"},
      {{"-p", "5m", "h"}, title + "Powerfail shutdown time is required\n"},
      {{"-s", "+3", "h"}, title + "Schedule shutdown time is required\n"},
      {{"-a", "", "h"}, "Argument is required for -a\n"},
      {{"-a", "wall", "h"}, "Argument is unknown (-a wall)\n"},
      {{"-a", "None", "h"}, "Argument is unknown (-a None)\n"},
      {{"-x", "", "h"}, "Argument is required for -x\n"},
      {{"-w", "", "h"}, ""},
      {{"-r", "", "h"}, "Argument is required for -r\n"},
      {{"-k", "", "h"}, "Argument is required for -k\n"},
      {{"-z", "h"}, "tornaxalert: invalid option -- 'z'\n" + title + "parameter error\n"},
      {{"h", "-p"},
       "tornaxalert: option requires an argument -- 'p'\n" + title + "parameter error\n"},
      {{}, title + "Hostname is missing\n"},
      {{"-p", "5"}, title + "Hostname is missing\n"},
      {{"-S", "[::1", "h"}, title + "Supply address is invalid (-S [::1)\n"},
      {{"-S", "b:70000", "h"}, title + "Supply address is invalid (-S b:70000)\n"},
      {{"-S", "b:", "h"}, title + "Supply address is invalid (-S b:)\n"},
      {{"-S", "b,", "h"}, title + "Supply address is invalid (-S b,)\n"},
      {{"-m", "0", "h"}, title + "Minimum healthy supplies is required (1 or more)\n"},
      {{"-m", "", "h"}, title + "Minimum healthy supplies is required (1 or more)\n"},
      {{"-m", "2", "h"}, title + "Minimum healthy supplies 2 is more than the 1 followed\n"},
      {{"-m", "3", "-S", "b", "h"},
       title + "Minimum healthy supplies 3 is more than the 2 followed\n"},
  };
  for (const auto &c : cases) {
    const Outcome o = parse(c.words);
    const std::string words = testing::PrintToString(c.words);
    EXPECT_EQ(o.status, 1) << words;
    EXPECT_EQ(o.err, c.err) << words;
    EXPECT_EQ(o.out, usage_text) << words;
  }
}

TEST(CommandLineTest, HelpEndsWithStatusZeroWhereverItStands) {
  Outcome o = parse({"-h"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, usage_text);
  EXPECT_EQ(o.err, "");
  // Options are taken in order: an earlier refusal wins, a later one is never seen.
  EXPECT_EQ(parse({"-p", "x", "-h"}).status, 1);
  o = parse({"-a", "console", "-h", "-p", "x"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "Alert console\n" + usage_text);
}

// Each supply as -S names it, and the name its messages carry.
TEST(CommandLineTest, SuppliesAndTheirNames) {
  const struct {
    std::string text;
    std::string host;
    unsigned int port;
    std::string key_file;
    std::string name;
  } cases[] = {
      {"ups-b", "ups-b", 4004, "", "ups-b:4004"},
      {"ups-b:4010", "ups-b", 4010, "", "ups-b:4010"},
      {"10.0.0.2:4010,/etc/b.key", "10.0.0.2", 4010, "/etc/b.key", "10.0.0.2:4010"},
      {"[::1]:4005", "::1", 4005, "", "[::1]:4005"},
      {"[fe80::2]", "fe80::2", 4004, "", "[fe80::2]:4004"},
      {"::1", "::1", 4004, "", "[::1]:4004"},
      {"2001:db8::5,/k,with,commas", "2001:db8::5", 4004, "/k,with,commas", "[2001:db8::5]:4004"},
  };
  for (const auto &c : cases) {
    const std::optional<SupplyAddress> supply = parse_supply(c.text);
    ASSERT_TRUE(supply.has_value()) << c.text;
    EXPECT_EQ(supply->host, c.host) << c.text;
    EXPECT_EQ(supply->port, c.port) << c.text;
    EXPECT_EQ(supply->key_file, c.key_file) << c.text;
    EXPECT_EQ(supply_name(supply->host, supply->port), c.name) << c.text;
  }
  for (const char *bad : {"", "[]", "[::1]x", "a:b", "a b", ":4004", "a:0"}) {
    EXPECT_FALSE(parse_supply(bad).has_value()) << bad;
  }
  const Outcome o = parse({"-S", "b:4005", "-m", "2", "-S", "[::1],/k", "-c", "[::2]", "4100"});
  ASSERT_FALSE(o.status.has_value()) << o.err;
  EXPECT_EQ(o.settings.host, "::2");
  EXPECT_EQ(o.settings.minimum_supplies, 2);
  EXPECT_TRUE(o.settings.check_only);
  const std::vector<SupplyAddress> all = supplies_of(o.settings);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(supply_name(all[0].host, all[0].port), "[::2]:4100");
  EXPECT_EQ(supply_name(all[1].host, all[1].port), "b:4005");
  EXPECT_EQ(all[2].key_file, "/k");
}

}  // namespace
}  // namespace tornax
