#include "daemon/net/event_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace tornax {
namespace {

// Events taken from the kernel in one wait; more simply wait for the next.
constexpr int events_per_wait = 64;

// The wake descriptor's own entry: no watched fd has generation 0.
constexpr std::uint64_t wake_data = 0;

std::uint64_t data_of(int fd, std::uint32_t generation) {
  return (static_cast<std::uint64_t>(generation) << 32) | static_cast<std::uint32_t>(fd);
}

}  // namespace

EventLoop::EventLoop()
    : epoll_fd_(epoll_create1(EPOLL_CLOEXEC)), wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (ok()) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = wake_data;
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &event);
  }
}

EventLoop::~EventLoop() {
  for (const int fd : {epoll_fd_, wake_fd_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

bool EventLoop::watch(int fd, std::uint32_t events, Ready ready) {
  const auto found = watches_.find(fd);
  const bool known = found != watches_.end();
  Watch &entry = watches_[fd];
  if (!known) {
    entry.generation = next_generation_++;
    if (next_generation_ == 0) {
      next_generation_ = 1;
    }
  }
  entry.events = events;
  entry.ready = std::make_shared<Ready>(std::move(ready));
  epoll_event event{};
  event.events = events;
  event.data.u64 = data_of(fd, entry.generation);
  if (epoll_ctl(epoll_fd_, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) != 0) {
    watches_.erase(fd);
    return false;
  }
  return true;
}

void EventLoop::change(int fd, std::uint32_t events) {
  const auto found = watches_.find(fd);
  if (found == watches_.end() || found->second.events == events) {
    return;
  }
  found->second.events = events;
  epoll_event event{};
  event.events = events;
  event.data.u64 = data_of(fd, found->second.generation);
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &event);
}

void EventLoop::forget(int fd) {
  if (watches_.erase(fd) != 0) {
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  }
}

EventLoop::TimerId EventLoop::at(Clock::time_point when, Task task) {
  const TimerId id{when, next_serial_++};
  timers_.emplace(id, std::move(task));
  return id;
}

void EventLoop::cancel(TimerId &timer) {
  if (timer.serial != 0) {
    timers_.erase(timer);
    timer = TimerId{};
  }
}

void EventLoop::post(Task task) {
  {
    const std::lock_guard<std::mutex> guard(posted_lock_);
    posted_.push_back(std::move(task));
  }
  const std::uint64_t one = 1;
  // A full counter (never, in practice) still leaves the loop readable.
  [[maybe_unused]] const ssize_t written = write(wake_fd_, &one, sizeof one);
}

void EventLoop::run() {
  for (;;) {
    run_once(std::chrono::milliseconds(-1));
  }
}

int EventLoop::wait_ms(std::chrono::milliseconds limit) const {
  long long ms = limit.count() < 0 ? -1 : limit.count();
  if (!timers_.empty()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first.when - Clock::now());
    const long long until_timer = std::max<long long>(left.count(), 0);
    ms = ms < 0 ? until_timer : std::min(ms, until_timer);
  }
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

void EventLoop::run_once(std::chrono::milliseconds limit) {
  epoll_event events[events_per_wait];
  const int count = epoll_wait(epoll_fd_, events, events_per_wait, wait_ms(limit));
  for (int i = 0; i < count; ++i) {
    dispatch(events[i].data.u64, events[i].events);
  }
  run_due_timers();
  run_posted();
}

void EventLoop::dispatch(std::uint64_t data, std::uint32_t events) {
  if (data == wake_data) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = read(wake_fd_, &count, sizeof count);
    return;
  }
  const int fd = static_cast<int>(data & 0xffffffffu);
  const auto found = watches_.find(fd);
  // An fd forgotten (and perhaps reused) since the wait took its event.
  if (found == watches_.end() || found->second.generation != data >> 32) {
    return;
  }
  const std::shared_ptr<Ready> ready = found->second.ready;
  (*ready)(events);
}

void EventLoop::run_due_timers() {
  const Clock::time_point now = Clock::now();
  while (!timers_.empty() && timers_.begin()->first.when <= now) {
    Task task = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    task();
  }
}

void EventLoop::run_posted() {
  std::vector<Task> tasks;
  {
    const std::lock_guard<std::mutex> guard(posted_lock_);
    tasks.swap(posted_);
  }
  for (Task &task : tasks) {
    task();
  }
}

}  // namespace tornax
