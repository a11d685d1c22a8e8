// The least CPU a cycle can cost on this machine: the same eight query and
// reply exchanges with the simulated UPS (flushes included) and nothing else,
// once a second. The daemon's cycle cost is read against it.
#ifndef TORNAX_BENCH_EXCHANGE_FLOOR_H
#define TORNAX_BENCH_EXCHANGE_FLOOR_H

#include <string>

namespace tornax::bench {

// Runs `cycles` bare cycles against a simulated UPS of its own, paced at 4800
// baud, and returns their CPU time (the scheduler's run time) per cycle in
// seconds. The cycles run in a process of their own, `program --floor-loop`,
// so that each reply crosses from one process to another as it does for the
// daemon. Throws when the pty or the process can't be set up.
double exchange_floor_per_cycle(int cycles, const std::string &program);

// The child's side: runs the bare cycles on the pty at `path` in this thread
// and returns the run time per cycle in seconds.
double run_bare_cycles(const std::string &path, int cycles);

}  // namespace tornax::bench

#endif  // TORNAX_BENCH_EXCHANGE_FLOOR_H
