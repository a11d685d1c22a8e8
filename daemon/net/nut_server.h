// The network UPS protocol server: lets the many systems that ship a client
// of that protocol (storage appliances, hypervisors, monitoring) follow this
// UPS, and lets their hosts log in so that the daemon's own shutdown warns
// them (FSD) and waits for them to go before it cuts the network.
//
// Threads: one listener, started once by the daemon's start-up, which admits
// or refuses each connection (ALLOW, MAX_CLIENT_PER_HOST, NUT_MAX_CLIENT, the
// descriptors), and one detached thread per connection, which reads request
// lines and answers them (daemon/nut_protocol.h). Answers come from what the
// main thread published after the last cycle, so no server thread takes
// tornax_mutex and none can hold up the cycle or the shutdown.
#ifndef TORNAX_DAEMON_NET_NUT_SERVER_H
#define TORNAX_DAEMON_NET_NUT_SERVER_H

#include <atomic>

namespace tornax {

// Connections being served now; a refused one never counts.
extern std::atomic<int> nut_clients;

// How long a connection may stay silent before it is closed and its place
// freed, in milliseconds: 300 seconds in the daemon; tests shorten it.
inline constexpr int nut_idle_limit_seconds = 300;
extern std::atomic<int> nut_idle_limit_ms;

// The length of one NUT_HOSTSYNC second, in milliseconds: 1000 in the
// daemon; tests shorten it.
extern std::atomic<int> nut_second_ms;

// Daemon start-up, main thread, once: publishes the values the answers start
// from (the UPS is stale until the first cycle), binds a listener to
// settings.nut_port on each LISTEN address (every IPv4 interface without
// one), and starts the listener thread. An address that can't be bound is
// reported and tried again, as for the status server. Returns false only
// when the listener thread can't start.
bool start_nut_server();

// The port the first listening address is bound to; 0 while none is.
int nut_server_port();

// Main thread, after each cycle has published its status word: the answers
// reflect this cycle from now on. Cheap, and nothing, without a server.
void publish_nut_readings();

// Main thread, first step of the shutdown, before anything that could cut
// the network: sets FSD in ups.status, waits until every logged-in host has
// logged out or gone, at most NUT_HOSTSYNC seconds, and logs how many were
// told and how many went in time. Returns at once without a server.
void hold_for_secondaries();

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_NUT_SERVER_H
