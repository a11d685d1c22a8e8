// A program the drill starts (a sandbox around the daemon, the client, or
// `tornax -t`): its standard streams from and to files, in a process group
// of its own, so that Ctrl-C at the terminal reaches the drill alone, which
// then stops what it started, each by its pid. A sandbox's process is
// unshare: killing it ends the namespace and everything in it.
#ifndef TORNAX_DRILL_PROCESS_H
#define TORNAX_DRILL_PROCESS_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tornax::drill {

class Process {
 public:
  // Starts `argv` (argv[0] a path) with standard input from `in`, output to
  // `out` and errors to `err` (the same path for both puts them in one
  // file). Throws Failure when it can't be started.
  Process(const std::vector<std::string> &argv, const std::string &in, const std::string &out,
          const std::string &err);
  // Kills it if it still runs, and reaps it.
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  bool running();
  void kill_now();
  // Waits for its end: its exit status, 128 + the signal that ended it.
  int wait();
  pid_t pid() const { return pid_; }

 private:
  bool reap(int options);

  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Runs `argv` to its end as Process does; its exit status.
int run_to_end(const std::vector<std::string> &argv, const std::string &in, const std::string &out,
               const std::string &err);

}  // namespace tornax::drill

#endif  // TORNAX_DRILL_PROCESS_H
