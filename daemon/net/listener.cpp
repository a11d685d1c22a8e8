#include "daemon/net/listener.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "daemon/core/error.h"
#include "daemon/core/timings.h"
#include "daemon/net/access_policy.h"
#include "daemon/report/deferred_log.h"
#include "daemon/report/logger.h"

namespace tornax {

namespace {

std::atomic<int> sockets_to_open{0};
// The host's want of IPv6 is told once, however many surfaces meet it.
std::atomic<bool> ipv6_absence_told{false};

// A default address the host can't have at all: the family is missing (no
// IPv6 in the kernel) or has no address (IPv6 turned off). Nobody else can
// bind that side then either, so there is nothing to hold.
bool family_missing(const IpAddress &address, int error) {
  return address.family == AF_INET6 && (error == EAFNOSUPPORT || error == EADDRNOTAVAIL);
}

// A failing accept (descriptors or memory exhausted) would otherwise spin.
constexpr std::chrono::milliseconds pause_after_failed_accept{100};

int local_port(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.ss_family == AF_INET6
                   ? reinterpret_cast<const sockaddr_in6 &>(address).sin6_port
                   : reinterpret_cast<const sockaddr_in &>(address).sin_port);
}

}  // namespace

int listener_sockets_to_open() {
  return sockets_to_open.load();
}

std::vector<IpAddress> listen_addresses(const Settings &s) {
  if (!s.listen.empty()) {
    return s.listen;
  }
  return {*parse_ip_address("0.0.0.0"), *parse_ip_address("::")};
}

std::string address_and_port(const IpAddress &address, int port) {
  const std::string text = format_ip_address(address);
  return (address.family == AF_INET6 ? "[" + text + "]" : text) + ":" + std::to_string(port);
}

Listener::Listener(std::string name, const std::vector<IpAddress> &addresses, int port,
                   bool by_default)
    : name_(std::move(name)), port_(port), by_default_(by_default) {
  for (const IpAddress &address : addresses) {
    sockets_.push_back(Socket{address});
  }
}

std::string Listener::where(const Socket &socket) const {
  return address_and_port(socket.address, port_ != 0 ? port_ : bound_port_.load());
}

const char *Listener::try_listen(Socket &socket) {
  if (socket.fd < 0) {
    socket.fd = ::socket(socket.address.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket.fd < 0) {
      return "open a socket for";
    }
    const int on = 1;
    setsockopt(socket.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // "::" then stands for IPv6 alone, so it can sit beside "0.0.0.0".
    if (socket.address.family == AF_INET6) {
      setsockopt(socket.fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
  }
  // With port 0 the system picks the first socket's port; the others take
  // the same, so both families answer on one port.
  const int port = port_ != 0 ? port_ : bound_port_.load();
  sockaddr_storage address;
  const socklen_t length = socket_address_of(socket.address, port, address);
  // A socket whose bind failed stays unbound and may try again.
  if (bind(socket.fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
    return "bind to";
  }
  // The kernel caps the backlog at net.core.somaxconn, the system's largest:
  // every client that lost a restarted daemon comes back at the same moment.
  if (listen(socket.fd, INT_MAX) != 0) {
    const int error = errno;
    close(socket.fd);  // bound for good: the next attempt needs a new socket
    socket.fd = -1;
    errno = error;
    return "listen on";
  }
  socket.listening = true;
  int expected = 0;
  bound_port_.compare_exchange_strong(expected, local_port(socket.fd));
  return nullptr;
}

int Listener::open() {
  int listening = 0;
  for (Socket &socket : sockets_) {
    if (const char *step = try_listen(socket)) {
      const int error = errno;  // before anything else can change it
      if (by_default_ && family_missing(socket.address, error)) {
        socket.left_out = true;
        if (socket.fd >= 0) {
          close(socket.fd);
          socket.fd = -1;
        }
        if (!ipv6_absence_told.exchange(true)) {
          writelog(
              format_text("No IPv6 on this host (%s): the network servers listen on IPv4 alone",
                          std::strerror(error))
                  .c_str());
        }
        continue;
      }
      tornax_warn_and_log("%s cannot %s %s (%s); trying again every %d seconds", name_.c_str(),
                          step, where(socket).c_str(), std::strerror(error),
                          listener_retry_seconds);
      sockets_to_open.fetch_add(1);
    } else {
      ++listening;
    }
  }
  return listening;
}

void Listener::retry_failed() {
  bool failed = false;
  for (Socket &socket : sockets_) {
    if (socket.listening || socket.left_out) {
      continue;
    }
    if (try_listen(socket) == nullptr) {
      sockets_to_open.fetch_sub(1);
      log_later(name_ + " listening on " + where(socket));
      watch(socket);
    } else {
      failed = true;
    }
  }
  if (failed) {
    loop_->after(timings.listener_retry.get(), [this] { retry_failed(); });
  }
}

void Listener::watch(const Socket &socket) {
  const int fd = socket.fd;
  loop_->watch(fd, EPOLLIN, [this, fd](std::uint32_t) { accept_all(fd); });
}

void Listener::accept_all(int fd) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    // Without SOCK_NONBLOCK the connection blocks, whatever the listener does.
    const int connection = accept4(fd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
    if (connection >= 0) {
      accepted_(connection, ip_address_of(peer));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return;
    } else if (errno != EINTR && errno != ECONNABORTED) {
      // Stop taking from it a moment, rather than spin on the failure.
      loop_->change(fd, 0);
      loop_->after(pause_after_failed_accept, [this, fd] { loop_->change(fd, EPOLLIN); });
      return;
    }
  }
}

void Listener::attach(EventLoop &loop, Accepted accepted) {
  loop_ = &loop;
  accepted_ = std::move(accepted);
  bool failed = false;
  for (const Socket &socket : sockets_) {
    if (socket.listening) {
      watch(socket);
    } else {
      failed = failed || !socket.left_out;
    }
  }
  if (failed) {
    loop_->after(timings.listener_retry.get(), [this] { retry_failed(); });
  }
}

}  // namespace tornax
