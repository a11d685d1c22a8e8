// A TCP listener of the daemon on one port and one or more addresses. It is
// opened on the main thread at start-up, so that a failure is reported at
// once on standard error and in the log; an address that can't be bound (the
// port taken by another program, the address not up yet) is tried again by
// the listener's own thread every few seconds until it works, its failure
// reported once and its success once. Monitoring never waits for any of it.
#ifndef TORNAX_DAEMON_NET_LISTENER_H
#define TORNAX_DAEMON_NET_LISTENER_H

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "tornax.h"

namespace tornax {

// Pause between two attempts to bind an address, as the reports state it.
inline constexpr int listener_retry_seconds = 5;
// The same in milliseconds, the pause actually kept; tests shorten it.
extern std::atomic<int> listener_retry_ms;

class Listener {
 public:
  // Receives each accepted connection: a blocking, close-on-exec descriptor
  // that it owns from then on, and the peer's address.
  using Accepted = std::function<void(int fd, const IpAddress &peer)>;

  // `name` starts every report ("Status server").
  Listener(std::string name, const std::vector<IpAddress> &addresses, int port);
  Listener(const Listener &) = delete;
  Listener &operator=(const Listener &) = delete;

  // Main thread, once: makes a socket for each address and has it listen with
  // the system's largest backlog. Reports each address that fails; returns
  // how many listen now.
  int open();

  // The listener's thread: hands every connection on any address to
  // `accepted`, and tries the failed addresses again meanwhile. Never returns.
  [[noreturn]] void run(const Accepted &accepted);

  // The port the first listening socket is bound to (the system's pick when
  // the port is 0); 0 while none listens. Any thread.
  int port() const { return bound_port_.load(); }

 private:
  struct Socket {
    IpAddress address;
    int fd = -1;
    bool listening = false;
  };

  // Makes `socket` listen; on failure returns the failed step and sets errno.
  const char *try_listen(Socket &socket);
  std::string where(const Socket &socket) const;
  void retry_failed();
  void accept_all(const Socket &socket, const Accepted &accepted);

  std::string name_;
  int port_;
  std::vector<Socket> sockets_;
  std::atomic<int> bound_port_{0};
};

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_LISTENER_H
