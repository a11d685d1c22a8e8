// The test kit: a steady clock that moves only when the test moves it, for
// code that takes its clock as a collaborator (the simulated UPS's world).
// Thread-safe: the code under test may read it from threads of its own.
#ifndef TORNAX_TESTS_KIT_CLOCK_H
#define TORNAX_TESTS_KIT_CLOCK_H

#include <atomic>
#include <chrono>
#include <functional>

namespace tornax::test {

class SettableClock {
 public:
  using Clock = std::chrono::steady_clock;

  Clock::time_point now() const { return Clock::time_point(Clock::duration(ticks_.load())); }
  void advance(Clock::duration by) { ticks_ += by.count(); }
  // A callable reading this clock; the clock must outlive it.
  std::function<Clock::time_point()> reader() const {
    return [this] { return now(); };
  }

 private:
  // Starts well after the epoch, so "now minus a while" never goes below it.
  std::atomic<Clock::rep> ticks_{
      std::chrono::duration_cast<Clock::duration>(std::chrono::hours(1)).count()};
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_KIT_CLOCK_H
