// The monitoring cycle as the simulated UPS saw it: which queries arrived
// when, grouped into cycles (each begins with the line-voltage query).
#ifndef TORNAX_BENCH_CYCLES_H
#define TORNAX_BENCH_CYCLES_H

#include <chrono>
#include <vector>

#include "sim/simulated_ups.h"

namespace tornax::bench {

// Time one byte takes on the UPS line: 4800 baud with a start and a stop bit.
inline constexpr double seconds_per_byte = 10.0 / 4800.0;

struct CycleStats {
  int cycles = 0;           // complete cycles in the window
  double median_bytes = 0;  // bytes exchanged per cycle, both ways
  double wire_floor = 0;    // median_bytes on the wire, seconds
  double median_wall = 0;   // first query in to last reply out, seconds
  double max_wall = 0;
  double median_period = 0;  // between the starts of two cycles
  double min_period = 0;
  double max_period = 0;
};

// Cycles whose first query arrived in [from, to). A cycle's wall time runs
// from its first query's arrival until its last reply has gone out at line
// speed, the way the simulator paces replies.
CycleStats analyse_cycles(const std::vector<ReceivedCommand> &log,
                          std::chrono::steady_clock::time_point from,
                          std::chrono::steady_clock::time_point to);

// Median of the values (0 when there are none); sorts its copy.
double median(std::vector<double> values);

}  // namespace tornax::bench

#endif  // TORNAX_BENCH_CYCLES_H
