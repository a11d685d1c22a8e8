// The three places where a power event shows, watched together: the
// daemon's log file, a plain status connection, and the FIFO that a
// tornaxalert's broadcast command writes into. Each reports the first sign of
// the event after a given moment.
#ifndef TORNAX_BENCH_LATENCY_PROBES_H
#define TORNAX_BENCH_LATENCY_PROBES_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/line_reader.h"
#include "tests/kit/no_copy.h"

namespace tornax::bench {

// Seconds from the event to each sign of it; negative when it never showed.
struct Sighting {
  double log = -1;
  double status_line = -1;
  double alert = -1;
};

class LatencyProbes : test::NoCopy {
 public:
  // Follows `log_path` from its current end, connects to the status port and
  // opens `fifo_path` (a FIFO) for reading. Throws when a probe can't be set up.
  LatencyProbes(const std::string &log_path, int port, const std::string &fifo_path);
  ~LatencyProbes();

  // Reads and drops whatever arrives for `duration`.
  void pass(std::chrono::milliseconds duration);
  // Watches for the signs of a power failure (`failure`) or of its return
  // from `since` on, until all three showed or `limit` passed.
  Sighting watch(bool failure, std::chrono::steady_clock::time_point since,
                 std::chrono::milliseconds limit);

 private:
  struct Lines {
    std::vector<std::string> log, status, alert;
  };
  Lines poll_lines(int timeout_ms);
  void read_log(std::vector<std::string> *lines);

  std::string log_path_;
  off_t log_offset_ = 0;
  std::string log_partial_;
  int inotify_fd_ = -1;
  LineReader status_;
  LineReader alert_;
};

}  // namespace tornax::bench

#endif  // TORNAX_BENCH_LATENCY_PROBES_H
