#include "bench/line_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "tests/kit/loopback.h"

namespace tornax::bench {

LineReader::~LineReader() {
  close_now();
}

LineReader::LineReader(LineReader &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), lines_(std::move(other.lines_)) {}

void LineReader::close_now() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
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
