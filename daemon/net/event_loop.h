// One thread that serves many connections: it waits on their descriptors
// (epoll, level-triggered) and on timers, and calls back whoever watches
// what became ready. A thousand clients that each ask a question a second
// then cost one thread and a few hundred bytes each, not a thread and its
// stack each.
//
// Everything but post() belongs to the loop's own thread once run() has
// started (before that, to the thread that made the loop). Callbacks run on
// that thread one at a time, so what they touch needs no lock, and none may
// block: a callback that waited would hold up every connection.
#ifndef TORNAX_DAEMON_NET_EVENT_LOOP_H
#define TORNAX_DAEMON_NET_EVENT_LOOP_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tornax {

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  // Receives the epoll events (EPOLLIN, EPOLLOUT, EPOLLHUP ...) that came.
  using Ready = std::function<void(std::uint32_t events)>;
  using Task = std::function<void()>;
  // A timer, to cancel it by; a default one names none.
  struct TimerId {
    Clock::time_point when{};
    std::uint64_t serial = 0;
    auto operator<=>(const TimerId &) const = default;
  };

  // Makes the epoll set and the descriptor post() wakes it through; ok()
  // tells whether both could be made.
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop &) = delete;
  EventLoop &operator=(const EventLoop &) = delete;
  bool ok() const { return epoll_fd_ >= 0 && wake_fd_ >= 0; }

  // Calls `ready` whenever `fd` has one of `events` (hang-ups and errors
  // always count). Watching an fd already watched replaces its events and
  // callback. Returns false when the kernel refused (the fd is then not
  // watched).
  bool watch(int fd, std::uint32_t events, Ready ready);
  // Changes the events an fd is watched for (0: none for now).
  void change(int fd, std::uint32_t events);
  // Stops watching `fd`; call it before closing the fd. An event already
  // taken for it is not delivered.
  void forget(int fd);

  // Calls `task` once at `when` (or as soon after as the loop gets to it).
  TimerId at(Clock::time_point when, Task task);
  TimerId after(std::chrono::milliseconds delay, Task task) {
    return at(Clock::now() + delay, std::move(task));
  }
  // Cancels a timer that has not run; nothing for one that has or none.
  void cancel(TimerId &timer);

  // Any thread: runs `task` on the loop's thread soon.
  void post(Task task);

  // The loop's thread: waits and calls back, for ever.
  [[noreturn]] void run();
  // One round: waits at most `limit` (or until the next timer), then calls
  // back whatever is ready and due. Tests and run() use it.
  void run_once(std::chrono::milliseconds limit);

 private:
  struct Watch {
    std::uint32_t generation = 0;
    std::uint32_t events = 0;
    // Shared so that a callback that forgets its own fd runs to its end.
    std::shared_ptr<Ready> ready;
  };

  void dispatch(std::uint64_t data, std::uint32_t events);
  void run_due_timers();
  void run_posted();
  int wait_ms(std::chrono::milliseconds limit) const;

  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  std::uint32_t next_generation_ = 1;
  std::unordered_map<int, Watch> watches_;
  std::uint64_t next_serial_ = 1;
  std::map<TimerId, Task> timers_;
  std::mutex posted_lock_;
  std::vector<Task> posted_;
};

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_EVENT_LOOP_H
