#include "bench/line_reader.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "tests/kit/loopback.h"

namespace tornax::bench {

LineReader::~LineReader() {
  close_now();
}

LineReader::LineReader(LineReader &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), partial_(std::move(other.partial_)) {}

void LineReader::close_now() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

bool LineReader::drain(std::vector<std::string> *lines) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      partial_.append(buffer, static_cast<std::size_t>(n));
      std::size_t end;
      while ((end = partial_.find('\n')) != std::string::npos) {
        lines->push_back(partial_.substr(0, end));
        partial_.erase(0, end + 1);
      }
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

int connect_nonblocking(int port) {
  const int fd = test::connect_loopback(port);
  if (fd >= 0) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  return fd;
}

}  // namespace tornax::bench
