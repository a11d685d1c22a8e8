// The benchmark's reading of the simulator's log: which commands form a
// cycle, how long it took at line speed, and the period between cycles.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/cycles.h"

namespace tornax::bench {
namespace {

using std::chrono::milliseconds;
using TimePoint = std::chrono::steady_clock::time_point;

const TimePoint origin{};

// A cycle's eight queries from `start`, each answered `reply` (mark and line
// end included), one every `spacing`.
void add_cycle(std::vector<ReceivedCommand> &log, TimePoint start, milliseconds spacing,
               const std::string &reply) {
  const char *queries[] = {"L\n", "O\n", "B%\n", "P\n", "F\n", "I\n", "T\n", "S5\n"};
  for (int n = 0; n < 8; ++n) {
    log.push_back({queries[n], reply, start + n * spacing});
  }
}

TEST(BenchCyclesTest, WallTimeBytesAndPeriodsOfTheCyclesInTheWindow) {
  std::vector<ReceivedCommand> log;
  add_cycle(log, origin + milliseconds(0), milliseconds(20), "230.0\r\n");
  add_cycle(log, origin + milliseconds(1000), milliseconds(20), "230.0\r\n");
  add_cycle(log, origin + milliseconds(2010), milliseconds(30), "!230.0\r\n");
  log.push_back({"TD=5\n", "", origin + milliseconds(2900)});  // belongs to the cycle before
  add_cycle(log, origin + milliseconds(3000), milliseconds(20), "230.0\r\n");  // after the window

  const CycleStats stats =
      analyse_cycles(log, origin + milliseconds(1000), origin + milliseconds(3000));
  ASSERT_EQ(stats.cycles, 2);
  // Queries 2+2+3+2+2+2+2+3 = 18 bytes, replies 8 x 7 or 8 x 8.
  EXPECT_DOUBLE_EQ(stats.median_bytes, ((18 + 56) + (18 + 64 + 5)) / 2.0);
  EXPECT_DOUBLE_EQ(stats.wire_floor, stats.median_bytes * 10.0 / 4800.0);
  // First query in until the last reply (or command) is out at line speed.
  const double first = 0.140 + (3 + 7) * seconds_per_byte;
  const double second = 0.890 + 5 * seconds_per_byte;
  EXPECT_NEAR(stats.median_wall, (first + second) / 2, 1e-6);
  EXPECT_NEAR(stats.max_wall, second, 1e-6);
  EXPECT_NEAR(stats.median_period, 1.010, 1e-6);
  EXPECT_NEAR(stats.min_period, 1.010, 1e-6);
  EXPECT_NEAR(stats.max_period, 1.010, 1e-6);
}

TEST(BenchCyclesTest, EmptyWindowAndMedians) {
  const CycleStats none = analyse_cycles({}, origin, origin + milliseconds(1000));
  EXPECT_EQ(none.cycles, 0);
  EXPECT_EQ(none.max_period, 0);
  EXPECT_EQ(median({}), 0);
  EXPECT_EQ(median({3, 1, 2}), 2);
  EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
}

}  // namespace
}  // namespace tornax::bench
