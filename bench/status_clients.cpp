#include "bench/status_clients.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "wire_protocol.h"

namespace tornax::bench {
namespace {}  // namespace

StatusClients::StatusClients(int port) : port_(port), epoll_fd_(epoll_create1(EPOLL_CLOEXEC)) {}

StatusClients::~StatusClients() {
  close_all();
  if (epoll_fd_ >= 0) {
    close(epoll_fd_);
  }
}

void StatusClients::take_lines(std::size_t index, bool counting, Clock::time_point now) {
  std::vector<std::string> lines;
  ClientTally &tally = tallies_[index];
  if (!readers_[index].drain(&lines)) {
    tally.lost = true;
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, readers_[index].fd(), nullptr);
    readers_[index].close_now();
  }
  for (const std::string &line : lines) {
    if (tally.header_lines == 0) {
      tally.first_line = now;
    }
    if (tally.header_lines == 0 && line == refusal_text) {
      tally.refused = true;
    }
    if (tally.refused || tally.header_lines < header_line_count) {
      ++tally.header_lines;
      continue;
    }
    if (counting) {
      ++tally.window_lines;
      if (tally.last_line != Clock::time_point{}) {
        const double gap = std::chrono::duration<double>(now - tally.last_line).count();
        tally.max_gap_seconds = std::max(tally.max_gap_seconds, gap);
      }
    }
    tally.last_line = now;
  }
}

void StatusClients::wait_events(int timeout_ms, bool counting) {
  epoll_event events[256];
  const int n = epoll_wait(epoll_fd_, events, 256, timeout_ms);
  const Clock::time_point now = Clock::now();
  for (int i = 0; i < n; ++i) {
    take_lines(events[i].data.u64, counting, now);
  }
}

void StatusClients::add(int fd) {
  const std::size_t index = readers_.size();
  readers_.emplace_back(fd);
  tallies_.emplace_back();
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = index;
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event);
}

double StatusClients::connect_at_once(int count, std::chrono::milliseconds limit) {
  const std::size_t first = readers_.size();
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const int fd = connect_nonblocking(port_);
    if (fd >= 0) {
      add(fd);
    }
  }
  const auto all_answered = [&] {
    for (std::size_t i = first; i < tallies_.size(); ++i) {
      if (tallies_[i].header_lines == 0) {
        return false;
      }
    }
    return tallies_.size() - first == static_cast<std::size_t>(count);
  };
  while (!all_answered()) {
    if (Clock::now() - start > limit) {
      return -1;
    }
    wait_events(50, false);
  }
  Clock::time_point last = start;
  for (std::size_t i = first; i < tallies_.size(); ++i) {
    last = std::max(last, tallies_[i].first_line);
  }
  return std::chrono::duration<double>(last - start).count();
}

int StatusClients::connect(int count, std::chrono::milliseconds per_client_limit) {
  int greeted = 0;
  for (int i = 0; i < count; ++i) {
    const int fd = connect_nonblocking(port_);
    if (fd < 0) {
      continue;
    }
    const std::size_t index = readers_.size();
    add(fd);
    const auto deadline = Clock::now() + per_client_limit;
    while (tallies_[index].header_lines == 0 && !tallies_[index].lost && Clock::now() < deadline) {
      wait_events(50, false);
    }
    greeted += tallies_[index].header_lines > 0 && !tallies_[index].refused ? 1 : 0;
  }
  return greeted;
}

void StatusClients::follow(std::chrono::milliseconds duration, const std::function<void()> &tick) {
  for (ClientTally &tally : tallies_) {
    tally.window_lines = 0;
    tally.max_gap_seconds = 0;
  }
  const auto end = Clock::now() + duration;
  auto next_tick = Clock::now();
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    if (now >= next_tick) {
      tick();
      next_tick = now + std::chrono::milliseconds(250);
    }
    const auto wait = std::min(end, next_tick) - now;
    const auto wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait).count();
    wait_events(static_cast<int>(std::max<long long>(wait_ms, 1)), true);
  }
}

void StatusClients::close_all() {
  for (LineReader &reader : readers_) {
    reader.close_now();
  }
  readers_.clear();
  tallies_.clear();
}

}  // namespace tornax::bench
