#include "daemon/shutdown/host.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <string>

#include "daemon/core/clock.h"
#include "daemon/core/util.h"

namespace tornax {
namespace {

// Where the keeper moves itself so that stopping the daemon's service (which
// kills the processes of its control group) does not end it: a group of its
// own beside the service manager's, in the unified hierarchy or, on a legacy
// one, in the hierarchy systemd tracks services by. When every move fails
// the keeper stays in the service's group, where the unit's KillMode=process
// still spares it.
constexpr std::array<const char *, 3> cgroup_roots = {"/sys/fs/cgroup", "/sys/fs/cgroup/unified",
                                                      "/sys/fs/cgroup/systemd"};
constexpr const char *keeper_group = "/tornax-deadline";

struct KeeperPaths {
  std::string program;
  std::array<std::string, cgroup_roots.size()> groups;
  std::array<std::string, cgroup_roots.size()> procs;
};

// Between fork and exec only async-signal-safe calls: another thread of the
// daemon may have held a lock at the fork.
void leave_service_group(const KeeperPaths &paths) {
  for (std::size_t i = 0; i < cgroup_roots.size(); ++i) {
    if (mkdir(paths.groups[i].c_str(), 0755) != 0 && errno != EEXIST) {
      continue;
    }
    const int fd = open(paths.procs[i].c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      if (write(fd, "0", 1) < 0) {
        // Not allowed here; the next hierarchy may take it.
      }
      close(fd);
    }
  }
}

[[noreturn]] void exec_keeper(const KeeperPaths &paths, char *seconds, int ready) {
  setsid();
  leave_service_group(paths);
  struct sigaction fresh {};
  fresh.sa_handler = SIG_DFL;
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE}) {
    sigaction(sig, &fresh, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // Nothing the daemon holds open may pin a file system the shutdown
  // unmounts; standard streams stay.
  syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
  char name[] = "tornax";
  char option[] = "--keeper";
  char *argv[] = {name, option, seconds, nullptr};
  execv(paths.program.c_str(), argv);
  const int error = errno;
  if (write(ready, &error, sizeof error) < 0) {
    // The parent sees the pipe close without a word and counts it a failure.
  }
  _exit(127);
}

// Starts `tornax --keeper <seconds>` in a session and a control group of its
// own; -1 when it could not be started.
pid_t start_keeper_process(unsigned int seconds) {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    return -1;
  }
  KeeperPaths paths;
  paths.program.assign(self, static_cast<std::size_t>(length));
  for (std::size_t i = 0; i < cgroup_roots.size(); ++i) {
    paths.groups[i] = std::string(cgroup_roots[i]) + keeper_group;
    paths.procs[i] = paths.groups[i] + "/cgroup.procs";
  }
  std::string seconds_text = std::to_string(seconds);
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    exec_keeper(paths, seconds_text.data(), ready[1]);
  }
  close(ready[1]);
  int error = 0;
  ssize_t n;
  do {
    n = read(ready[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  close(ready[0]);
  // The pipe closes without a word once the exec succeeded.
  if (pid < 0 || n != 0) {
    if (pid > 0) {
      waitpid(pid, nullptr, 0);
    }
    return -1;
  }
  return pid;
}

}  // namespace

bool systemd_runs_as_init() {
  struct stat info {};
  return lstat("/run/systemd/system", &info) == 0 && S_ISDIR(info.st_mode);
}

namespace {

class SystemHostActions final : public HostActions {
 public:
  void sync_filesystems() override { ::sync(); }
  int send_signal(pid_t pid, int sig) override { return ::kill(pid, sig); }
  void ignore_signal(int sig) override { std::signal(sig, SIG_IGN); }
  int run_shell(const char *command) override { return std::system(command); }
  void pause_seconds(unsigned int seconds) override { sleep_full(seconds); }
  int halt_system() override { return ::reboot(RB_HALT_SYSTEM); }
  bool init_is_systemd() override { return systemd_runs_as_init(); }
  pid_t start_keeper(unsigned int seconds) override { return start_keeper_process(seconds); }
  bool orderly_shutdown_ended() override {
    // The kernel keeps 15 characters of the name.
    return command_name("/proc/1") == "systemd-shutdow";
  }
  void await_stop() override {
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    for (;;) {
      pause();
    }
  }
};

}  // namespace

HostActions &system_host_actions() {
  static SystemHostActions host;
  return host;
}

}  // namespace tornax
