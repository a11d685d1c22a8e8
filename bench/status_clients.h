// Many plain status clients at once: connects them to the daemon's status
// server and counts, per client, the status lines that arrive in a window
// and the longest gap between two of them.
#ifndef TORNAX_BENCH_STATUS_CLIENTS_H
#define TORNAX_BENCH_STATUS_CLIENTS_H

#include <chrono>
#include <functional>
#include <vector>

#include "bench/line_reader.h"
#include "tests/kit/no_copy.h"

namespace tornax::bench {

using Clock = std::chrono::steady_clock;

// What one client saw.
struct ClientTally {
  int header_lines = 0;  // greeting, identification, site
  Clock::time_point first_line{};
  bool refused = false;  // got the refusal line instead of the greeting
  bool lost = false;     // the daemon closed the connection
  int window_lines = 0;  // status lines that arrived inside the window
  double max_gap_seconds = 0;
  Clock::time_point last_line{};
};

class StatusClients : test::NoCopy {
 public:
  explicit StatusClients(int port);
  ~StatusClients();

  // Connects `count` clients one after another, each once the one before has
  // had its first line. Returns how many got the greeting.
  int connect(int count, std::chrono::milliseconds per_client_limit);
  // Connects `count` clients at once, every connection started before any
  // line is read, as the clients of a restarted daemon come back. Returns the
  // seconds from the first connect until the last of them had its first line
  // (the greeting or the refusal), or -1 when some had none within `limit`.
  double connect_at_once(int count, std::chrono::milliseconds limit);
  // Reads all connections for `duration`, counting status lines from now
  // on; calls `tick` about every 250 ms.
  void follow(std::chrono::milliseconds duration, const std::function<void()> &tick);
  const std::vector<ClientTally> &tallies() const { return tallies_; }
  // Closes every connection.
  void close_all();

 private:
  void take_lines(std::size_t index, bool counting, Clock::time_point now);
  void add(int fd);
  void wait_events(int timeout_ms, bool counting);

  int port_;
  int epoll_fd_ = -1;
  std::vector<LineReader> readers_;
  std::vector<ClientTally> tallies_;
};

}  // namespace tornax::bench

#endif  // TORNAX_BENCH_STATUS_CLIENTS_H
