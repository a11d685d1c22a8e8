#include "tests/support/sandbox_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
#include <thread>

#include "tests/kit/files.h"
#include "tests/kit/processes.h"

namespace tornax::test {

std::string built_program(const std::string &name) {
  const std::string base = TORNAX_BINARY_DIR;
  return name == "tornax-test-subreaper" ? base + "/tests/" + name : base + "/" + name;
}

SandboxRun::SandboxRun(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                       const std::string &record_dir)
    : pid_(start_in_sandbox(TORNAX_SOURCE_DIR, record_dir, argv, env)), record_dir_(record_dir) {}

SandboxRun::~SandboxRun() {
  kill_all();
}

std::optional<int> SandboxRun::wait(std::chrono::milliseconds limit) {
  wait_until([this] { return !running(); }, limit);
  return status_;
}

bool SandboxRun::running() {
  if (status_ || pid_ <= 0) {
    return false;
  }
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

void SandboxRun::kill_all() {
  if (running()) {
    // The sandbox script is unshare by now; --kill-child ends the namespace.
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = 128 + SIGKILL;
  }
}

std::string SandboxRun::stdout_text() const {
  return read_file(record_dir_ + "/stdout");
}
std::string SandboxRun::stderr_text() const {
  return read_file(record_dir_ + "/stderr");
}
std::string SandboxRun::actions() const {
  return read_file(record_dir_ + "/actions");
}

pid_t SandboxRun::find_process(const std::string &comm, std::chrono::milliseconds limit) {
  return find_descendant(pid_, comm, 0, limit);
}

}  // namespace tornax::test
