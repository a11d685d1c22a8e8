// The test kit: loopback TCP for the status server's and the client's tests
// and the benchmark: a listening socket on an ephemeral port, a connecting
// socket, and a line reader.
#ifndef TORNAX_TESTS_KIT_LOOPBACK_H
#define TORNAX_TESTS_KIT_LOOPBACK_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tornax::test {

// A listening socket on 127.0.0.1 (or ::1) with a port the system picked; -1
// on failure.
inline int listen_loopback(int *port, bool ipv6 = false) {
  const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in6 address6{};
  address6.sin6_family = AF_INET6;
  address6.sin6_addr = in6addr_loopback;
  sockaddr *bound =
      ipv6 ? reinterpret_cast<sockaddr *>(&address6) : reinterpret_cast<sockaddr *>(&address);
  socklen_t length = ipv6 ? sizeof address6 : sizeof address;
  if (bind(fd, bound, length) != 0 || listen(fd, 64) != 0 || getsockname(fd, bound, &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(ipv6 ? address6.sin6_port : address.sin_port);
  return fd;
}

// Whether this host's loopback has ::1 (IPv6 may be off in the kernel or on
// lo); the tests of the IPv6 side skip with this text without it.
inline bool have_ipv6_loopback() {
  int port = 0;
  const int fd = listen_loopback(&port, true);
  if (fd >= 0) {
    close(fd);
  }
  return fd >= 0;
}
inline constexpr const char *no_ipv6_loopback =
    "the loopback has no ::1 (see ip -6 addr show lo): the IPv6 side is not tested";

// A loopback port that nothing listens on at the moment; 0 when none could
// be had.
inline int free_loopback_port() {
  int port = 0;
  const int fd = listen_loopback(&port);
  if (fd < 0) {
    return 0;
  }
  close(fd);
  return port;
}

// A socket connected to `to`:port from the loopback address `from` (another
// "host": 127.0.0.2, 127.0.0.3 ...; or "::1" to "::1" over IPv6); -1 on
// failure. A `receive_buffer` other than 0 fixes the socket's receive buffer
// at about that many bytes (the kernel no longer grows it), as a client with a
// small fixed buffer has.
inline int connect_loopback(int port, const char *from = "127.0.0.1", const char *to = "127.0.0.1",
                            int receive_buffer = 0) {
  const bool ipv6 = std::string(to).find(':') != std::string::npos;
  const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  if (receive_buffer != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  sockaddr_storage local{}, remote{};
  socklen_t length = sizeof(sockaddr_in);
  if (ipv6) {
    auto &l = reinterpret_cast<sockaddr_in6 &>(local),
         &r = reinterpret_cast<sockaddr_in6 &>(remote);
    l.sin6_family = r.sin6_family = AF_INET6;
    inet_pton(AF_INET6, from, &l.sin6_addr);
    inet_pton(AF_INET6, to, &r.sin6_addr);
    r.sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof(sockaddr_in6);
  } else {
    auto &l = reinterpret_cast<sockaddr_in &>(local), &r = reinterpret_cast<sockaddr_in &>(remote);
    l.sin_family = r.sin_family = AF_INET;
    inet_pton(AF_INET, from, &l.sin_addr);
    inet_pton(AF_INET, to, &r.sin_addr);
    r.sin_port = htons(static_cast<uint16_t>(port));
  }
  if (bind(fd, reinterpret_cast<sockaddr *>(&local), length) != 0 ||
      connect(fd, reinterpret_cast<sockaddr *>(&remote), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether the peer has closed its side of `fd`, whatever data still waits
// unread; waits up to `timeout_ms` for it.
inline bool peer_closed(int fd, int timeout_ms) {
  pollfd wait{fd, POLLRDHUP, 0};
  return poll(&wait, 1, timeout_ms) > 0 && (wait.revents & (POLLRDHUP | POLLHUP)) != 0;
}

// Sends the whole text; false when the peer is gone.
inline bool send_all(int fd, const std::string &text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Whole lines from a descriptor it does not own, however the bytes were split
// when they were sent: waiting for the next one with a deadline (tests), or
// taking all that a non-blocking descriptor holds (the benchmark).
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  // The next line without its line end. Empty when the stream ended first or
  // nothing arrived within the time-out; ended() then tells which.
  std::optional<std::string> next(int timeout_ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (std::optional<std::string> line = take_line()) {
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (ended_ || left.count() <= 0 || !fill(static_cast<int>(left.count()))) {
        return std::nullopt;
      }
    }
  }

  // Reads everything a non-blocking descriptor holds and appends each
  // complete line (without its line end) to `lines`. False when the peer
  // closed or a read failed; the lines read before that are still appended.
  bool drain(std::vector<std::string> *lines) {
    for (;;) {
      const ssize_t n = read_some();
      const int error = errno;
      if (n < 0 && error == EINTR) {
        continue;
      }
      while (std::optional<std::string> line = take_line()) {
        lines->push_back(std::move(*line));
      }
      if (n <= 0) {
        ended_ = !(n < 0 && (error == EAGAIN || error == EWOULDBLOCK));
        return !ended_;
      }
    }
  }

  // True once the peer closed the stream (or a read failed).
  bool ended() const { return ended_; }
  // Bytes received after the last complete line.
  const std::string &pending() const { return pending_; }

 private:
  std::optional<std::string> take_line() {
    const std::size_t end = pending_.find('\n');
    if (end == std::string::npos) {
      return std::nullopt;
    }
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    return line;
  }
  // One read into pending_; its result as read() gives it.
  ssize_t read_some() {
    char chunk[4096];
    const ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      pending_.append(chunk, static_cast<std::size_t>(n));
    }
    return n;
  }
  bool fill(int timeout_ms) {
    pollfd wait{fd_, POLLIN, 0};
    if (poll(&wait, 1, timeout_ms) <= 0) {
      return false;
    }
    if (read_some() <= 0) {
      ended_ = true;
      return false;
    }
    return true;
  }

  int fd_;
  bool ended_ = false;
  std::string pending_;
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_KIT_LOOPBACK_H
