// Starts one of the real programs inside scripts/sandbox, the only way the
// benchmark runs tornax or tornaxalert, and ends it again by pid: first the
// program itself with SIGTERM, then, if the sandbox outlives it, the sandbox.
#ifndef TORNAX_BENCH_SANDBOXED_H
#define TORNAX_BENCH_SANDBOXED_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/kit/no_copy.h"

namespace tornax::bench {

class Sandboxed : test::NoCopy {
 public:
  // Runs `scripts/sandbox --record record_dir -- argv...` with `env` added
  // ("NAME=value"); standard output and error go to record_dir/stdout and
  // record_dir/stderr. Descriptors other than 0, 1 and 2 are not inherited.
  Sandboxed(const std::string &source_dir, const std::string &record_dir,
            const std::vector<std::string> &argv, const std::vector<std::string> &env);
  // Ends whatever still runs.
  ~Sandboxed();

  // The host pid of the live process `comm` in the sandbox whose own pid in
  // the sandbox is `inner_pid` (any, when 0); 0 when none appeared in time.
  pid_t find(const std::string &comm, pid_t inner_pid, std::chrono::milliseconds limit) const;
  // SIGTERM to `program` (a host pid found in this sandbox), then waits for
  // the sandbox to end; kills the sandbox when it is still there after `limit`.
  void stop(pid_t program, std::chrono::milliseconds limit);
  bool running();
  const std::string &record_dir() const { return record_dir_; }

 private:
  void kill_sandbox();

  pid_t pid_ = -1;
  bool ended_ = false;
  std::string record_dir_;
};

}  // namespace tornax::bench

#endif  // TORNAX_BENCH_SANDBOXED_H
