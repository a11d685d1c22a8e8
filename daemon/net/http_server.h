// The HTTP endpoint (HTTP_PORT): /metrics for Prometheus, /status as JSON and
// a status page at /, all read-only and made from the facts the last cycle
// published (daemon/core/cycle_facts.h), never from a file.
//
// The connections are taken by a Listener (the same LISTEN addresses as the
// status server, retried while a port is taken) and, when the admission lets
// them in, handed to libmicrohttpd, which parses the requests under fixed
// limits: connections in all and per address, an idle time-out and the
// memory a request may take. Both run on the network loop's one thread
// (daemon/net/surfaces.h), the library in its external epoll mode. A host
// beyond its places gets "503 Service Unavailable"; a request that is not
// complete and answered within http_request_limit_seconds loses its
// connection. Nothing here takes tornax_mutex while a request is served, so
// no client can hold up the cycle.
#ifndef TORNAX_DAEMON_NET_HTTP_SERVER_H
#define TORNAX_DAEMON_NET_HTTP_SERVER_H

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

#include "daemon/net/http_render.h"

namespace tornax {

// The library's limits.
inline constexpr int http_connection_limit = 64;  // fewer when descriptors are short
inline constexpr int http_per_host_default = 8;   // without MAX_CLIENT_PER_HOST
inline constexpr int http_idle_seconds = 10;      // a silent connection is closed
inline constexpr std::size_t http_request_memory =
    std::size_t{16} * 1024;  // request line and headers

// A connection has timings.http_request_limit for each request and its
// answer (from its start or the end of the answer before).

struct HttpAnswer {
  unsigned int status = 200;
  const char *content_type = "text/plain; charset=utf-8";
  std::string body;
  bool allow_header = false;  // names the methods served (405)
  bool close = false;         // the connection ends after the answer
};

// The answer to a request for `path` (the target without its query) with
// `method`. Any thread.
HttpAnswer answer_request(std::string_view method, std::string_view path, const CycleFacts &facts,
                          const LiveFacts &live);

// The answer to a host that holds every place MAX_CLIENT_PER_HOST gives it.
HttpAnswer busy_answer();

// Daemon start-up, main thread, once, without tornax_mutex held: binds the
// endpoint to settings.http_port on each LISTEN address (every address of
// both families without one) and starts the library on the network loop. A
// failure is reported on standard error and in the log; an address that
// can't be bound yet is tried again, so the daemon monitors either way.
// Returns whether the endpoint runs.
bool start_http_server();

// The port the first listening address is bound to (useful when the system
// picked it); 0 while none is.
int http_server_port();

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_HTTP_SERVER_H
