// Runs a real program of the project inside scripts/sandbox and watches it
// from outside: its output, its exit status, the processes it left running
// in the sandbox. The only way the tests start tornax or tornaxalert.
#ifndef TORNAX_TESTS_SUPPORT_SANDBOX_RUN_H
#define TORNAX_TESTS_SUPPORT_SANDBOX_RUN_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/kit/no_copy.h"
#include "tests/kit/processes.h"

namespace tornax::test {

// Path of a program built by the project (tornax, tornaxalert, tornax-upssim,
// tornax-test-subreaper).
std::string built_program(const std::string &name);

class SandboxRun : NoCopy {
 public:
  // Starts `scripts/sandbox --record <record_dir> -- argv...` with `env`
  // ("NAME=value") added to the environment. Standard output and error go to
  // files in record_dir (stdout, stderr).
  SandboxRun(const std::vector<std::string> &argv, const std::vector<std::string> &env,
             const std::string &record_dir);
  // Ends the whole sandbox if it still runs.
  ~SandboxRun();

  // Waits for the sandbox to end; its status as a shell shows it (128 + signal
  // when killed: 130 after a halt inside). nullopt when it still runs after
  // `limit`.
  std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
  bool running();
  // Ends the sandbox and everything in it.
  void kill_all();

  std::string stdout_text() const;
  std::string stderr_text() const;
  // The host pid of a process in the sandbox whose command name is `comm`,
  // waiting up to `limit` for it to appear; 0 when none did.
  pid_t find_process(const std::string &comm,
                     std::chrono::milliseconds limit = std::chrono::seconds(10));
  // The record directory: actions, wall, console written by the stubs.
  const std::string &record_dir() const { return record_dir_; }
  std::string actions() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string record_dir_;
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_SANDBOX_RUN_H
