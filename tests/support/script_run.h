// Runs one of the project's narrating programs (scripts/demo, tornax-drill)
// as an administrator would, with its output in files and a pipe for what
// the test types, and looks at what it leaves behind.
#ifndef TORNAX_TESTS_SUPPORT_SCRIPT_RUN_H
#define TORNAX_TESTS_SUPPORT_SCRIPT_RUN_H

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/kit/files.h"
#include "tests/kit/no_copy.h"

namespace tornax::test {

class ScriptRun : NoCopy {
 public:
  // Starts `program args...` (a path; a bare name is one of the source tree's
  // scripts/); output and errors go to dir/out and dir/err.
  ScriptRun(const TempDir &dir, const std::string &program, const std::vector<std::string> &args);
  // Stops the script (as Ctrl-C would, then killed) if it still runs.
  ~ScriptRun();

  void type(const std::string &line) const;
  // True once the output holds `text`, waiting up to `limit`.
  bool narrated(const std::string &text,
                std::chrono::milliseconds limit = std::chrono::seconds(60)) const;
  void signal(int sig) const;
  // The exit status (128 + signal when killed). A script still running after
  // `limit` is stopped and the test fails, leaving nothing behind.
  int wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(110));

  std::string output() const;
  std::string errors() const;

 private:
  bool reaped();
  void stop();

  std::string out_, err_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::optional<int> status_;
};

std::vector<std::string> lines_of(const std::string &text);

// The narration lines of `tag` ("   4.6s [log]      text"), their text only,
// in order.
std::vector<std::string> narration(const std::string &output, const std::string &tag);

// Processes whose command line or environment names `text`.
std::vector<std::string> processes_naming(const std::string &text);

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_SCRIPT_RUN_H
