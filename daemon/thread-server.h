// The status server: other hosts follow the UPS over TCP. Every accepted
// connection gets a three-line header (greeting, UPS identification, site)
// and then one status line a second until a write to it fails; a connection
// that arrives while the client limit is reached gets one refusal line. The
// server never reads from a connection.
//
// Threads: one listener, started once by the daemon's start-up, and one
// detached thread per connection with a small stack. None of them takes the
// daemon's signals (SIGTERM, SIGHUP, SIGALRM): those belong to the main
// thread. A connection thread holds tornax_mutex only while it copies the
// published values for one line.
#ifndef TORNAX_DAEMON_THREAD_SERVER_H
#define TORNAX_DAEMON_THREAD_SERVER_H

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>

namespace tornax {

inline constexpr const char *greeting_line = "TN0100\n";
inline constexpr const char *refusal_line = "Max client reach.Try again later\n";

// Every line is formatted into a buffer of this size, so no line is longer
// than 99 characters including its line end.
inline constexpr std::size_t line_buffer_size = 100;

// Connections being served now. Raised by a connection thread when it takes
// its connection (checked against the limit in the same atomic step), lowered
// when its status loop ends; a refused connection never counts.
extern std::atomic<int> client;

// Pause between two status lines of a connection, in milliseconds. One
// second in the daemon; tests shorten it before starting the server. While
// the monitoring cycle runs, a connection sends its next line as soon as the
// next cycle is announced, so a change reaches every client within that
// cycle; only when no cycle comes for a quarter more than this (before the
// first cycle, during a shutdown) does the pause alone decide.
extern std::atomic<int> status_interval_ms;

// Main thread, once per cycle, after the cycle has published its status
// word: wakes every connection waiting for its next line. Cheap when no
// client is connected.
void announce_cycle();

// The values one status line carries, copied together so the line never mixes
// measurements from halfway through a poll.
struct StatusSnapshot {
  unsigned short ext_status = 0;
  float linevoltage = 0;
  float invvoltage = 0;
  float percentbatt = 0;
  float percentloadpower = 0;
  float freq = 0;
  float loadcurrent = 0;
  unsigned int remain_time = 0;
  float temp = -1;
  char teststatus[4] = {};
  long schedule_down_timer = 0;
};

// Copies the published values; takes tornax_mutex, so the caller must not
// hold it.
StatusSnapshot take_status_snapshot();

// Minutes to the scheduled shutdown as clients are told: (600 - timer) / 60
// while a countdown runs, -1 when none does.
int schedule_minutes(long schedule_down_timer);

// Formats the eleven-field status line with its line end into `buffer`
// (line_buffer_size bytes) and returns its length. Every field is one
// non-empty token without blanks, and the line always fits the buffer.
int format_status_line(const StatusSnapshot &values, char *buffer);

// Header line 2: the identification text (at most the first 49 bytes of a
// 50-byte buffer), then a line end. Returns the length.
int format_version_line(const char *ups_version, char *buffer);

// Header line 3: the location between double quotes, cut so the line stays
// within 99 characters, or "NA" when none is configured. Returns the length.
int format_location_line(const std::optional<std::string> &location, char *buffer);

// Serves one accepted connection: the refusal line at the limit, otherwise the
// header and status lines until a write fails; then closes it. `socket`
// carries the descriptor by value (cast through intptr_t). Thread entry.
void *serveClient(void *socket);

// Accepts connections on the listening descriptor carried by `listener` and
// starts a detached connection thread for each. Never returns. Thread entry.
void *serverWatch(void *listener);

// Daemon start-up, main thread, once, without tornax_mutex held: binds a TCP
// listener to settings.port on every local IPv4 interface and starts the
// listener thread. Binding happens here rather than in the thread so that a
// failure is reported at once, on standard error and in the log; it then
// returns false, and the daemon goes on monitoring without a server.
bool start_status_server();

// The port the listener is bound to (useful when settings.port is 0 and the
// system picked one); 0 before a successful start.
int status_server_port();

}  // namespace tornax

#endif  // TORNAX_DAEMON_THREAD_SERVER_H
