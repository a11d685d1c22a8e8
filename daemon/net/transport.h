// How the bytes of one connection of the event loop go in and out. Plain TCP
// here; the TLS session of a STARTTLS (daemon/net/tls_transport.h) takes its
// place under a connection without the protocol's code changing, since that
// code only receives and sends through this interface.
#ifndef TORNAX_DAEMON_NET_TRANSPORT_H
#define TORNAX_DAEMON_NET_TRANSPORT_H

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace tornax {

class Transport {
 public:
  virtual ~Transport() = default;
  // Like recv() on a non-blocking socket: the bytes taken, 0 once the peer
  // has closed, -1 with errno set (EAGAIN: nothing yet).
  virtual ssize_t receive(char *buffer, std::size_t size) = 0;
  // Like send() on a non-blocking socket: the bytes taken, or -1 with errno
  // set (EAGAIN: no room yet). Never raises SIGPIPE.
  virtual ssize_t send(const char *data, std::size_t size) = 0;
  // Bytes it has taken from the socket that receive() has not handed out
  // yet: the loop must not wait for the socket while there are such.
  virtual bool holds_input() const { return false; }
  // The socket readiness it needs beyond the caller's own wishes (a
  // handshake may have to write while the caller only reads).
  virtual std::uint32_t extra_events() const { return 0; }
};

class PlainTransport final : public Transport {
 public:
  explicit PlainTransport(int fd) : fd_(fd) {}
  ssize_t receive(char *buffer, std::size_t size) override {
    ssize_t n;
    do {
      n = recv(fd_, buffer, size, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  ssize_t send(const char *data, std::size_t size) override {
    ssize_t n;
    do {
      n = ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }

 private:
  int fd_;
};

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_TRANSPORT_H
