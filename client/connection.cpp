#include "client/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace tornax {
namespace {

std::string describe(AuthCheck check, const AuthStream &auth) {
  switch (check) {
    case AuthCheck::forged:
      return "line " + std::to_string(auth.last_received()) + " has a bad tag";
    case AuthCheck::out_of_order:
      return "line " + std::to_string(auth.last_received()) + " where line " +
             std::to_string(auth.next_sequence()) + " was due";
    default:
      return "not an authenticated line";
  }
}

// Lines of the header come at once; status lines one at the daemon's pace.
std::uint64_t paced_lines(std::uint64_t sequence) {
  const auto header = static_cast<std::uint64_t>(header_line_count);
  return sequence < header ? 0 : sequence - header;
}

}  // namespace

int readline(int fd, char *ptr, int maxlen) {
  if (maxlen < 2) {
    errno = EINVAL;
    return -1;
  }
  int n = 1;
  int stored = 0;
  while (n < maxlen) {
    char c;
    const ssize_t rc = read(fd, &c, 1);
    if (rc == 1) {
      ptr[stored++] = c;
      if (c == '\n') {
        break;
      }
      ++n;
    } else if (rc == 0) {
      if (n == 1) {
        return 0;
      }
      break;
    } else if (errno != EINTR) {
      return -1;
    }
  }
  ptr[stored - 1] = '\0';
  return n;
}

// readline() stores up to maxlen - 1 bytes and puts its NUL over the last
// one stored: the line feed, or the last character of a cut line.
std::optional<std::string> LineAssembler::take(std::size_t maxlen) {
  const std::size_t most = maxlen < 2 ? 1 : maxlen - 1;
  const std::size_t feed = pending_.find('\n');
  if (feed != std::string::npos && feed < most) {
    std::string line = pending_.substr(0, feed);
    pending_.erase(0, feed + 1);
    return line;
  }
  if (pending_.size() < most) {
    return std::nullopt;
  }
  std::string line = pending_.substr(0, most - 1);
  pending_.erase(0, most);
  return line;
}

std::optional<std::string> LineAssembler::take_rest() {
  if (pending_.empty()) {
    return std::nullopt;
  }
  std::string line = pending_.substr(0, pending_.size() - 1);
  pending_.clear();
  return line;
}

std::optional<std::vector<ServerAddress>> resolve_server(const std::string &host,
                                                         unsigned int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo *answer = nullptr;
  const std::string service = std::to_string(port & 0xffffu);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &answer) != 0 || answer == nullptr) {
    return std::nullopt;
  }
  std::vector<ServerAddress> addresses;
  for (const addrinfo *entry = answer; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_addrlen > sizeof(sockaddr_storage)) {
      continue;
    }
    ServerAddress address;
    std::memcpy(&address.address, entry->ai_addr, entry->ai_addrlen);
    address.length = entry->ai_addrlen;
    const bool seen = std::any_of(addresses.begin(), addresses.end(), [&](const ServerAddress &a) {
      return a.length == address.length && std::memcmp(&a.address, &address.address, a.length) == 0;
    });
    if (!seen) {
      addresses.push_back(address);
    }
  }
  freeaddrinfo(answer);
  if (addresses.empty()) {
    return std::nullopt;
  }
  return addresses;
}

std::string address_text(const ServerAddress &address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address.address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(address.address).sin6_addr, text,
              sizeof text);
  } else if (address.address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address.address).sin_addr, text,
              sizeof text);
  }
  return text;
}

// ---- StatusConnection ---------------------------------------------------------

StatusConnection::StatusConnection(std::vector<ServerAddress> addresses,
                                   std::optional<StatusKey> key, ConnectionLimits limits)
    : addresses_(std::move(addresses)), key_(key), limits_(limits) {}

StatusConnection::~StatusConnection() {
  close();
}

void StatusConnection::close() {
  if (fd_ >= 0 && owned_) {
    ::close(fd_);
  }
  fd_ = -1;
  owned_ = true;
  phase_ = Phase::closed;
  lines_ = LineAssembler{};
  auth_.reset();
}

std::optional<Session> StatusConnection::end(Session session) {
  close();
  return session;
}

std::optional<Session> StatusConnection::open(Clock::time_point now) {
  close();
  next_address_ = 0;
  connect_error_ = 0;
  return try_addresses(now);
}

void StatusConnection::adopt(int fd, Clock::time_point now) {
  close();
  fd_ = fd;
  owned_ = false;
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  phase_ = Phase::connecting;
  line_deadline_ = now + limits_.stall;
}

// Each address in turn, until one takes the connection or starts to.
std::optional<Session> StatusConnection::try_addresses(Clock::time_point now) {
  bool socket_failed = false;
  while (next_address_ < addresses_.size()) {
    const ServerAddress &server = addresses_[next_address_++];
    // Close-on-exec: the broadcast program and the shutdown command must not
    // inherit the connection.
    const int fd =
        socket(server.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
      connect_error_ = errno;
      socket_failed = true;
      continue;
    }
    socket_failed = false;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&server.address), server.length) == 0 ||
        errno == EINPROGRESS) {
      fd_ = fd;
      owned_ = true;
      phase_ = Phase::connecting;
      line_deadline_ = now + limits_.stall;
      return std::nullopt;
    }
    connect_error_ = errno;
    ::close(fd);
  }
  return Session{socket_failed ? SessionEnd::no_socket : SessionEnd::connect_failed, "",
                 connect_error_};
}

pollfd StatusConnection::poll_entry() const {
  return pollfd{fd_, static_cast<short>(phase_ == Phase::connecting ? POLLOUT : POLLIN), 0};
}

StatusConnection::Clock::time_point StatusConnection::deadline() const {
  return line_deadline_;
}

std::optional<Session> StatusConnection::service(Clock::time_point now,
                                                 ConnectionHandler &handler) {
  if (fd_ < 0) {
    return std::nullopt;
  }
  if (phase_ == Phase::connecting) {
    return finish_connect(now, handler);
  }
  if (std::optional<Session> ended = read_lines(now, handler)) {
    return ended;
  }
  if (now >= line_deadline_) {
    return end(Session{});  // no complete line within the stall limit
  }
  return std::nullopt;
}

std::optional<Session> StatusConnection::finish_connect(Clock::time_point now,
                                                        ConnectionHandler &handler) {
  pollfd ready = poll_entry();
  if (poll(&ready, 1, 0) <= 0) {
    if (now < line_deadline_) {
      return std::nullopt;
    }
    connect_error_ = ETIMEDOUT;
  } else {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      error = errno;
    }
    if (error == 0) {
      return begin_stream(now, handler);
    }
    connect_error_ = error;
  }
  if (owned_) {
    ::close(fd_);
  }
  fd_ = -1;
  phase_ = Phase::closed;
  if (std::optional<Session> failed = try_addresses(now)) {
    return failed;
  }
  return std::nullopt;
}

std::optional<Session> StatusConnection::begin_stream(Clock::time_point now,
                                                      ConnectionHandler &handler) {
  handler.connected();
  line_deadline_ = now + limits_.stall;
  header_lines_ = 0;
  if (!key_) {
    phase_ = Phase::header;
    return std::nullopt;
  }
  nonce_ = new_auth_nonce();
  const std::string hello = auth_hello(nonce_);
  if (send(fd_, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size())) {
    return end(Session{});
  }
  phase_ = Phase::hello;
  return std::nullopt;
}

std::optional<Session> StatusConnection::read_lines(Clock::time_point now,
                                                    ConnectionHandler &handler) {
  bool ended = false;
  for (;;) {
    char chunk[4096];
    const ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      lines_.append(chunk, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      ended = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
      break;
    }
  }
  bool got_line = false;
  for (;;) {
    const std::size_t limit =
        phase_ == Phase::hello || !auth_ ? receive_buffer_size : auth_line_size;
    std::optional<std::string> line = lines_.take(limit);
    if (!line && ended) {
      line = lines_.take_rest();
    }
    if (!line) {
      break;
    }
    got_line = true;
    if (std::optional<Session> finished = take_line(*line, now, handler)) {
      return finished;
    }
  }
  if (ended) {
    return end(Session{});
  }
  return got_line ? check_pace(now) : std::nullopt;
}

std::optional<Session> StatusConnection::take_line(const std::string &line, Clock::time_point now,
                                                   ConnectionHandler &handler) {
  line_deadline_ = now + limits_.stall;
  if (phase_ == Phase::hello) {
    if (line == refusal_text) {
      return end(Session{SessionEnd::refused, "", 0});
    }
    const std::optional<AuthNonce> theirs = parse_auth_hello(line);
    if (!theirs) {
      return end(Session{SessionEnd::unverified, "the server does not authenticate its lines", 0});
    }
    auth_.emplace(*key_, nonce_, *theirs);
    pace_sequence_ = 0;
    pace_time_ = now;
    phase_ = Phase::header;
    return std::nullopt;
  }
  std::string content = line;
  if (auth_) {
    std::string_view verified;
    const AuthCheck check = auth_->check(line, verified);
    if (check != AuthCheck::ok) {
      return end(Session{SessionEnd::unverified, describe(check, *auth_), 0});
    }
    content.assign(verified.substr(0, receive_buffer_size - 1));
  }
  if (phase_ == Phase::header) {
    if (header_lines_ == 0) {
      if (!auth_ && content == refusal_text) {
        return end(Session{SessionEnd::refused, "", 0});
      }
      if (std::strncmp(content.c_str(), greeting_line, greeting_match) != 0) {
        return end(Session{SessionEnd::unknown_protocol, "", 0});
      }
    }
    if (++header_lines_ == header_line_count) {
      phase_ = Phase::status;
    }
    return std::nullopt;
  }
  handler.status_line(content.c_str());
  return std::nullopt;
}

// A man in the middle can't forge or drop a keyed line, but he can hold the
// lines back and let them through slowly, so that the client follows a past
// that falls further behind. The sequence numbers say how many lines the
// daemon has sent; at its slowest pace the last one can't have left it
// longer ago than that pace allows.
std::optional<Session> StatusConnection::check_pace(Clock::time_point now) {
  if (!auth_ || auth_->next_sequence() == 0) {
    return std::nullopt;
  }
  const std::uint64_t sequence = auth_->next_sequence() - 1;
  const auto behind = static_cast<long long>(paced_lines(sequence) - paced_lines(pace_sequence_));
  const Clock::time_point due = pace_time_ + limits_.slowest_line * behind;
  if (now <= due) {
    pace_sequence_ = sequence;
    pace_time_ = now;
    return std::nullopt;
  }
  if (now - due <= limits_.stall) {
    return std::nullopt;
  }
  const auto late = std::chrono::duration_cast<std::chrono::seconds>(now - due).count();
  return end(Session{SessionEnd::stale, "line " + std::to_string(sequence) + " came " +
                                            std::to_string(late) + " s behind the daemon's pace"});
}

}  // namespace tornax
