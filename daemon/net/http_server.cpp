#include "daemon/net/http_server.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "daemon/core/error.h"
#include "daemon/core/signals.h"
#include "daemon/net/access_policy.h"
#include "daemon/net/descriptors.h"
#include "daemon/net/listener.h"
#include "daemon/net/thread-server.h"
#include "daemon/report/deferred_log.h"
#include "daemon/report/logger.h"

namespace tornax {
namespace {

const char *const endpoint_name = "HTTP endpoint";

// Set once at start-up and never destroyed: the listener and the library's
// thread use them until the very end of the process.
Listener *http_listener = nullptr;
MHD_Daemon *http_daemon = nullptr;

HostPlaces &http_places() {
  static HostPlaces *const instance = new HostPlaces;
  return *instance;
}

long monotonic_seconds() {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count());
}

// Each refusal log has one thread: the listener's for ALLOW, the library's
// for the per-host limit.
void note_refusal(RefusalLog &log, const IpAddress &peer, const char *why) {
  if (log.should_log(peer, monotonic_seconds())) {
    log_later(std::string(endpoint_name) + " refused a connection from " + format_ip_address(peer) +
              " (" + why + ")");
  }
}

// What a connection holds from its start to its end.
struct ConnectionPlace {
  IpAddress peer;
  bool taken = false;  // a place of its host's, given back at the end
};

int per_host_limit(const CycleFacts &facts) {
  return facts.max_client_per_host != 0 ? facts.max_client_per_host : http_per_host_default;
}

IpAddress peer_of(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  sockaddr_storage storage{};
  if (info != nullptr && info->client_addr != nullptr) {
    const std::size_t length =
        info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    std::memcpy(&storage, info->client_addr, length);
  }
  return ip_address_of(storage);
}

// The library pairs every start with an end, so the places a connection
// takes are given back exactly once, however it ends.
void on_connection(void *, MHD_Connection *connection, void **socket_context,
                   MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    auto *place = new ConnectionPlace{peer_of(connection)};
    place->taken = http_places().take(place->peer, per_host_limit(*latest_cycle_facts()));
    *socket_context = place;
    return;
  }
  const std::unique_ptr<ConnectionPlace> place(static_cast<ConnectionPlace *>(*socket_context));
  *socket_context = nullptr;
  if (place && place->taken) {
    http_places().release(place->peer);
  }
}

const ConnectionPlace *place_of(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info == nullptr ? nullptr : static_cast<const ConnectionPlace *>(info->socket_context);
}

LiveFacts live_facts() {
  return {std::time(nullptr), client.load(), self_test_running()};
}

MHD_Result send_answer(MHD_Connection *connection, const HttpAnswer &answer) {
  MHD_Response *response = MHD_create_response_from_buffer(
      answer.body.size(), const_cast<char *>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) {
    return MHD_NO;
  }
  MHD_add_response_header(response, "Content-Type", answer.content_type);
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Content-Security-Policy", content_security_policy().c_str());
  if (answer.allow_header) {
    MHD_add_response_header(response, "Allow", "GET, HEAD");
  }
  if (answer.close) {
    MHD_add_response_header(response, "Connection", "close");
  }
  const MHD_Result result = MHD_queue_response(connection, answer.status, response);
  MHD_destroy_response(response);
  return result;
}

// Answers at the first call, when the headers are in: the endpoint takes no
// request body, and one that comes is never read.
MHD_Result on_request(void *, MHD_Connection *connection, const char *url, const char *method,
                      const char *, const char *, std::size_t *, void **) {
  static RefusalLog *const busy_log = new RefusalLog;  // the library's thread alone
  const ConnectionPlace *place = place_of(connection);
  if (place != nullptr && !place->taken) {
    note_refusal(*busy_log, place->peer, "MAX_CLIENT_PER_HOST reached");
    return send_answer(connection, busy_answer());
  }
  const std::shared_ptr<const CycleFacts> facts = latest_cycle_facts();
  return send_answer(connection, answer_request(method, url, *facts, live_facts()));
}

// The listener thread's decision on each connection.
void admit(int fd, const IpAddress &peer) {
  static RefusalLog *const allow_log = new RefusalLog;  // the listener thread's alone
  if (!allowed(latest_cycle_facts()->allow, peer)) {
    note_refusal(*allow_log, peer, "not allowed by ALLOW");
    close(fd);
    return;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  sockaddr_storage address;
  const socklen_t length = socket_address_of(peer, 0, address);
  // The library closes the connection itself when it can't take it (its
  // limits reached); nothing is left open unserved.
  MHD_add_connection(http_daemon, fd, reinterpret_cast<sockaddr *>(&address), length);
}

// Threads started here keep the daemon's signals blocked: they belong to the
// main thread. The library's thread inherits the mask in force when it starts.
class DaemonSignalsBlocked {
 public:
  DaemonSignalsBlocked() {
    const sigset_t blocked = daemon_signals();
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~DaemonSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  DaemonSignalsBlocked(const DaemonSignalsBlocked &) = delete;
  DaemonSignalsBlocked &operator=(const DaemonSignalsBlocked &) = delete;

 private:
  sigset_t previous_;
};

// Connections the descriptors allow beside the status server's clients and
// the reserve the daemon keeps for its own work.
int connection_limit(int max_client) {
  const int spare =
      client_capacity(descriptor_limit(), open_descriptors()) - std::max(max_client, 0);
  return std::clamp(spare, 0, http_connection_limit);
}

MHD_Daemon *start_library(int connections, int per_host) {
  const unsigned int flags =
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ITC;
  return MHD_start_daemon(
      flags, 0, nullptr, nullptr, on_request, nullptr, MHD_OPTION_CONNECTION_LIMIT,
      static_cast<unsigned int>(connections), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      static_cast<unsigned int>(per_host), MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned int>(http_idle_seconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      http_request_memory, MHD_OPTION_NOTIFY_CONNECTION, on_connection, nullptr, MHD_OPTION_END);
}

}  // namespace

HttpAnswer busy_answer() {
  return {503, "text/plain; charset=utf-8",
          "Too many connections from your address (MAX_CLIENT_PER_HOST)\n", false, true};
}

HttpAnswer answer_request(std::string_view method, std::string_view path, const CycleFacts &facts,
                          const LiveFacts &live) {
  if (method != "GET" && method != "HEAD") {
    return {405, "text/plain; charset=utf-8", "Only GET and HEAD are served\n", true, true};
  }
  if (path == "/metrics") {
    return {200, "text/plain; version=0.0.4; charset=utf-8", render_metrics(facts, live)};
  }
  if (path == "/status") {
    return {200, "application/json", render_status_json(facts, live)};
  }
  if (path == "/") {
    return {200, "text/html; charset=utf-8", render_status_page(facts, live)};
  }
  return {404, "text/plain; charset=utf-8",
          "Not found: the endpoint serves /, /metrics and /status\n"};
}

bool start_http_server() {
  const int port = settings.http_port;
  std::vector<IpAddress> addresses = settings.listen;
  if (addresses.empty()) {
    addresses.push_back(*parse_ip_address("0.0.0.0"));
  }
  const int connections = connection_limit(settings.max_client);
  if (connections == 0) {
    tornax_warn_and_log("%s not started: no descriptors are left for it", endpoint_name);
    return false;
  }
  const int per_host = std::max(settings.max_client_per_host, http_per_host_default);
  const DaemonSignalsBlocked blocked;
  http_daemon = start_library(connections, per_host);
  if (http_daemon == nullptr) {
    tornax_warn_and_log("%s not started: the HTTP library did not start", endpoint_name);
    return false;
  }
  http_listener = new Listener(endpoint_name, addresses, port);
  http_listener->open();
  try {
    std::thread([] { http_listener->run(admit); }).detach();
  } catch (const std::system_error &error) {
    tornax_warn_and_log("%s not started: cannot start its thread (%s)", endpoint_name,
                        error.what());
    return false;
  }
  return true;
}

int http_server_port() {
  return http_listener == nullptr ? 0 : http_listener->port();
}

}  // namespace tornax
