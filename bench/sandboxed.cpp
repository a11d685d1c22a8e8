#include "bench/sandboxed.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <stdexcept>
#include <thread>

#include "tests/kit/processes.h"

namespace tornax::bench {
Sandboxed::Sandboxed(const std::string &source_dir, const std::string &record_dir,
                     const std::vector<std::string> &argv, const std::vector<std::string> &env)
    : pid_(test::start_in_sandbox(source_dir, record_dir, argv, env)), record_dir_(record_dir) {}

Sandboxed::~Sandboxed() {
  kill_sandbox();
}

pid_t Sandboxed::find(const std::string &comm, pid_t inner_pid,
                      std::chrono::milliseconds limit) const {
  return test::find_descendant(pid_, comm, inner_pid, limit);
}

bool Sandboxed::running() {
  if (ended_ || pid_ <= 0) {
    return false;
  }
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    ended_ = true;
  }
  return !ended_;
}

void Sandboxed::stop(pid_t program, std::chrono::milliseconds limit) {
  if (program > 0 && test::process_alive(program)) {
    kill(program, SIGTERM);
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill_sandbox();
}

void Sandboxed::kill_sandbox() {
  if (running()) {
    // The script is unshare by now: its death ends the namespace's init and
    // so everything inside.
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    ended_ = true;
  }
}

}  // namespace tornax::bench
