// The last hours of the UPS's readings, for the status page's charts: one
// sample per interval of history_interval_seconds, at most history_capacity
// of them, in memory only. A sample holds the interval's last good readings,
// and whether the UPS ran on battery or was silent at any moment of it, so a
// short outage still shows.
//
// A History is a value: the intervals already closed are shared, never
// changed, and copied only when one more closes, so each cycle's published
// facts can carry the history at the cost of a pointer and one sample.
#ifndef TORNAX_DAEMON_CORE_HISTORY_H
#define TORNAX_DAEMON_CORE_HISTORY_H

#include <cstddef>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

namespace tornax {

inline constexpr int history_interval_seconds = 10;
inline constexpr std::size_t history_capacity = 1080;  // three hours

struct HistoryReading {
  float charge = 0;   // percent
  float load = 0;     // percent of the rated power
  float input = 0;    // input line voltage, volts
  float runtime = 0;  // minutes of backup time the UPS reports
};

struct HistorySample {
  std::time_t start = 0;                  // the interval's first cycle
  std::time_t last = 0;                   // its latest cycle
  std::optional<HistoryReading> reading;  // its latest good readings; none if all silent
  bool on_battery = false;
  bool silent = false;
};

class History {
 public:
  // Main thread, once per cycle, `now` never going back: adds what the cycle
  // read (`reading` none while the UPS is silent) to the open interval, or
  // closes it and opens the next.
  void add(std::time_t now, const std::optional<HistoryReading> &reading, bool on_battery);

  // Oldest first: the closed intervals, then the open one.
  std::vector<HistorySample> samples() const;

 private:
  std::shared_ptr<const std::vector<HistorySample>> closed_;
  std::optional<HistorySample> open_;
};

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_HISTORY_H
