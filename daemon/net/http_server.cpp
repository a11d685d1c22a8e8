#include "daemon/net/http_server.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <utility>

#include "daemon/core/timings.h"
#include "daemon/net/access_policy.h"
#include "daemon/net/admission.h"
#include "daemon/net/listener.h"
#include "daemon/net/nut_server.h"
#include "daemon/net/surfaces.h"
#include "daemon/net/thread-server.h"

namespace tornax {

namespace {

using Clock = EventLoop::Clock;

const char *const endpoint_name = "HTTP endpoint";

// Set once at start-up and never destroyed: the loop's thread uses them
// until the very end of the process. Everything else here belongs to that
// thread, the library included: it runs only when the loop calls it.
Listener *http_listener = nullptr;
MHD_Daemon *http_daemon = nullptr;

// What a connection holds from its start to its end.
struct ConnectionPlace {
  Admission::Place place;  // with a place of its host's, or answered busy
  int fd = -1;
  Clock::time_point deadline{};  // for its request, and the answer to it, to be done
};

std::set<ConnectionPlace *> &live_connections() {
  static auto *const instance = new std::set<ConnectionPlace *>;
  return *instance;
}

// The place admitted for the connection being handed to the library, taken
// up when the library starts it. A plain pointer: nothing destroys it at exit
// under the network thread.
ConnectionPlace *handed_over = nullptr;

EventLoop::TimerId library_timer;
EventLoop::TimerId deadline_timer;

void run_library();

Clock::time_point next_deadline() {
  return Clock::now() + timings.http_request_limit.get();
}

// A request that is not complete and answered in time loses its place: a
// header sent a byte a second would otherwise hold it for hours, as the
// library's idle time-out starts again with every byte. Shutting the socket
// down has the library see it end and close it (and give the place back).
void cut_overdue() {
  const Clock::time_point now = Clock::now();
  bool cut = false;
  for (ConnectionPlace *connection : live_connections()) {
    if (connection->deadline <= now && connection->fd >= 0) {
      shutdown(connection->fd, SHUT_RDWR);
      connection->fd = -1;  // once
      cut = true;
    }
  }
  if (cut) {
    run_library();
  }
}

void arm_deadline_timer() {
  network_loop().cancel(deadline_timer);
  const auto earliest = std::min_element(
      live_connections().begin(), live_connections().end(),
      [](const ConnectionPlace *a, const ConnectionPlace *b) { return a->deadline < b->deadline; });
  if (earliest != live_connections().end()) {
    deadline_timer = network_loop().at((*earliest)->deadline, [] {
      cut_overdue();
      arm_deadline_timer();
    });
  }
}

// The library pairs every start with an end, so the places a connection
// takes are given back exactly once, however it ends.
void on_connection(void *, MHD_Connection *, void **socket_context,
                   MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    ConnectionPlace *connection =
        handed_over ? std::exchange(handed_over, nullptr) : new ConnectionPlace{};
    connection->deadline = next_deadline();
    live_connections().insert(connection);
    *socket_context = connection;
    arm_deadline_timer();
    return;
  }
  const std::unique_ptr<ConnectionPlace> connection(
      static_cast<ConnectionPlace *>(*socket_context));
  *socket_context = nullptr;
  live_connections().erase(connection.get());
}

ConnectionPlace *place_of(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info == nullptr ? nullptr : static_cast<ConnectionPlace *>(info->socket_context);
}

// A keep-alive connection has the same time again for its next request.
void on_completed(void *, MHD_Connection *connection, void **, MHD_RequestTerminationCode) {
  if (ConnectionPlace *place = place_of(connection)) {
    place->deadline = next_deadline();
    arm_deadline_timer();
  }
}

LiveFacts live_facts() {
  return {std::time(nullptr), client.load(), self_test_running(), nut_clients.load()};
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
  const ConnectionPlace *place = place_of(connection);
  if (place != nullptr && !place->place.host_place()) {
    return send_answer(connection, busy_answer());
  }
  const std::shared_ptr<const CycleFacts> facts = latest_cycle_facts();
  return send_answer(connection, answer_request(method, url, *facts, live_facts()));
}

// Runs what the library has to do now, and again when it says it must.
void run_library() {
  MHD_run(http_daemon);
  network_loop().cancel(library_timer);
  MHD_UNSIGNED_LONG_LONG timeout = 0;
  if (MHD_get_timeout(http_daemon, &timeout) == MHD_YES) {
    library_timer = network_loop().after(
        std::chrono::milliseconds(std::min<MHD_UNSIGNED_LONG_LONG>(timeout, 60000)), run_library);
  }
}

// The loop's decision on each connection its listener accepts. One the
// admission refuses is closed at once; one beyond its host's places is
// answered busy.
void admit(int fd, const IpAddress &peer) {
  const std::shared_ptr<const CycleFacts> rules = latest_cycle_facts();
  Admission::Verdict verdict =
      admission().admit(Surface::http_endpoint, peer, *rules,
                        {http_connection_limit, nullptr, http_per_host_default, true});
  if (!verdict.place) {
    close(fd);
    return;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  sockaddr_storage address;
  const socklen_t length = socket_address_of(peer, 0, address);
  handed_over = new ConnectionPlace{std::move(verdict.place), fd};
  // The library closes the connection itself when it can't take it.
  MHD_add_connection(http_daemon, fd, reinterpret_cast<sockaddr *>(&address), length);
  // Taken up by now, or given back with the connection refused.
  delete std::exchange(handed_over, nullptr);
  run_library();
}

MHD_Daemon *start_library(int per_host) {
  const unsigned int flags = MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET;
  return MHD_start_daemon(
      flags, 0, nullptr, nullptr, on_request, nullptr, MHD_OPTION_CONNECTION_LIMIT,
      static_cast<unsigned int>(http_connection_limit), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      static_cast<unsigned int>(per_host), MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned int>(http_idle_seconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      http_request_memory, MHD_OPTION_NOTIFY_CONNECTION, on_connection, nullptr,
      MHD_OPTION_NOTIFY_COMPLETED, on_completed, nullptr, MHD_OPTION_END);
}

// The library's own descriptor for its connections, which the loop watches.
int library_fd() {
  const MHD_DaemonInfo *info = MHD_get_daemon_info(http_daemon, MHD_DAEMON_INFO_EPOLL_FD);
  return info == nullptr ? -1 : info->epoll_fd;
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
  publish_settings();  // the admission reads them from the publication
  const int per_host = std::max(settings.max_client_per_host, http_per_host_default);
  network_loop();  // its descriptors are the daemon's own, outside the budget
  http_daemon = start_library(per_host);
  if (http_daemon == nullptr || library_fd() < 0) {
    report_surface_failure(std::string(endpoint_name) +
                           " not started: the HTTP library did not start");
    return false;
  }
  http_listener = new Listener(endpoint_name, listen_addresses(settings), settings.http_port,
                               settings.listen.empty());
  http_listener->open();
  admission().fix_descriptor_budget();
  network_loop().post([] {
    network_loop().watch(library_fd(), EPOLLIN, [](std::uint32_t) { run_library(); });
    http_listener->attach(network_loop(), admit);
  });
  return start_network_loop();
}

int http_server_port() {
  return http_listener == nullptr ? 0 : http_listener->port();
}

}  // namespace tornax
