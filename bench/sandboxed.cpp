#include "bench/sandboxed.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <stdexcept>
#include <thread>

#include "bench/process_probe.h"

namespace tornax::bench {
namespace {

std::vector<std::string> environment_with(const std::vector<std::string> &extra) {
  std::map<std::string, std::string> values;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    const std::string assignment = *entry;
    values[assignment.substr(0, assignment.find('='))] = assignment;
  }
  for (const std::string &assignment : extra) {
    values[assignment.substr(0, assignment.find('='))] = assignment;
  }
  std::vector<std::string> merged;
  for (const auto &[name, assignment] : values) {
    merged.push_back(assignment);
  }
  return merged;
}

std::vector<char *> pointers(std::vector<std::string> &texts) {
  std::vector<char *> list;
  for (std::string &text : texts) {
    list.push_back(text.data());
  }
  list.push_back(nullptr);
  return list;
}

}  // namespace

Sandboxed::Sandboxed(const std::string &source_dir, const std::string &record_dir,
                     const std::vector<std::string> &argv, const std::vector<std::string> &env)
    : record_dir_(record_dir) {
  std::vector<std::string> args = {source_dir + "/scripts/sandbox", "--record", record_dir, "--"};
  args.insert(args.end(), argv.begin(), argv.end());
  std::vector<std::string> environment = environment_with(env);
  const std::vector<char *> c_args = pointers(args);
  const std::vector<char *> c_env = pointers(environment);
  const std::string out = record_dir + "/stdout";
  const std::string err = record_dir + "/stderr";
  pid_ = fork();
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    // The benchmark holds a thousand sockets; none of them is the sandbox's.
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    closefrom(3);
    execve(c_args[0], c_args.data(), c_env.data());
    _exit(127);
  }
}

Sandboxed::~Sandboxed() {
  kill_sandbox();
}

pid_t Sandboxed::find(const std::string &comm, pid_t inner_pid,
                      std::chrono::milliseconds limit) const {
  return find_descendant(pid_, comm, inner_pid, limit);
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
  if (program > 0 && process_alive(program)) {
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
