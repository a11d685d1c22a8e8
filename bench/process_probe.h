// Looks at a running process from outside through /proc: its memory, threads
// and CPU time (the test kit finds the daemon's host pid in its sandbox).
#ifndef TORNAX_BENCH_PROCESS_PROBE_H
#define TORNAX_BENCH_PROCESS_PROBE_H

#include <sys/types.h>

#include <map>

namespace tornax::bench {

// One look at a process. Memory in KiB; a field that could not be read is -1.
struct ProcessSample {
  double cpu_seconds = 0;      // utime + stime of all its threads, dead ones included
  double runtime_seconds = 0;  // the scheduler's run time of its live threads, in ns precision
  long rss_kib = -1;
  long pss_kib = -1;  // only when taken with smaps
  long hwm_kib = -1;  // peak RSS over the process's life
  int threads = -1;
};

// Each live thread's voluntary context switches (one for every time it slept
// and was woken), by thread id.
std::map<long, long> thread_wakeups(pid_t pid);

// The threads of `before` whose wake-ups rose by at least `times` by `after`.
int threads_woken(const std::map<long, long> &before, const std::map<long, long> &after,
                  long times);

// Reads /proc/PID/stat, status and the tasks' schedstat; with `smaps` also the
// proportional set size from smaps_rollup (costly with many thread stacks).
ProcessSample sample_process(pid_t pid, bool smaps);

}  // namespace tornax::bench

#endif  // TORNAX_BENCH_PROCESS_PROBE_H
