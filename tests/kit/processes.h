// The test kit: running a real program of the project in scripts/sandbox, the
// child's environment, and finding the processes it started through /proc.
#ifndef TORNAX_TESTS_KIT_PROCESSES_H
#define TORNAX_TESTS_KIT_PROCESSES_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tornax::test {

// Polls `condition` every 20 ms until it holds or `limit` passes. A bound on
// how long to wait for something to happen, not an assertion on speed.
bool wait_until(const std::function<bool()> &condition,
                std::chrono::milliseconds limit = std::chrono::seconds(20));

// This process's environment with `extra` ("NAME=value") added or replacing,
// sorted by name.
std::vector<std::string> environment_with(const std::vector<std::string> &extra);

// Forks and runs `source_dir/scripts/sandbox --record record_dir -- argv...`
// with `env` added to the environment; standard input from /dev/null, output
// and error into record_dir/stdout and record_dir/stderr (the folder made
// first), no other descriptor inherited. Everything is prepared before fork(),
// so a caller with threads is safe. Returns the child's pid; throws
// std::runtime_error when the folder can't be made, a file can't be opened or
// fork fails.
pid_t start_in_sandbox(const std::string &source_dir, const std::string &record_dir,
                       const std::vector<std::string> &argv, const std::vector<std::string> &env);

// One line of /proc/PID/stat, the fields the kit uses.
struct ProcessStat {
  pid_t parent = 0;
  char state = '?';
  pid_t session = 0;
  std::string comm;
  unsigned long long ticks = 0;  // utime + stime
};

// False when the process is gone or its stat can't be read.
bool read_process_stat(pid_t pid, ProcessStat *stat);
// Every process now, by pid.
std::map<pid_t, ProcessStat> list_processes();
// True when `pid` is alive and not a zombie.
bool process_alive(pid_t pid);
// The pid as the process's own (innermost) PID namespace sees it; 0 unknown.
pid_t inner_pid_of(pid_t pid);

// The host pid of a live descendant of `ancestor` named `comm` whose inner pid
// is `inner_pid` (any, when 0), waiting up to `limit` for one; 0 when none.
// With any inner pid, a program that detaches is briefly two processes of that
// name (the parent leaves at once) and may fork children that still bear it:
// the one that leads its own session is chosen, else the eldest of the name.
pid_t find_descendant(pid_t ancestor, const std::string &comm, pid_t inner_pid,
                      std::chrono::milliseconds limit);

}  // namespace tornax::test

#endif  // TORNAX_TESTS_KIT_PROCESSES_H
