#include "drill/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

#include "drill/text.h"

extern char **environ;

namespace tornax::drill {

Process::Process(const std::vector<std::string> &argv, const std::string &in,
                 const std::string &out, const std::string &err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (err == out) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  // The drill's own handlers and blocked signals are not the program's.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (const std::string &arg : argv) {
    args.push_back(const_cast<char *>(arg.c_str()));
  }
  args.push_back(nullptr);
  const int error = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    pid_ = -1;
    throw Failure(2, "cannot start " + argv[0] + ": " + std::strerror(error));
  }
}

Process::~Process() {
  if (running()) {
    kill_now();
  }
  if (pid_ > 0 && !status_) {
    wait();
  }
}

bool Process::reap(int options) {
  int status = 0;
  pid_t got;
  while ((got = waitpid(pid_, &status, options)) < 0 && errno == EINTR) {
  }
  if (got == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else if (got < 0) {
    status_ = 255;  // not our child any more: nothing left to wait for
  }
  return status_.has_value();
}

bool Process::running() {
  return pid_ > 0 && !status_ && !reap(WNOHANG);
}

void Process::kill_now() {
  if (running()) {
    kill(pid_, SIGKILL);
  }
}

int Process::wait() {
  if (!status_) {
    reap(0);
  }
  return *status_;
}

int run_to_end(const std::vector<std::string> &argv, const std::string &in, const std::string &out,
               const std::string &err) {
  Process process(argv, in, out, err);
  return process.wait();
}

}  // namespace tornax::drill
