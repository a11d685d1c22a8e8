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

#include "tests/support/temp_dir.h"

namespace tornax::test {

std::string built_program(const std::string &name) {
  const std::string base = TORNAX_BINARY_DIR;
  return name == "tornax-test-subreaper" ? base + "/tests/" + name : base + "/" + name;
}

namespace {

// The process's environment with `extra` ("NAME=value") added or replacing.
std::vector<std::string> merged_environment(const std::vector<std::string> &extra) {
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

}  // namespace

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

SandboxRun::SandboxRun(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                       const std::string &record_dir)
    : record_dir_(record_dir) {
  std::vector<std::string> args = {std::string(TORNAX_SOURCE_DIR) + "/scripts/sandbox", "--record",
                                   record_dir, "--"};
  args.insert(args.end(), argv.begin(), argv.end());
  const std::string out = record_dir + "/stdout";
  const std::string err = record_dir + "/stderr";
  // Everything the child needs is built before fork(): the test process may
  // run threads (the simulated UPS), so the child only calls async-signal-safe
  // functions before exec.
  std::vector<std::string> environment = merged_environment(env);
  std::vector<char *> c_env;
  for (std::string &assignment : environment) {
    c_env.push_back(assignment.data());
  }
  c_env.push_back(nullptr);
  std::vector<char *> c_args;
  for (std::string &arg : args) {
    c_args.push_back(arg.data());
  }
  c_args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    execve(c_args[0], c_args.data(), c_env.data());
    _exit(127);
  }
}

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

namespace {

struct ProcessInfo {
  pid_t parent;
  std::string comm;
  bool zombie;  // ended, not yet reaped
  bool leader;  // leads its own session, as a program that detached does
};

std::map<pid_t, ProcessInfo> list_processes() {
  std::map<pid_t, ProcessInfo> processes;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) {
    return processes;
  }
  while (dirent *entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) {
      continue;
    }
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t open = stat.find('(');
    const std::size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 >= stat.size()) {
      continue;
    }
    // After the name: state, parent, process group, session.
    int parent = 0, group = 0, session = 0;
    char state = '?';
    if (std::sscanf(stat.c_str() + close + 1, " %c %d %d %d", &state, &parent, &group, &session) !=
        4) {
      continue;
    }
    processes[pid] = {static_cast<pid_t>(parent), stat.substr(open + 1, close - open - 1),
                      state == 'Z', session == pid};
  }
  closedir(proc);
  return processes;
}

bool descends_from(pid_t pid, pid_t ancestor, const std::map<pid_t, ProcessInfo> &processes) {
  for (int depth = 0; depth < 64 && pid > 1; ++depth) {
    const auto it = processes.find(pid);
    if (it == processes.end()) {
      return false;
    }
    if (it->second.parent == ancestor) {
      return true;
    }
    pid = it->second.parent;
  }
  return false;
}

}  // namespace

pid_t SandboxRun::find_process(const std::string &comm, std::chrono::milliseconds limit) {
  pid_t found = 0;
  wait_until(
      [&] {
        // A program that detaches is briefly two processes of that name (the
        // parent leaves at once) and may fork children that still bear it: the
        // one wanted leads its own session; a program that stays in the
        // foreground is the eldest of its name.
        found = 0;
        const auto processes = list_processes();
        for (const auto &[pid, info] : processes) {
          if (info.comm != comm || info.zombie || !descends_from(pid, pid_, processes)) {
            continue;
          }
          if (info.leader) {
            found = pid;
            return true;
          }
          found = found == 0 ? pid : found;
        }
        return found != 0;
      },
      limit);
  return found;
}

}  // namespace tornax::test
