#include "bench/latency_probes.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "wire_protocol.h"

namespace tornax::bench {
namespace {

using Clock = std::chrono::steady_clock;

bool ends_with(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// The status word is the line's first field, in hexadecimal.
bool shows_power_fail(const std::string &status_line) {
  return (std::strtoul(status_line.c_str(), nullptr, 16) & ext_powerfail) != 0;
}

bool log_sign(const std::string &line, bool failure) {
  return contains(line, failure ? " : Power fail detected" : " : Power is return");
}

bool status_sign(const std::string &line, bool failure) {
  return shows_power_fail(line) == failure;
}

bool alert_sign(const std::string &line, bool failure) {
  return ends_with(line, failure ? " : Power fail detect" : " : Power is return");
}

int open_fifo(const std::string &path) {
  if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
    return -1;
  }
  // Read and write: the FIFO never reports an end while no writer has it open.
  return open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

off_t file_size(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

void note(double *slot, bool seen, Clock::time_point since) {
  if (seen && *slot < 0) {
    *slot = std::chrono::duration<double>(Clock::now() - since).count();
  }
}

}  // namespace

LatencyProbes::LatencyProbes(const std::string &log_path, int port, const std::string &fifo_path)
    : log_path_(log_path),
      log_offset_(file_size(log_path)),
      inotify_fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      status_(connect_nonblocking(port)),
      alert_(open_fifo(fifo_path)) {
  if (inotify_fd_ < 0 || inotify_add_watch(inotify_fd_, log_path.c_str(), IN_MODIFY) < 0) {
    throw std::runtime_error("cannot watch " + log_path);
  }
  if (status_.fd() < 0 || alert_.fd() < 0) {
    throw std::runtime_error("cannot connect the status probe or open the alert FIFO");
  }
}

LatencyProbes::~LatencyProbes() {
  if (inotify_fd_ >= 0) {
    close(inotify_fd_);
  }
}

void LatencyProbes::read_log(std::vector<std::string> *lines) {
  char events[4096];
  while (read(inotify_fd_, events, sizeof events) > 0) {
  }
  const int fd = open(log_path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = pread(fd, buffer, sizeof buffer, log_offset_)) > 0) {
    log_offset_ += n;
    log_partial_.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  std::size_t end;
  while ((end = log_partial_.find('\n')) != std::string::npos) {
    lines->push_back(log_partial_.substr(0, end));
    log_partial_.erase(0, end + 1);
  }
}

LatencyProbes::Lines LatencyProbes::poll_lines(int timeout_ms) {
  pollfd fds[3] = {{inotify_fd_, POLLIN, 0}, {status_.fd(), POLLIN, 0}, {alert_.fd(), POLLIN, 0}};
  Lines lines;
  if (poll(fds, 3, timeout_ms) <= 0) {
    return lines;
  }
  if (fds[0].revents != 0) {
    read_log(&lines.log);
  }
  if (fds[1].revents != 0 && !status_.drain(&lines.status)) {
    throw std::runtime_error("the daemon closed the status probe's connection");
  }
  if (fds[2].revents != 0) {
    alert_.drain(&lines.alert);
  }
  return lines;
}

void LatencyProbes::pass(std::chrono::milliseconds duration) {
  const auto end = Clock::now() + duration;
  while (Clock::now() < end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    poll_lines(static_cast<int>(std::max<long long>(left.count(), 1)));
  }
}

Sighting LatencyProbes::watch(bool failure, Clock::time_point since,
                              std::chrono::milliseconds limit) {
  Sighting seen;
  const auto end = since + limit;
  while ((seen.log < 0 || seen.status_line < 0 || seen.alert < 0) && Clock::now() < end) {
    const Lines lines = poll_lines(20);
    for (const std::string &line : lines.log) {
      note(&seen.log, log_sign(line, failure), since);
    }
    for (const std::string &line : lines.status) {
      note(&seen.status_line, status_sign(line, failure), since);
    }
    for (const std::string &line : lines.alert) {
      note(&seen.alert, alert_sign(line, failure), since);
    }
  }
  return seen;
}

}  // namespace tornax::bench
