#include "daemon/net/thread-server.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "common/status_auth.h"
#include "daemon/core/cycle_facts.h"
#include "daemon/core/timings.h"
#include "daemon/net/access_policy.h"
#include "daemon/net/listener.h"
#include "daemon/net/surfaces.h"
#include "daemon/report/deferred_log.h"

namespace tornax {

std::atomic<int> &client = admission().counter(Surface::status_server);

namespace {

// Measurements beyond this magnitude are sent as the bound: no UPS reports
// them, and the eleven fields must fit one 99-character line.
constexpr float measurement_bound = 999999.0f;

// Longest location that fits between its quotes before the line end.
constexpr std::size_t location_room = line_buffer_size - 4;

// Set once at start-up, before the listener thread starts, and never
// destroyed: detached server threads use them until the very end. The loop
// is made on the main thread, so the descriptors it takes are the daemon's
// own when the admission works out the budget.
Listener *status_listener = nullptr;
EventLoop *status_loop = nullptr;

float bounded(float value) {
  if (std::isnan(value)) {
    return value;
  }
  return std::clamp(value, -measurement_bound, measurement_bound);
}

// Field 10 must stay one token: an empty text becomes "NA", and a blank or
// control character (which would split the field or the line) becomes "?".
void copy_teststatus(const char *text, char (&field)[4]) {
  std::size_t n = 0;
  for (; n < 3 && text[n] != '\0'; ++n) {
    const auto c = static_cast<unsigned char>(text[n]);
    field[n] = std::isgraph(c) ? static_cast<char>(c) : '?';
  }
  field[n] = '\0';
  if (n == 0) {
    std::strcpy(field, "NA");
  }
}

// A line end inside a header text would end the header line early and shift
// every line after it.
int copy_line_text(const char *text, std::size_t length, char *buffer) {
  for (std::size_t n = 0; n < length; ++n) {
    buffer[n] = text[n] == '\n' ? ' ' : text[n];
  }
  return static_cast<int>(length);
}

// One send of the text; returns the count that went out (short, or -1 on
// failure). MSG_NOSIGNAL makes a vanished peer an error rather than a
// SIGPIPE, whatever the process does with that signal.
ssize_t send_text(int fd, const char *text, std::size_t length) {
  ssize_t sent;
  do {
    sent = send(fd, text, length, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

// Returns once a cycle after `seen` has published, or when a quarter more
// than the status interval has passed without one.
void wait_for_cycle(unsigned int seen) {
  const auto interval = std::max(timings.status_interval.get(), std::chrono::milliseconds(0));
  wait_for_publication(seen, interval + interval / 4);
}

}  // namespace

// A host that vanished (no acknowledgement for the limit) or a peer whose
// window stays shut (a send blocked for the limit) ends the connection; the
// window watch catches a peer that merely stopped reading.
void limit_peer_waiting(int fd) {
  const int ms = static_cast<int>(timings.stall_limit.get().count());
  const timeval send_timeout{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  const unsigned int user_timeout = static_cast<unsigned int>(ms);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout);
}

namespace {

// ---- Sending ----------------------------------------------------------------

// Sends the lines of one connection: as they are, or tagged once the client
// has authenticated the stream.
class LineSender {
 public:
  explicit LineSender(int fd) : fd_(fd) {}

  // Answers the client's hello with the daemon's nonce; every later line is
  // tagged.
  void authenticate(const StatusKey &key, const AuthNonce &client_nonce) {
    const AuthNonce daemon_nonce = new_auth_nonce();
    const std::string answer = auth_hello(daemon_nonce);
    send_text(fd_, answer.data(), answer.size());
    auth_.emplace(key, client_nonce, daemon_nonce);
  }

  // Sends one line with its line end; true when all of it went out.
  bool send(const char *line, int length) {
    if (!auth_) {
      return send_text(fd_, line, static_cast<std::size_t>(length)) == length;
    }
    char tagged[auth_line_size];
    const std::size_t tagged_length =
        auth_->tag(std::string_view(line, static_cast<std::size_t>(length - 1)), tagged);
    return send_text(fd_, tagged, tagged_length) == static_cast<ssize_t>(tagged_length);
  }

 private:
  int fd_;
  std::optional<AuthStream> auth_;
};

void send_header(LineSender &sender) {
  char buffer[line_buffer_size];
  sender.send(greeting_line, static_cast<int>(std::strlen(greeting_line)));
  // The identification is read again, under the mutex, when the UPS line is
  // opened only after start-up.
  pthread_mutex_lock(&tornax_mutex);
  const int version_length = format_version_line(ups_version, buffer);
  const std::optional<std::string> location = settings.ups_location;
  pthread_mutex_unlock(&tornax_mutex);
  sender.send(buffer, version_length);
  sender.send(buffer, format_location_line(location, buffer));
}

// The receive window the peer advertised last, in bytes; nothing when the
// kernel does not tell.
std::optional<std::uint32_t> peer_window(int fd) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
      length < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd) {
    return std::nullopt;
  }
  return info.tcpi_snd_wnd;
}

enum class LinesEnd { write_failed, stalled };

LinesEnd send_status_lines(LineSender &sender, int fd) {
  char buffer[line_buffer_size];
  StallWatch watch{timings.stall_limit.get()};
  for (;;) {
    const unsigned int seen = publication_count();
    const std::optional<std::uint32_t> window = peer_window(fd);
    if (window && watch.stalled(*window, StallWatch::Clock::now())) {
      return LinesEnd::stalled;
    }
    const int length = format_status_line(take_status_snapshot(), buffer);
    if (!sender.send(buffer, length)) {
      return LinesEnd::write_failed;
    }
    wait_for_cycle(seen);
  }
}

// ---- Connections --------------------------------------------------------------

// A client that holds the key speaks first, right after connecting. Waits a
// little for its hello; nothing when none comes (a client without the key),
// or when what comes is no hello.
std::optional<AuthNonce> wait_for_hello(int fd) {
  char hello[64];
  std::size_t length = 0;
  const auto deadline = StallWatch::Clock::now() + timings.hello_wait.get();
  while (length < sizeof hello) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - StallWatch::Clock::now());
    pollfd wait{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    const ssize_t n = recv(fd, hello + length, sizeof hello - length, MSG_DONTWAIT);
    if (n <= 0) {
      return std::nullopt;
    }
    length += static_cast<std::size_t>(n);
    if (const void *end = std::memchr(hello, '\n', length)) {
      return parse_auth_hello(std::string_view(hello, static_cast<const char *>(end) - hello));
    }
  }
  return std::nullopt;
}

// Plain or authenticated: a daemon with a key still serves a client that
// sends no hello the plain stream, so hosts can move to the key one by one;
// a client with the key accepts only tagged lines, so the plain stream gives
// an impostor nothing to act on.
void open_session(LineSender &sender, int fd) {
  pthread_mutex_lock(&tornax_mutex);
  const std::optional<StatusKey> key = settings.status_key;
  pthread_mutex_unlock(&tornax_mutex);
  if (!key) {
    return;
  }
  if (const std::optional<AuthNonce> client_nonce = wait_for_hello(fd)) {
    sender.authenticate(*key, *client_nonce);
  }
}

// Closes a connection without waiting on the peer: what it sent (a hello) is
// read first, so the close ends it with a FIN after the line rather than
// with a reset that could overtake it.
void close_now(int fd) {
  char discard[256];
  while (recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0) {
  }
  close(fd);
}

// The listener thread's decision on each accepted connection, under the
// settings of the last publication: a reload is followed by a cycle, so it
// applies to the next connection.
void admit(int fd, const IpAddress &peer) {
  const std::shared_ptr<const CycleFacts> rules = latest_cycle_facts();
  Admission::Verdict verdict =
      admission().admit(Surface::status_server, peer, *rules, {rules->max_client, "MAX_CLIENT"});
  if (!verdict.allowed) {
    close(fd);
    return;
  }
  if (!verdict.place) {
    // A new connection's send buffer is empty: the line goes out at once.
    send(fd, refusal_line, std::strlen(refusal_line), MSG_NOSIGNAL | MSG_DONTWAIT);
    close_now(fd);
    return;
  }
  auto *connection = new ClientConnection{fd, std::move(verdict.place)};
  if (const int error = start_server_thread(serveClient, connection); error != 0) {
    // Never leave a peer connected to nobody.
    delete connection;
    close(fd);
    report_surface_failure(std::string("Status server: cannot start a client thread (") +
                           std::strerror(error) + "), connection closed");
  }
}

}  // namespace

int format_status_line(const StatusSnapshot &values, char *buffer) {
  char teststatus[4];
  copy_teststatus(values.teststatus, teststatus);
  const int remain = static_cast<int>(std::min<unsigned int>(values.remain_time, INT_MAX));
  const int length = std::snprintf(
      buffer, line_buffer_size, TORNAX_STATUS_LINE_FORMAT,
      static_cast<unsigned int>(values.ext_status), bounded(values.linevoltage),
      bounded(values.invvoltage), bounded(values.percentbatt), bounded(values.percentloadpower),
      bounded(values.freq), bounded(values.loadcurrent), remain, bounded(values.temp), teststatus,
      schedule_minutes(values.schedule_down_timer));
  return std::clamp(length, 0, static_cast<int>(line_buffer_size) - 1);
}

int format_version_line(const char *ups_version_text, char *buffer) {
  const std::size_t length = strnlen(ups_version_text, ups_version_size - 1);
  const int n = copy_line_text(ups_version_text, length, buffer);
  buffer[n] = '\n';
  buffer[n + 1] = '\0';
  return n + 1;
}

int format_location_line(const std::optional<std::string> &location, char *buffer) {
  if (!location) {
    std::strcpy(buffer, "NA\n");
    return 3;
  }
  const std::size_t length = std::min(strnlen(location->c_str(), location->size()), location_room);
  buffer[0] = '"';
  const int n = 1 + copy_line_text(location->c_str(), length, buffer + 1);
  buffer[n] = '"';
  buffer[n + 1] = '\n';
  buffer[n + 2] = '\0';
  return n + 2;
}

bool StallWatch::stalled(std::uint32_t window, Clock::time_point now) {
  if (!started_ || window > last_ || window >= widest_) {
    started_ = true;
    since_ = now;
    window_since_ = window;
  }
  widest_ = std::max(widest_, window);
  last_ = window;
  return now - since_ >= limit_ && window < window_since_;
}

void *serveClient(void *connection) {
  const std::unique_ptr<ClientConnection> taken(static_cast<ClientConnection *>(connection));
  const int fd = taken->fd;
  limit_peer_waiting(fd);
  LineSender sender(fd);
  open_session(sender, fd);
  send_header(sender);
  if (send_status_lines(sender, fd) == LinesEnd::stalled) {
    log_later("Status server closed the connection from " + format_ip_address(taken->place.peer()) +
              ": it took no data for " + std::to_string(stall_limit_seconds) + " seconds");
  }
  taken->place.release();
  close_now(fd);
  return nullptr;
}

void *serverWatch(void *listener) {
  static_cast<Listener *>(listener)->attach(*status_loop, admit);
  status_loop->run();
}

bool start_status_server() {
  publish_settings();  // the admission reads them from the publication
  pthread_mutex_lock(&tornax_mutex);
  const int port = settings.port & 0xffff;  // only the low 16 bits count
  const std::vector<IpAddress> addresses = listen_addresses(settings);
  const bool by_default = settings.listen.empty();
  pthread_mutex_unlock(&tornax_mutex);
  status_loop = new EventLoop;
  if (!status_loop->ok()) {
    report_surface_failure("Status server not started: cannot wait for its connections");
    return false;
  }
  status_listener = new Listener("Status server", addresses, port, by_default);
  status_listener->open();
  admission().fix_descriptor_budget();
  if (const int error = start_server_thread(serverWatch, status_listener); error != 0) {
    report_surface_failure(std::string("Status server not started: cannot start its thread (") +
                           std::strerror(error) + ")");
    return false;
  }
  return true;
}

int status_server_port() {
  return status_listener == nullptr ? 0 : status_listener->port();
}

}  // namespace tornax
