// The status server: other hosts follow the UPS over TCP. Every admitted
// connection gets a three-line header (greeting, UPS identification, site)
// and then one status line a second until a write to it fails or the peer
// stops taking them; a connection beyond a limit (MAX_CLIENT,
// MAX_CLIENT_PER_HOST, the descriptors kept for the daemon) gets one refusal
// line, and one from a host that ALLOW leaves out is closed without a line.
// The server reads nothing from a connection, except the hello of a client
// that authenticates the stream (common/status_auth.h) when STATUS_KEY is set.
//
// Threads: one listener, started once by the daemon's start-up, which has
// the admission (daemon/net/admission.h) decide on each connection, and one
// detached thread per admitted connection with a small stack. None of them
// takes the daemon's signals (SIGTERM, SIGHUP, SIGALRM): those belong to the
// main thread. Unlike the other surfaces, which read only the cycle's
// publication (daemon/core/cycle_facts.h), a connection thread formats its
// line from the published values under tornax_mutex, as the protocol has it,
// so a line never mixes two polls; it holds the mutex only while it copies
// them (or the settings it sends), and it waits for each publication so its
// lines follow the cycle.
#ifndef TORNAX_DAEMON_NET_THREAD_SERVER_H
#define TORNAX_DAEMON_NET_THREAD_SERVER_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "daemon/core/status_snapshot.h"
#include "daemon/net/admission.h"
#include "tornax.h"

namespace tornax {

// Connections being served now: the admission's count of the status
// server's connections, raised when it admits one (checked against the limit
// in the same step) and lowered when its status loop ends; a refused
// connection never counts.
extern std::atomic<int> &client;

// The pause between two status lines (timings.status_interval): while the
// monitoring cycle runs, a connection sends its next line as soon as the next
// cycle has published, so a change reaches every client within that cycle;
// only when no cycle comes for a quarter more than the pause (before the
// first cycle, during a shutdown) does the pause alone decide.
//
// A connection whose peer takes no data for timings.stall_limit is closed and
// its place freed: a peer that never reads must not hold a place, or anyone
// on the network could take every place and cut the real clients off.

// Tells from the receive window the peer advertises whether it still takes
// data. A reading peer's window keeps coming back up (or stays at its
// widest); one that stopped reading shrinks with every line it is sent. So
// the peer counts as stalled once its window has neither grown nor stood at
// its widest for the limit while it shrank meanwhile.
class StallWatch {
 public:
  using Clock = std::chrono::steady_clock;
  explicit StallWatch(std::chrono::milliseconds limit) : limit_(limit) {}
  // Called before each line with the window the peer advertised last.
  bool stalled(std::uint32_t window, Clock::time_point now);

 private:
  std::chrono::milliseconds limit_;
  bool started_ = false;
  std::uint32_t widest_ = 0;
  std::uint32_t last_ = 0;
  std::uint32_t window_since_ = 0;
  Clock::time_point since_{};
};

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

// Sets how long a connection may wait on its peer (an unacknowledged send, a
// shut window) before it fails: the stall limit.
void limit_peer_waiting(int fd);

// An admitted connection on its way to its thread, with the places it holds.
struct ClientConnection {
  int fd = -1;
  Admission::Place place;
};

// Serves one admitted connection: the header and status lines (authenticated when the client
// asks and a key is set) until a write fails or the peer stops taking them;
// then gives the places back and closes it. `connection` is a
// ClientConnection allocated with new, which the thread takes over. Thread
// entry.
void *serveClient(void *connection);

// Admits or refuses every connection that the Listener carried by `listener`
// accepts, and starts a detached connection thread for each one admitted.
// Never returns. Thread entry.
void *serverWatch(void *listener);

// Daemon start-up, main thread, once, without tornax_mutex held: publishes
// the settings, binds a listener to settings.port on each LISTEN address
// (every address of both families without one), has the admission work out
// the descriptors anew, and starts the listener thread. An address that can't be bound is reported
// at once, on standard error and in the log, and tried again by the listener thread, so the daemon
// goes on monitoring either way. Returns false only when the listener thread can't start.
bool start_status_server();

// The port the first listening address is bound to (useful when settings.port
// is 0 and the system picked one); 0 while none is.
int status_server_port();

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_THREAD_SERVER_H
