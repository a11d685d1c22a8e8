// A status server that plays fixed scripts, for the client's tests: each
// accepted connection gets the next script's bytes at once (or, for a script
// that answers, first waits briefly for the client's first line and sends
// what the script makes of it) and is then closed, or held open until the
// peer closes it. A paced script sends its bytes a line (or a byte) at a
// time with a pause before each. After the last script the listening socket
// closes, so later connection attempts are refused. Header-only, like loopback.h, because the
// client's tests link none of the daemon's code.
#ifndef TORNAX_TESTS_SUPPORT_SCRIPTED_SERVER_H
#define TORNAX_TESTS_SUPPORT_SCRIPTED_SERVER_H

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/kit/loopback.h"
#include "tests/kit/no_copy.h"

namespace tornax::test {

struct Script {
  std::string bytes;       // sent right after the accept
  bool hold_open = false;  // then wait for the peer to close instead of closing
  // When set: what to send instead of `bytes`, made from the client's first
  // line (without its line end; empty when none came within 300 ms).
  std::function<std::string(const std::string &first_line)> answer{};
  int pace_ms = 0;                // not 0: a pause before each line (or byte) after the first
  bool by_byte = false;           // paced a byte at a time
  std::size_t lines_at_once = 0;  // the first piece: this many lines
};

class ScriptedServer : NoCopy {
 public:
  explicit ScriptedServer(std::vector<Script> scripts, bool ipv6 = false)
      : scripts_(std::move(scripts)) {
    listener_ = listen_loopback(&port_, ipv6);
    thread_ = std::thread([this] { run(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    if (listener_ >= 0) {
      close(listener_);
    }
  }

  int port() const { return port_; }
  // Connections accepted so far.
  int connections() const { return accepted_.load(); }
  // What each answering script received as the client's first line.
  std::vector<std::string> first_lines() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return first_lines_;
  }

 private:
  // Waits until fd is readable or the server is stopped; false when stopped.
  bool wait_readable(int fd) {
    while (!stop_) {
      pollfd wait{fd, POLLIN, 0};
      if (poll(&wait, 1, 20) > 0) {
        return true;
      }
    }
    return false;
  }

  std::string first_line(int fd) {
    LineReader reader(fd);
    std::string line = reader.next(300).value_or("");
    const std::lock_guard<std::mutex> guard(lock_);
    first_lines_.push_back(line);
    return line;
  }

  void hold(int fd) {
    char sink[256];
    while (wait_readable(fd) && read(fd, sink, sizeof sink) > 0) {
    }
  }

  // Sends `bytes` in pieces with a pause before each after the first; stops
  // when the peer is gone or the server is stopped.
  void send_paced(int fd, const std::string &bytes, const Script &script) {
    for (std::size_t at = 0; at < bytes.size() && !stop_;) {
      std::size_t end =
          script.by_byte ? at + 1 : std::min(bytes.find('\n', at), bytes.size() - 1) + 1;
      if (at == 0 && script.lines_at_once > 0) {
        end = 0;
        for (std::size_t n = 0; n < script.lines_at_once && end < bytes.size(); ++n) {
          end = std::min(bytes.find('\n', end), bytes.size() - 1) + 1;
        }
      }
      if (at > 0) {
        pollfd gone{fd, POLLRDHUP, 0};
        if (poll(&gone, 1, script.pace_ms) > 0) {
          return;
        }
      }
      if (!send_all(fd, bytes.substr(at, end - at))) {
        return;
      }
      at = end;
    }
  }

  void run() {
    for (const Script &script : scripts_) {
      if (!wait_readable(listener_)) {
        return;
      }
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) {
        continue;
      }
      ++accepted_;
      const std::string bytes = script.answer ? script.answer(first_line(fd)) : script.bytes;
      if (script.pace_ms > 0) {
        send_paced(fd, bytes, script);
      } else {
        send_all(fd, bytes);
      }
      if (script.hold_open) {
        hold(fd);
      }
      close(fd);
    }
    close(listener_);
    listener_ = -1;
  }

  std::vector<Script> scripts_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  mutable std::mutex lock_;
  std::vector<std::string> first_lines_;
  std::thread thread_;
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_SCRIPTED_SERVER_H
