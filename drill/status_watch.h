// The drill's status client: it follows the drill's status server as a
// remote host would, with the client's own line reader and status-line
// parser. A thread of its own only reads lines; the main thread takes them
// and decides which are worth showing. Also the one question the drill asks
// the daemon running on this host, read-only.
#ifndef TORNAX_DRILL_STATUS_WATCH_H
#define TORNAX_DRILL_STATUS_WATCH_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tornax::drill {

// A TCP connection to 127.0.0.1:port, close-on-exec; -1 when none answers.
int connect_loopback(int port);

// What a status word means: "on battery, low battery", or "on mains".
std::string status_meaning(unsigned int word);

class StatusWatch {
 public:
  StatusWatch() = default;
  ~StatusWatch();
  StatusWatch(const StatusWatch &) = delete;
  StatusWatch &operator=(const StatusWatch &) = delete;

  // Connects and reads the three header lines, waiting at most 5 s for each;
  // true when the site line is `location` quoted, so what answers is this
  // run's daemon. Then reads on, in the background.
  bool connect(int port, const std::string &location);
  bool connected() const { return fd_ >= 0; }
  // The status lines worth showing since the last call, each with its
  // meaning ("<line>   <- on battery"): the first, every one whose status
  // word changed, and one in twenty besides. True when any line came.
  bool take(std::vector<std::string> &shown);
  void close();

 private:
  void read_lines();

  int fd_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::vector<std::string> lines_;  // read, not yet taken (mutex_)
  std::atomic<bool> ended_{false};
  int count_ = 0;
  long last_word_ = -1;
};

// The answer of the network UPS server on 127.0.0.1:port to "GET NUMLOGINS
// <ups>" ("NUMLOGINS tornax 2"), or empty when nothing answers in 5 s.
std::string ask_numlogins(int port, const std::string &ups);

}  // namespace tornax::drill

#endif  // TORNAX_DRILL_STATUS_WATCH_H
