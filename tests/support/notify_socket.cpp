#include "tests/support/notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace tornax::test {

NotifySocket::NotifySocket(const std::string &path) : path_(path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    throw std::runtime_error("socket path too long: " + path);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  socklen_t length = sizeof address;
  if (path[0] == '@') {
    address.sun_path[0] = '\0';
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  }
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&address), length) != 0) {
    throw std::runtime_error("cannot bind " + path);
  }
}

NotifySocket::~NotifySocket() {
  close(fd_);
  if (path_[0] != '@') {
    unlink(path_.c_str());
  }
}

std::optional<std::string> NotifySocket::next(std::chrono::milliseconds limit) {
  pollfd wait{fd_, POLLIN, 0};
  if (poll(&wait, 1, static_cast<int>(limit.count())) <= 0) {
    return std::nullopt;
  }
  char message[4096];
  const ssize_t n = recv(fd_, message, sizeof message, 0);
  if (n < 0) {
    return std::nullopt;
  }
  return std::string(message, static_cast<std::size_t>(n));
}

std::optional<std::string> NotifySocket::next_starting(const std::string &prefix,
                                                       std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return std::nullopt;
    }
    std::optional<std::string> message = next(left);
    if (!message || message->rfind(prefix, 0) == 0) {
      return message;
    }
  }
}

}  // namespace tornax::test
