// The waits and limits the daemon keeps that tests shorten, gathered in one
// instance: the daemon runs on the defaults below, and a test sets the fields
// it needs short before it starts what reads them. Every field is atomic, as
// server threads read them and a test may still change one while a server it
// started runs (or while threads of the case before it wind down);
// reset_daemon_state puts every field back to its default.
#ifndef TORNAX_DAEMON_CORE_TIMINGS_H
#define TORNAX_DAEMON_CORE_TIMINGS_H

#include <atomic>
#include <chrono>

namespace tornax {

// The limits as the log and the documentation state them, in seconds.
inline constexpr int stall_limit_seconds = 30;
inline constexpr int nut_idle_limit_seconds = 300;
inline constexpr int nut_handshake_limit_seconds = 10;
inline constexpr int http_request_limit_seconds = 10;
inline constexpr int listener_retry_seconds = 5;

// One wait or limit, in milliseconds, that remembers its default.
class Knob {
 public:
  constexpr explicit Knob(std::chrono::milliseconds initial) : initial_(initial), value_(initial) {}
  Knob(const Knob &) = delete;
  Knob &operator=(const Knob &) = delete;

  Knob &operator=(std::chrono::milliseconds value) {
    value_.store(value);
    return *this;
  }
  std::chrono::milliseconds get() const { return value_.load(); }
  void restore() { value_.store(initial_); }

 private:
  const std::chrono::milliseconds initial_;
  std::atomic<std::chrono::milliseconds> value_;
};

struct Timings {
  // How long a UPS query waits for its reply to begin, and once it has begun
  // for its line end; open_line turns it into the line's read time-out in
  // whole tenths of a second (at least one).
  Knob reply_timeout{std::chrono::milliseconds(800)};
  // The pause between two status lines of a status connection when no cycle
  // publishes (before the first cycle, during a shutdown); a cycle that
  // publishes sends the next line at once.
  Knob status_interval{std::chrono::seconds(1)};
  // How long a status connection may go without its peer taking data (or its
  // host answering) before it is closed and its place freed; the same bounds
  // a network UPS connection whose answers are not taken.
  Knob stall_limit{std::chrono::seconds(stall_limit_seconds)};
  // How long a daemon with STATUS_KEY waits for a client's hello before it
  // serves the plain stream.
  Knob hello_wait{std::chrono::seconds(2)};
  // How long a network UPS connection may stay silent before it is closed.
  Knob nut_idle_limit{std::chrono::seconds(nut_idle_limit_seconds)};
  // How long a TLS handshake after STARTTLS may take before the connection is
  // closed.
  Knob nut_handshake_limit{std::chrono::seconds(nut_handshake_limit_seconds)};
  // The length of one NUT_HOSTSYNC second, and of the second the login
  // throttle counts in.
  Knob nut_second{std::chrono::seconds(1)};
  // How long an HTTP connection has for each request and its answer.
  Knob http_request_limit{std::chrono::seconds(http_request_limit_seconds)};
  // The pause between two attempts to bind an address that could not be.
  Knob listener_retry{std::chrono::seconds(listener_retry_seconds)};

  // Every field back to its default.
  void restore();
};

// The one instance the daemon and its surfaces read.
extern Timings timings;

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_TIMINGS_H
