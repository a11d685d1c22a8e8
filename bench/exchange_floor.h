// The least CPU a cycle can cost on this machine: the same eight query and
// reply exchanges with the simulated UPS (flushes included) and nothing else,
// once a second. The daemon's cycle cost is read against it.
#ifndef TORNAX_BENCH_EXCHANGE_FLOOR_H
#define TORNAX_BENCH_EXCHANGE_FLOOR_H

namespace tornax::bench {

// Runs `cycles` bare cycles against a simulated UPS of its own, paced at 4800
// baud, and returns the CPU time (the scheduler's run time of the calling
// thread) per cycle in seconds. Throws when the pty can't be set up.
double exchange_floor_per_cycle(int cycles);

}  // namespace tornax::bench

#endif  // TORNAX_BENCH_EXCHANGE_FLOOR_H
