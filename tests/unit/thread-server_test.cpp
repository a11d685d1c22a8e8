#include "daemon/net/thread-server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace tornax {
namespace {

std::string status_line(const StatusSnapshot &values) {
  char buffer[line_buffer_size];
  std::memset(buffer, 'x', sizeof buffer);
  const int length = format_status_line(values, buffer);
  EXPECT_EQ(length, static_cast<int>(std::strlen(buffer)));
  return buffer;
}

std::vector<std::string> tokens(const std::string &line) {
  std::istringstream in(line);
  std::vector<std::string> fields;
  for (std::string field; in >> field;) {
    fields.push_back(field);
  }
  return fields;
}

StatusSnapshot normal_values() {
  StatusSnapshot values;
  values.linevoltage = 230.04f;
  values.invvoltage = 229.96f;
  values.percentbatt = 99.6f;
  values.percentloadpower = 20.4f;
  values.freq = 50.0f;
  values.loadcurrent = 1.26f;
  values.remain_time = 0;
  values.temp = -1.0f;
  std::strcpy(values.teststatus, "OK");
  return values;
}

TEST(StatusLineTest, FieldConversions) {
  StatusSnapshot values = normal_values();
  EXPECT_EQ(status_line(values), "0 230.0 230.0 100 20 50.0 1.3 0 -1 OK -1\n");
  values.ext_status = 0x02 | 0x08;
  values.remain_time = 12;
  values.schedule_down_timer = 30;
  EXPECT_EQ(status_line(values), "a 230.0 230.0 100 20 50.0 1.3 12 -1 OK 9\n");
}

TEST(StatusLineTest, ScheduleMinutesAcrossTheCountdown) {
  const struct {
    long timer;
    int minutes;
  } cases[] = {{0, -1},  {1, 9},   {30, 9},  {60, 9},  {61, 8}, {120, 8},
               {121, 7}, {540, 1}, {541, 0}, {600, 0}, {-5, 9}, {100000, 0}};
  for (const auto &c : cases) {
    EXPECT_EQ(schedule_minutes(c.timer), c.minutes) << "timer " << c.timer;
  }
}

TEST(StatusLineTest, TestStatusStaysOneToken) {
  const struct {
    const char *stored;
    const char *sent;
  } cases[] = {{"OK", "OK"}, {"", "NA"}, {"A B", "A?B"}, {"\t\n", "??"}, {"NG!", "NG!"}};
  for (const auto &c : cases) {
    StatusSnapshot values = normal_values();
    std::strcpy(values.teststatus, c.stored);
    const std::vector<std::string> fields = tokens(status_line(values));
    ASSERT_EQ(fields.size(), 11u) << c.stored;
    EXPECT_EQ(fields[9], c.sent);
  }
}

TEST(StatusLineTest, ExtremeValuesKeepElevenFieldsWithinTheBuffer) {
  StatusSnapshot values;
  values.ext_status = 0xffff;
  for (float *f : {&values.linevoltage, &values.invvoltage, &values.percentbatt,
                   &values.percentloadpower, &values.freq, &values.loadcurrent, &values.temp}) {
    *f = -std::numeric_limits<float>::max();
  }
  values.remain_time = std::numeric_limits<unsigned int>::max();
  std::memcpy(values.teststatus, "ABCD", 4);  // no terminator
  values.schedule_down_timer = 1;
  const std::string line = status_line(values);
  EXPECT_LE(line.size(), 99u);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line,
            "ffff -999999.0 -999999.0 -999999 -999999 -999999.0 -999999.0 2147483647 "
            "-999999 ABC 9\n");

  values.linevoltage = std::numeric_limits<float>::infinity();
  values.invvoltage = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(tokens(status_line(values)).size(), 11u);
}

TEST(HeaderLineTest, Version) {
  char buffer[line_buffer_size];
  EXPECT_EQ(format_version_line("", buffer), 1);
  EXPECT_STREQ(buffer, "\n");
  format_version_line("#Kyrel   1000VA  ", buffer);
  EXPECT_STREQ(buffer, "#Kyrel   1000VA  \n");
  // A full 50-byte buffer without its terminator gives its first 49 bytes.
  char unterminated[50];
  std::memset(unterminated, 'v', sizeof unterminated);
  EXPECT_EQ(format_version_line(unterminated, buffer), 50);
  EXPECT_EQ(std::string(buffer), std::string(49, 'v') + "\n");
}

TEST(HeaderLineTest, Location) {
  const struct {
    std::optional<std::string> location;
    std::string line;
  } cases[] = {
      {std::nullopt, "NA\n"},
      {std::string("Server room"), "\"Server room\"\n"},
      {std::string(""), "\"\"\n"},
      {std::string("Rack 4\nfloor 2"), "\"Rack 4 floor 2\"\n"},
      {std::string(96, 'l'), "\"" + std::string(96, 'l') + "\"\n"},
      {std::string(300, 'l'), "\"" + std::string(96, 'l') + "\"\n"},
  };
  for (const auto &c : cases) {
    char buffer[line_buffer_size];
    const int length = format_location_line(c.location, buffer);
    EXPECT_EQ(buffer, c.line);
    EXPECT_EQ(length, static_cast<int>(c.line.size()));
    EXPECT_LE(length, 99);
  }
}

// Windows the peer advertised before each line, one line every 10 seconds,
// against a limit of 30 seconds: when the peer counts as stalled.
TEST(StallWatchTest, OnlyAWindowThatStopsGrowingAndShrinksStalls) {
  const struct {
    const char *name;
    std::vector<std::uint32_t> windows;
    int stalled_at;  // index of the first line found stalled; -1 none
  } cases[] = {
      {"reader at its widest", {65536, 65536, 65536, 65536, 65536, 65536}, -1},
      {"reader that reads now and then", {8192, 8000, 8192, 8000, 8192, 7900, 8192}, -1},
      {"non-reader", {8192, 8100, 8000, 7900, 7800}, 3},
      {"window shut", {8192, 0, 0, 0, 0}, 3},
      {"grows at first, then shrinks", {4096, 6000, 8192, 8100, 8000, 7900, 7800}, 5},
  };
  for (const auto &c : cases) {
    StallWatch watch{std::chrono::seconds(30)};
    const StallWatch::Clock::time_point start{};
    int stalled_at = -1;
    for (std::size_t i = 0; i < c.windows.size() && stalled_at < 0; ++i) {
      if (watch.stalled(c.windows[i], start + std::chrono::seconds(10 * i))) {
        stalled_at = static_cast<int>(i);
      }
    }
    EXPECT_EQ(stalled_at, c.stalled_at) << c.name;
  }
}

}  // namespace
}  // namespace tornax
