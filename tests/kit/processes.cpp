#include "tests/kit/processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/kit/files.h"

namespace tornax::test {
namespace {

std::vector<char *> pointers(std::vector<std::string> &texts) {
  std::vector<char *> list;
  for (std::string &text : texts) {
    list.push_back(text.data());
  }
  list.push_back(nullptr);
  return list;
}

bool descends_from(pid_t pid, pid_t ancestor, const std::map<pid_t, ProcessStat> &processes) {
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

// A descriptor opened for a child to take over, closed when the parent is
// done with it. Close-on-exec, so a child another thread forks meanwhile
// doesn't inherit it; dup2 clears the flag on the copy the child keeps.
struct Descriptor {
  int fd = -1;
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  explicit Descriptor(int opened) : fd(opened) {}
  ~Descriptor() {
    if (fd >= 0) {
      close(fd);
    }
  }
};

Descriptor open_for_child(const std::string &path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  }
  return Descriptor(fd);
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

pid_t start_in_sandbox(const std::string &source_dir, const std::string &record_dir,
                       const std::vector<std::string> &argv, const std::vector<std::string> &env) {
  std::vector<std::string> args = {source_dir + "/scripts/sandbox", "--record", record_dir, "--"};
  args.insert(args.end(), argv.begin(), argv.end());
  std::vector<std::string> environment = environment_with(env);
  const std::vector<char *> c_args = pointers(args);
  const std::vector<char *> c_env = pointers(environment);
  // The sandbox would make the folder too, but only after the child has
  // opened its output there: made and opened here, a missing folder is the
  // caller's error and not output quietly written to the test's own stdout.
  std::error_code made;
  std::filesystem::create_directories(record_dir, made);
  if (made) {
    throw std::runtime_error("cannot make " + record_dir + ": " + made.message());
  }
  const Descriptor out = open_for_child(record_dir + "/stdout", O_WRONLY | O_CREAT | O_TRUNC);
  const Descriptor err = open_for_child(record_dir + "/stderr", O_WRONLY | O_CREAT | O_TRUNC);
  const Descriptor input = open_for_child("/dev/null", O_RDONLY);
  const pid_t pid = fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    dup2(input.fd, 0);
    dup2(out.fd, 1);
    dup2(err.fd, 2);
    // The caller's sockets and pipes are none of the sandbox's business.
    closefrom(3);
    execve(c_args[0], c_args.data(), c_env.data());
    _exit(127);
  }
  return pid;
}

bool read_process_stat(pid_t pid, ProcessStat *stat) {
  const std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t open = text.find('(');
  const std::size_t close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 2 >= text.size()) {
    return false;
  }
  stat->comm = text.substr(open + 1, close - open - 1);
  std::istringstream rest(text.substr(close + 2));
  std::string skip;
  unsigned long long utime = 0, stime = 0;
  pid_t group = 0;
  rest >> stat->state >> stat->parent >> group >> stat->session;
  for (int i = 0; i < 7; ++i) {  // tty_nr .. cmajflt
    rest >> skip;
  }
  rest >> utime >> stime;
  stat->ticks = utime + stime;
  return true;
}

std::map<pid_t, ProcessStat> list_processes() {
  std::map<pid_t, ProcessStat> processes;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) {
    return processes;
  }
  while (dirent *entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    ProcessStat stat;
    if (pid > 0 && read_process_stat(pid, &stat)) {
      processes[pid] = stat;
    }
  }
  closedir(proc);
  return processes;
}

bool process_alive(pid_t pid) {
  ProcessStat stat;
  return pid > 0 && read_process_stat(pid, &stat) && stat.state != 'Z';
}

// The last number of the NSpid line.
pid_t inner_pid_of(pid_t pid) {
  const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("\nNSpid:");
  if (at == std::string::npos) {
    return 0;
  }
  const std::string line = status.substr(at + 7, status.find('\n', at + 1) - at - 7);
  const std::size_t last = line.find_last_of(" \t");
  return static_cast<pid_t>(std::atoi(line.c_str() + (last == std::string::npos ? 0 : last + 1)));
}

pid_t find_descendant(pid_t ancestor, const std::string &comm, pid_t inner_pid,
                      std::chrono::milliseconds limit) {
  pid_t found = 0;
  wait_until(
      [&] {
        found = 0;
        const auto processes = list_processes();
        for (const auto &[pid, stat] : processes) {
          if (stat.comm != comm || stat.state == 'Z' || !descends_from(pid, ancestor, processes)) {
            continue;
          }
          if (inner_pid != 0 ? inner_pid_of(pid) == inner_pid : stat.session == pid) {
            found = pid;
            return true;
          }
          found = inner_pid == 0 && found == 0 ? pid : found;
        }
        return found != 0;
      },
      limit);
  return found;
}

}  // namespace tornax::test
