// The drill's status client: it follows the drill's status server as a
// remote host would, with the client's own line reader, line assembler and
// status-line parser, without blocking the narration. Also the one question
// the drill asks the daemon running on this host, read-only. Main thread
// only.
#ifndef TORNAX_DRILL_STATUS_WATCH_H
#define TORNAX_DRILL_STATUS_WATCH_H

#include <string>
#include <utility>
#include <vector>

#include "client/connection.h"

namespace tornax::drill {

// A TCP connection to 127.0.0.1:port, close-on-exec; -1 when none answers.
int connect_loopback(int port);

// What a status word means: "on battery, low battery", or "on mains".
std::string status_meaning(unsigned int word);

// The status line with the fields at `hidden` (0-based, the status word is
// 0) written "-": the readings this UPS does not tell, which the line
// carries as zeros.
std::string hide_fields(const std::string &line, const std::vector<int> &hidden);

class StatusWatch {
 public:
  StatusWatch() = default;
  ~StatusWatch();
  StatusWatch(const StatusWatch &) = delete;
  StatusWatch &operator=(const StatusWatch &) = delete;

  // Connects and reads the three header lines, waiting at most 5 s for each;
  // true when the site line is `location` quoted, so what answers is this
  // run's daemon. Then take() reads on without waiting.
  bool connect(int port, const std::string &location);
  bool connected() const { return fd_ >= 0; }
  // The fields shown as "-" (see hide_fields).
  void hide(std::vector<int> fields) { hidden_ = std::move(fields); }
  // Reads what has come; the status lines worth showing, each with its
  // meaning ("<line>   <- on battery"): the first, every one whose status
  // word changed, and one in twenty besides. True when any line came. At
  // the end of the stream the connection is closed.
  bool take(std::vector<std::string> &shown);
  void close();

 private:
  void show(const std::string &line, std::vector<std::string> &shown);

  int fd_ = -1;
  LineAssembler lines_;
  int count_ = 0;
  long last_word_ = -1;
  std::vector<int> hidden_;
};

// The answer of the network UPS server on 127.0.0.1:port to "GET NUMLOGINS
// <ups>" ("NUMLOGINS tornax 2"), or empty when nothing answers in 5 s.
std::string ask_numlogins(int port, const std::string &ups);

}  // namespace tornax::drill

#endif  // TORNAX_DRILL_STATUS_WATCH_H
