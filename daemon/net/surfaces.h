// What the daemon's network surfaces (the status server, the network UPS
// server, the HTTP endpoint) share besides their admission: the one way
// their threads start and their failures reach the log, the event loop that
// serves the network UPS server's and the HTTP endpoint's connections from
// one thread, their start at daemon start-up, what the main thread writes to
// the log for them after each cycle, and the shutdown's wait for the peers
// that asked to be waited for.
#ifndef TORNAX_DAEMON_NET_SURFACES_H
#define TORNAX_DAEMON_NET_SURFACES_H

#include <chrono>
#include <cstddef>
#include <string>

#include "daemon/net/event_loop.h"

namespace tornax {

// Stack of a server thread: most only format a line or two.
inline constexpr std::size_t server_thread_stack = std::size_t{64} * 1024;

// Starts `entry` in a detached thread with `stack` bytes of stack and the
// daemon's signals blocked (they belong to the main thread). Returns 0 or
// the error number of the failure. Any thread.
int start_server_thread(void *(*entry)(void *), void *argument,
                        std::size_t stack = server_thread_stack);

// Reports a surface's failure where it will be read: on standard error and
// in the log from the main thread (start-up), in the log alone from any
// other (detached, its standard error goes nowhere).
void report_surface_failure(const std::string &text);

// The event loop of the network UPS server and the HTTP endpoint. Its thread
// starts with the first of them (start_network_loop); until then it belongs
// to the main thread. Never destroyed.
EventLoop &network_loop();

// Main thread: starts the loop's thread unless it runs. Returns whether it
// runs; a failure is reported.
bool start_network_loop();

// Daemon start-up, main thread, without tornax_mutex held: starts each
// surface the settings ask for (each reports its own failure; monitoring
// goes on either way).
void start_network_surfaces();

// Main thread, after each cycle has published: writes to the log what the
// surfaces' threads left for it, and the refusals summed up.
void write_network_log();

// A surface whose peers the daemon's shutdown tells that it goes down and
// waits for (the network UPS server's logged-in hosts).
class WaitingPeers {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~WaitingPeers() = default;
  // Tells the peers; returns until when they are waited for at most.
  virtual Clock::time_point tell_peers() = 0;
  // Waits until every peer told has gone or `deadline` passed, and logs how
  // it went.
  virtual void wait_for_peers(Clock::time_point deadline) = 0;
};

// Main thread, when such a surface starts.
void add_waiting_peers(WaitingPeers &surface);

// Main thread, first step of the shutdown, before anything that could cut
// the network: tells every surface's peers at once, then waits for each at
// most its own time. Returns at once when no surface has peers to wait for.
void hold_for_waiting_peers();

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_SURFACES_H
