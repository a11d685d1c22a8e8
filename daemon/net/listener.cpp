#include "daemon/net/listener.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>

#include "daemon/core/error.h"
#include "daemon/net/access_policy.h"
#include "daemon/report/deferred_log.h"
#include "daemon/report/logger.h"

namespace tornax {

std::atomic<int> listener_retry_ms{listener_retry_seconds * 1000};

namespace {

using Clock = std::chrono::steady_clock;

// A failing accept (descriptors or memory exhausted) would otherwise spin.
void pause_after_failed_accept() {
  struct timespec pause {
    0, 100 * 1000000L
  };
  nanosleep(&pause, nullptr);
}

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

Listener::Listener(std::string name, const std::vector<IpAddress> &addresses, int port)
    : name_(std::move(name)), port_(port) {
  for (const IpAddress &address : addresses) {
    sockets_.push_back(Socket{address});
  }
}

std::string Listener::where(const Socket &socket) const {
  return format_ip_address(socket.address) + " port " + std::to_string(port_);
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
  sockaddr_storage address;
  const socklen_t length = socket_address_of(socket.address, port_, address);
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
      tornax_warn_and_log("%s cannot %s %s (%s); trying again every %d seconds", name_.c_str(),
                          step, where(socket).c_str(), std::strerror(error),
                          listener_retry_seconds);
    } else {
      ++listening;
    }
  }
  return listening;
}

void Listener::retry_failed() {
  for (Socket &socket : sockets_) {
    if (!socket.listening && try_listen(socket) == nullptr) {
      log_later(name_ + " listening on " + where(socket));
    }
  }
}

void Listener::accept_all(const Socket &socket, const Accepted &accepted) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    // Without SOCK_NONBLOCK the connection blocks, whatever the listener does.
    const int fd = accept4(socket.fd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
    if (fd >= 0) {
      accepted(fd, ip_address_of(peer));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return;
    } else if (errno != EINTR && errno != ECONNABORTED) {
      pause_after_failed_accept();
      return;
    }
  }
}

void Listener::run(const Accepted &accepted) {
  auto next_retry = Clock::now() + std::chrono::milliseconds(listener_retry_ms.load());
  for (;;) {
    std::vector<pollfd> waits;
    std::vector<const Socket *> waiting_sockets;
    bool failed = false;
    for (const Socket &socket : sockets_) {
      if (socket.listening) {
        waits.push_back(pollfd{socket.fd, POLLIN, 0});
        waiting_sockets.push_back(&socket);
      } else {
        failed = true;
      }
    }
    int timeout = -1;
    if (failed) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(next_retry - Clock::now());
      timeout = static_cast<int>(std::max<long long>(left.count(), 0));
    }
    if (poll(waits.data(), waits.size(), timeout) > 0) {
      for (std::size_t i = 0; i < waits.size(); ++i) {
        if (waits[i].revents != 0) {
          accept_all(*waiting_sockets[i], accepted);
        }
      }
    }
    if (failed && Clock::now() >= next_retry) {
      retry_failed();
      next_retry = Clock::now() + std::chrono::milliseconds(listener_retry_ms.load());
    }
  }
}

}  // namespace tornax
