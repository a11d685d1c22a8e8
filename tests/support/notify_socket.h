// A datagram socket standing in for systemd's notification socket: the path
// goes into NOTIFY_SOCKET, and the test reads what the daemon sent.
#ifndef TORNAX_TESTS_SUPPORT_NOTIFY_SOCKET_H
#define TORNAX_TESTS_SUPPORT_NOTIFY_SOCKET_H

#include <chrono>
#include <optional>
#include <string>

#include "tests/kit/no_copy.h"

namespace tornax::test {

class NotifySocket : NoCopy {
 public:
  // Binds a datagram socket at `path`; one starting with "@" is an abstract
  // address, as NOTIFY_SOCKET writes it.
  explicit NotifySocket(const std::string &path);
  ~NotifySocket();

  // "NOTIFY_SOCKET=<path>".
  std::string environment() const { return "NOTIFY_SOCKET=" + path_; }
  // The next message, or nullopt when none came within `limit`.
  std::optional<std::string> next(std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Skips messages until one starts with `prefix` and returns it; nullopt
  // when none came within `limit`.
  std::optional<std::string> next_starting(
      const std::string &prefix, std::chrono::milliseconds limit = std::chrono::seconds(20));

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_NOTIFY_SOCKET_H
