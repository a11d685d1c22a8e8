// A status server that plays fixed scripts, for the client's tests: each
// accepted connection gets the next script's bytes at once (or, for a script
// that answers, first waits briefly for the client's first line and sends
// what the script makes of it) and is then closed, or held open until the
// peer closes it. After the last script the listening socket closes, so later
// connection attempts are refused. Header-only, like loopback.h, because the
// client's tests link none of the daemon's code.
#ifndef TORNAX_TESTS_SUPPORT_SCRIPTED_SERVER_H
#define TORNAX_TESTS_SUPPORT_SCRIPTED_SERVER_H

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/kit/loopback.h"

namespace tornax::test {

struct Script {
  std::string bytes;       // sent right after the accept
  bool hold_open = false;  // then wait for the peer to close instead of closing
  // When set: what to send instead of `bytes`, made from the client's first
  // line (without its line end; empty when none came within 300 ms).
  std::function<std::string(const std::string &first_line)> answer{};
};

class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
    listener_ = listen_loopback(&port_);
    thread_ = std::thread([this] { run(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    if (listener_ >= 0) {
      close(listener_);
    }
  }
  ScriptedServer(const ScriptedServer &) = delete;
  ScriptedServer &operator=(const ScriptedServer &) = delete;

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
      send_all(fd, script.answer ? script.answer(first_line(fd)) : script.bytes);
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
