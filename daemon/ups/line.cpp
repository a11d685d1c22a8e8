#include "daemon/ups/line.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "daemon/core/timings.h"

namespace tornax {
namespace {

int replies_accepted = 0;

// Waits until `fd` is readable, at most `ms`. Returns the poll events (0 on
// time-out), or -1 on failure. A line that hung up reports POLLHUP or
// POLLERR, and its read then gives 0.
int wait_readable(int fd, int ms) {
  struct pollfd p {
    fd, POLLIN, 0
  };
  int ready;
  do {
    ready = poll(&p, 1, ms);
  } while (ready < 0 && errno == EINTR);
  return ready <= 0 ? ready : p.revents;
}

// A read that returned nothing either timed out or met a line that hung up
// (a pty whose other side closed, a serial adapter unplugged). Input that
// arrived just after the time-out is neither.
bool hung_up(int fd) {
  const int events = fd >= 0 ? wait_readable(fd, 0) : 0;
  return events > 0 && (events & (POLLHUP | POLLERR)) != 0;
}

long elapsed_ms(const struct timespec &since) {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - since.tv_sec) * 1000L + (now.tv_nsec - since.tv_nsec) / 1000000L;
}

}  // namespace

// The device is opened non-blocking so that a serial port without carrier
// does not hold the open; once the line ignores the modem control lines the
// descriptor goes back to blocking reads governed by the read time-out.
int open_line(const char *device_filename, speed_t speed) {
  const int fd = open(device_filename, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return fd;  // errno tells why; the caller reports it, once
  }
  struct termios tio {};
  tio.c_cflag = speed | CS8 | CREAD | CLOCAL;
  tio.c_iflag = IGNPAR;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  tio.c_cc[VMIN] = 0;
  const long tenths = (timings.reply_timeout.get().count() + 99) / 100;
  tio.c_cc[VTIME] = static_cast<cc_t>(std::clamp(tenths, 1L, 255L));
  tcflush(fd, TCIFLUSH);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    std::perror("openport():tcsetattr() fail");
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

ssize_t write_all(int fd, const char *bytes, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = write(fd, bytes + done, length - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t read_once(int fd, char *buf, std::size_t limit) {
  ssize_t n;
  do {
    n = read(fd, buf, limit);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t read_reply(int fd, char *buf, std::size_t limit, char line_end) {
  ssize_t n = read_once(fd, buf, limit);
  if (n == 0 && hung_up(fd)) {
    errno = EIO;
    return -1;
  }
  if (n <= 0 || std::memchr(buf, line_end, static_cast<std::size_t>(n)) != nullptr) {
    return n;
  }
  std::size_t got = static_cast<std::size_t>(n);
  struct timespec start {};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (got < limit) {
    const long left = timings.reply_timeout.get().count() - elapsed_ms(start);
    const int ready = left > 0 ? wait_readable(fd, static_cast<int>(left)) : 0;
    if (ready <= 0) {
      return ready < 0 ? ready : static_cast<ssize_t>(got);
    }
    n = read_once(fd, buf + got, limit - got);
    if (n == 0 && hung_up(fd)) {
      errno = EIO;
      return -1;
    }
    if (n <= 0) {
      return n < 0 ? n : static_cast<ssize_t>(got);
    }
    got += static_cast<std::size_t>(n);
    if (std::memchr(buf + got - n, line_end, static_cast<std::size_t>(n)) != nullptr) {
      break;
    }
  }
  return static_cast<ssize_t>(got);
}

void note_reply_accepted() {
  ++replies_accepted;
}

int take_replies_accepted() {
  return std::exchange(replies_accepted, 0);
}

}  // namespace tornax
