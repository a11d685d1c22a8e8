#include "tests/support/script_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "tests/kit/processes.h"

namespace tornax::test {

using namespace std::chrono_literals;

ScriptRun::ScriptRun(const TempDir &dir, const std::string &program,
                     const std::vector<std::string> &args)
    : out_(dir.file("out")), err_(dir.file("err")) {
  std::vector<std::string> words{program.find('/') != std::string::npos
                                     ? program
                                     : std::string(TORNAX_SOURCE_DIR) + "/scripts/" + program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
    dup2(open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  stdin_ = in[1];
}

ScriptRun::~ScriptRun() {
  if (!status_) {
    stop();
  }
  close(stdin_);
}

void ScriptRun::type(const std::string &line) const {
  ASSERT_EQ(write(stdin_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
}

bool ScriptRun::narrated(const std::string &text, std::chrono::milliseconds limit) const {
  return wait_until([&] { return output().find(text) != std::string::npos; }, limit);
}

void ScriptRun::signal(int sig) const {
  kill(pid_, sig);
}

int ScriptRun::wait_exit(std::chrono::milliseconds limit) {
  if (!wait_until([&] { return reaped(); }, limit)) {
    ADD_FAILURE() << "the script still runs after its time limit";
    stop();
  }
  return *status_;
}

std::string ScriptRun::output() const {
  return read_file(out_);
}

std::string ScriptRun::errors() const {
  return read_file(err_);
}

bool ScriptRun::reaped() {
  int status = 0;
  if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return status_.has_value();
}

void ScriptRun::stop() {
  kill(pid_, SIGTERM);
  if (!wait_until([&] { return reaped(); }, 20s)) {
    kill(pid_, SIGKILL);
    wait_until([&] { return reaped(); }, 5s);
  }
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> narration(const std::string &output, const std::string &tag) {
  std::vector<std::string> found;
  for (const std::string &line : lines_of(output)) {
    const std::size_t at = line.find("[" + tag + "]");
    if (at != std::string::npos && at < 10) {
      found.push_back(line.substr(line.find_first_not_of(' ', at + tag.size() + 2)));
    }
  }
  return found;
}

std::vector<std::string> processes_naming(const std::string &text) {
  std::vector<std::string> found;
  DIR *proc = opendir("/proc");
  while (dirent *entry = proc ? readdir(proc) : nullptr) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos ||
        pid == std::to_string(getpid())) {
      continue;
    }
    const std::string cmdline = read_file("/proc/" + pid + "/cmdline");
    if (cmdline.find(text) != std::string::npos ||
        read_file("/proc/" + pid + "/environ").find(text) != std::string::npos) {
      found.push_back(pid + " " + cmdline);
    }
  }
  if (proc) {
    closedir(proc);
  }
  return found;
}

}  // namespace tornax::test
