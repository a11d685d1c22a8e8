// A TCP listener of the daemon on one port and one or more addresses. It is
// opened on the main thread at start-up, so that a failure is reported at
// once on standard error and in the log; an address that can't be bound (the
// port taken by another program, the address not up yet) is tried again by
// the event loop it is attached to every few seconds until it works, its
// failure reported once and its success once. Monitoring never waits for
// any of it.
#ifndef TORNAX_DAEMON_NET_LISTENER_H
#define TORNAX_DAEMON_NET_LISTENER_H

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "daemon/net/event_loop.h"
#include "tornax.h"

namespace tornax {

// An address that can't be bound is tried again every timings.listener_retry.

// Sockets of every listener that failed to open and may still do so: the
// descriptors they will take are kept out of the clients' budget.
int listener_sockets_to_open();

// The addresses the surfaces listen on: LISTEN's, or without any, every
// address of both families ("0.0.0.0" and "::"), so no other program can
// answer for the daemon on the family it left open.
std::vector<IpAddress> listen_addresses(const Settings &s);

// An address and port as reports write them: "192.0.2.1:4004",
// "[2001:db8::1]:4004".
std::string address_and_port(const IpAddress &address, int port);

class Listener {
 public:
  // Receives each accepted connection: a blocking, close-on-exec descriptor
  // that it owns from then on, and the peer's address.
  using Accepted = std::function<void(int fd, const IpAddress &peer)>;

  // `name` starts every report ("Status server"). With `by_default` (the
  // addresses are listen_addresses()' own, not LISTEN's), an IPv6 side the
  // host can't have is left out, and the log says so once for every surface.
  Listener(std::string name, const std::vector<IpAddress> &addresses, int port,
           bool by_default = false);
  Listener(const Listener &) = delete;
  Listener &operator=(const Listener &) = delete;

  // Main thread, once: makes a socket for each address and has it listen with
  // the system's largest backlog. Reports each address that fails; returns
  // how many listen now.
  int open();

  // From now on `loop` hands every connection on any address to `accepted`
  // and tries the failed addresses again meanwhile. The loop's thread, or
  // before the loop runs.
  void attach(EventLoop &loop, Accepted accepted);

  // The port the first listening socket is bound to (the system's pick when
  // the port is 0); 0 while none listens. Any thread.
  int port() const { return bound_port_.load(); }

 private:
  struct Socket {
    IpAddress address;
    int fd = -1;
    bool listening = false;
    bool left_out = false;  // a default address of a family the host lacks
  };

  // Makes `socket` listen; on failure returns the failed step and sets errno.
  const char *try_listen(Socket &socket);
  std::string where(const Socket &socket) const;
  void retry_failed();
  void watch(const Socket &socket);
  void accept_all(int fd);

  std::string name_;
  int port_;
  bool by_default_;
  std::vector<Socket> sockets_;
  std::atomic<int> bound_port_{0};
  EventLoop *loop_ = nullptr;
  Accepted accepted_;
};

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_LISTENER_H
