#include "client/connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/status_auth.h"

namespace tornax {

std::atomic<int> read_timeout_ms{30000};

namespace {

void real_reconnect_sleep(unsigned int seconds) {
  while (seconds > 0) {
    seconds = sleep(seconds);
  }
}

ReconnectSleep reconnect_sleep = real_reconnect_sleep;

void titled(const char *text) {
  std::fprintf(stderr, "%s : %s\n", alert_title, text);
}

// A read that waits longer than the time-out fails, which the caller treats
// as a lost connection.
void set_read_timeout(int fd) {
  const int ms = read_timeout_ms.load();
  timeval timeout{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

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

// The lines of one connection: as they arrive, or, with the key, only those
// that verify, each in its turn.
class LineSource {
 public:
  explicit LineSource(int fd) : fd_(fd) {}

  // Sends the hello and reads the daemon's answer; nothing once the lines
  // can be verified.
  std::optional<Session> authenticate(const StatusKey &key) {
    const AuthNonce mine = new_auth_nonce();
    const std::string hello = auth_hello(mine);
    if (send(fd_, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size())) {
      return Session{};
    }
    char answer[receive_buffer_size];
    if (readline(fd_, answer, receive_buffer_size) <= 0) {
      return Session{};
    }
    if (std::strcmp(answer, refusal_text) == 0) {
      return Session{SessionEnd::refused, ""};
    }
    const std::optional<AuthNonce> theirs = parse_auth_hello(answer);
    if (!theirs) {
      return Session{SessionEnd::unverified, "the server does not authenticate its lines"};
    }
    auth_.emplace(key, mine, *theirs);
    return std::nullopt;
  }

  // Reads the next line into `line` (receive_buffer_size bytes); nothing
  // when it came, or how the connection ends.
  std::optional<Session> next(char *line) {
    if (!auth_) {
      return readline(fd_, line, receive_buffer_size) > 0 ? std::nullopt
                                                          : std::optional<Session>(Session{});
    }
    char tagged[auth_line_size];
    if (readline(fd_, tagged, sizeof tagged) <= 0) {
      return Session{};
    }
    std::string_view content;
    const AuthCheck check = auth_->check(tagged, content);
    if (check != AuthCheck::ok) {
      return Session{SessionEnd::unverified, describe(check, *auth_)};
    }
    const std::size_t length = std::min<std::size_t>(content.size(), receive_buffer_size - 1);
    std::memcpy(line, content.data(), length);
    line[length] = '\0';
    return std::nullopt;
  }

  bool authenticated() const { return auth_.has_value(); }

 private:
  int fd_;
  std::optional<AuthStream> auth_;
};

Session follow_status_lines(int fd, const AlertSettings &settings, RemoteValues &values,
                            AlertActions &actions) {
  LineSource source(fd);
  if (settings.key) {
    if (std::optional<Session> end = source.authenticate(*settings.key)) {
      return *end;
    }
  }
  char receive_buffer[receive_buffer_size];
  if (std::optional<Session> end = source.next(receive_buffer)) {
    return *end;
  }
  if (!source.authenticated() && std::strcmp(receive_buffer, refusal_text) == 0) {
    return Session{SessionEnd::refused, ""};
  }
  if (std::strncmp(receive_buffer, greeting_line, greeting_match) != 0) {
    return Session{SessionEnd::unknown_protocol, ""};
  }
  for (int header = 1; header < header_line_count; ++header) {
    if (std::optional<Session> end = source.next(receive_buffer)) {
      return *end;
    }
  }
  for (;;) {
    if (std::optional<Session> end = source.next(receive_buffer)) {
      return *end;
    }
    parse_status_line(receive_buffer, values);
    react(values, settings, actions);
  }
}

// One attempt: connect, then follow until the connection ends.
Session attempt(int fd, const AlertSettings &settings, const sockaddr_in &server,
                RemoteValues &values, AlertActions &actions) {
  if (connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0) {
    std::perror("Connect");
    return Session{};
  }
  std::printf("Connected to %s:%d\n", settings.host.c_str(), static_cast<int>(settings.port));
  std::fflush(stdout);
  set_read_timeout(fd);
  return follow_status_lines(fd, settings, values, actions);
}

// The users learn that their host follows no trustworthy daemon for now.
void report_unverified(const Session &session, const AlertSettings &settings,
                       AlertActions &actions) {
  std::fprintf(stderr, "%s : %s (%s)\n", alert_title, unverified_alert, session.why.c_str());
  actions.alert(settings.tornaxalert_who, unverified_alert);
}

}  // namespace

ReconnectSleep set_reconnect_sleep(ReconnectSleep function) {
  const ReconnectSleep previous = reconnect_sleep;
  reconnect_sleep = function ? function : real_reconnect_sleep;
  return previous;
}

Session follow_session(int fd, const AlertSettings &settings, RemoteValues &values,
                       AlertActions &actions) {
  return follow_status_lines(fd, settings, values, actions);
}

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

std::optional<sockaddr_in> resolve_server(const char *host, unsigned int port) {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_aton(host, &server.sin_addr) != 0) {
    return server;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *answer = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &answer) != 0 || answer == nullptr) {
    return std::nullopt;
  }
  server.sin_addr = reinterpret_cast<const sockaddr_in *>(answer->ai_addr)->sin_addr;
  freeaddrinfo(answer);
  return server;
}

int follow_server(AlertSettings &settings, const sockaddr_in &server, AlertActions &actions) {
  RemoteValues values;  // like the event counters, kept across reconnects
  for (;;) {
    // Close-on-exec: the broadcast program and the shutdown command must not
    // inherit the connection.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
      std::perror("Create socket");
      return 1;
    }
    const Session session = attempt(fd, settings, server, values, actions);
    close(fd);  // released before the next attempt makes a new one
    if (session.end == SessionEnd::unknown_protocol) {
      titled("Unknow protocol");
      return 1;
    }
    if (session.end == SessionEnd::refused) {
      titled(refused_message);
    } else if (session.end == SessionEnd::unverified) {
      report_unverified(session, settings, actions);
    }
    titled("Connection lost");
    if (settings.reconnect_remain <= 0) {
      titled("Reconnect time expired. Quit.");
      return 0;
    }
    std::fprintf(stderr, "%s : Wait %d seconds to reconnect\n", alert_title,
                 static_cast<int>(reconnect_wait_seconds));
    reconnect_sleep(reconnect_wait_seconds);
    --settings.reconnect_remain;
  }
}

}  // namespace tornax
