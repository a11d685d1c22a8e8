#include "bench/cycles.h"

#include <algorithm>

namespace tornax::bench {
namespace {

struct Cycle {
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point end;
  std::size_t bytes = 0;
};

bool starts_cycle(const ReceivedCommand &command) {
  return command.bytes == "L\n";
}

std::chrono::steady_clock::time_point reply_sent(const ReceivedCommand &command) {
  const double seconds =
      static_cast<double>(command.bytes.size() + command.reply.size()) * seconds_per_byte;
  return command.at + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(seconds));
}

std::vector<Cycle> group_cycles(const std::vector<ReceivedCommand> &log,
                                std::chrono::steady_clock::time_point from,
                                std::chrono::steady_clock::time_point to) {
  std::vector<Cycle> cycles;
  bool open = false;
  for (const ReceivedCommand &command : log) {
    if (starts_cycle(command)) {
      open = command.at >= from && command.at < to;
      if (open) {
        cycles.push_back({command.at, command.at, 0});
      }
    }
    if (open) {
      cycles.back().bytes += command.bytes.size() + command.reply.size();
      cycles.back().end = reply_sent(command);
    }
  }
  return cycles;
}

}  // namespace

double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

CycleStats analyse_cycles(const std::vector<ReceivedCommand> &log,
                          std::chrono::steady_clock::time_point from,
                          std::chrono::steady_clock::time_point to) {
  const std::vector<Cycle> cycles = group_cycles(log, from, to);
  std::vector<double> walls, bytes, periods;
  for (std::size_t i = 0; i < cycles.size(); ++i) {
    walls.push_back(std::chrono::duration<double>(cycles[i].end - cycles[i].start).count());
    bytes.push_back(static_cast<double>(cycles[i].bytes));
    if (i > 0) {
      periods.push_back(
          std::chrono::duration<double>(cycles[i].start - cycles[i - 1].start).count());
    }
  }
  CycleStats stats;
  stats.cycles = static_cast<int>(cycles.size());
  stats.median_bytes = median(bytes);
  stats.wire_floor = stats.median_bytes * seconds_per_byte;
  stats.median_wall = median(walls);
  stats.max_wall = walls.empty() ? 0 : *std::max_element(walls.begin(), walls.end());
  stats.median_period = median(periods);
  stats.min_period = periods.empty() ? 0 : *std::min_element(periods.begin(), periods.end());
  stats.max_period = periods.empty() ? 0 : *std::max_element(periods.begin(), periods.end());
  return stats;
}

}  // namespace tornax::bench
