// The network UPS protocol server: lets the many systems that ship a client
// of that protocol (storage appliances, hypervisors, monitoring) follow this
// UPS, and lets their hosts log in so that the daemon's own shutdown warns
// them (FSD) and waits for them to go before it cuts the network.
//
// Every connection is served by the network event loop's one thread
// (daemon/net/surfaces.h), which has the admission decide on each (ALLOW,
// MAX_CLIENT_PER_HOST, NUT_MAX_CLIENT, the descriptors) and answers the
// request lines (daemon/net/nut_protocol.h) as they come. Answers come from
// the cycle's publication (daemon/core/cycle_facts.h), so the server never
// takes tornax_mutex and can't hold up the cycle or the shutdown.
#ifndef TORNAX_DAEMON_NET_NUT_SERVER_H
#define TORNAX_DAEMON_NET_NUT_SERVER_H

#include <atomic>
#include <ctime>

namespace tornax {

// Connections being served now (the admission's count); a refused one never
// counts.
extern std::atomic<int> &nut_clients;

// A connection silent for timings.nut_idle_limit, or whose TLS handshake
// after STARTTLS takes longer than timings.nut_handshake_limit (as long as an
// HTTP request may take), is closed and its place freed.

// Daemon start-up, main thread, once: publishes the settings (the UPS is
// stale until the first cycle), binds a listener to settings.nut_port on each
// LISTEN address (every address of both families without one), attaches it
// to the network loop and starts the loop, and has the shutdown wait for the
// hosts logged in: it sets FSD in ups.status, waits until each has logged out
// or gone, at most NUT_HOSTSYNC seconds, and logs how many were told and how
// many went in time. An address that can't be bound is reported and tried
// again, as for the status server. Returns false only when the server can't
// run at all.
bool start_nut_server();

// Main thread, after each cycle: logs, once a day, that NUT_CERTFILE's
// certificate expires within certificate_warning_days or has expired.
void log_certificate_expiry(std::time_t now);

// The port the first listening address is bound to; 0 while none is.
int nut_server_port();

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_NUT_SERVER_H
