#include "daemon/report/hooks.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "daemon/config/config_read.h"
#include "daemon/config/file_safety.h"
#include "daemon/core/clock.h"
#include "daemon/report/logger.h"

namespace tornax {
namespace {

// What the log says of each event; OVERLOAD has no log text of its own.
const char *event_message(int e) {
  return e < OVERLOAD ? logfile_message[e] : "UPS overload";
}

// The same rule as the log, the alerts and the pager: the slot this cycle
// moved to exactly 1.
bool event_begins(int e) {
  return status[e] == 1 && !status_stalled[e];
}

std::string number(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
  return text;
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    return "";
  }
  return hook_safe_text(name);
}

std::string ended_how(int wait_status) {
  if (WIFEXITED(wait_status)) {
    return "exit status " + std::to_string(WEXITSTATUS(wait_status));
  }
  if (WIFSIGNALED(wait_status)) {
    return "ended by signal " + std::to_string(WTERMSIG(wait_status)) + " (" +
           strsignal(WTERMSIG(wait_status)) + ")";
  }
  return "ended with status " + std::to_string(wait_status);
}

void log_text(const std::string &text) {
  writelog(text.c_str());
}

}  // namespace

std::string hook_label(int e, const std::string &path) {
  return std::string(event_stem(e)) + "_EXEC " + path;
}

std::optional<HookCheck> hook_for_event(const Settings &config, int e) {
  if (e < 0 || e >= event_count || !config.exec[e]) {
    return std::nullopt;
  }
  HookCheck check{*config.exec[e], std::nullopt};
  struct stat info {};
  if (stat(check.path.c_str(), &info) != 0) {
    check.refusal = std::strerror(errno);
  } else if (const std::optional<std::string> reason = unsafe_reason(info)) {
    const std::string rule = unsafe_file_message("-", *reason);  // "-: <reason>; <the rule>"
    check.refusal = rule.substr(3);
  } else if (!S_ISREG(info.st_mode) || (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
    // Judged by its mode, as root would be, so that -t run by another user
    // says the same.
    check.refusal = "not an executable file";
  }
  return check;
}

std::optional<std::string> unsafe_hook(const Settings &config) {
  for (int e = 0; e < event_count; ++e) {
    if (!config.exec[e]) {
      continue;
    }
    if (const std::optional<std::string> reason = unsafe_reason(config.exec[e]->c_str())) {
      return unsafe_file_message("Refusing " + hook_label(e, *config.exec[e]), *reason);
    }
  }
  return std::nullopt;
}

std::string hook_safe_text(const std::string &text) {
  std::string safe;
  for (const char c : text) {
    const bool printable = c >= ' ' && c <= '~';
    const bool special = c == '"' || c == '\'' || c == '\\' || c == '$' || c == '`';
    safe += printable && !special ? c : '?';
  }
  return safe;
}

std::vector<std::string> hook_environment(int e, std::time_t now) {
  char status_word[8];
  std::snprintf(status_word, sizeof status_word, "%x", ext_status.load());
  const std::string location = settings.ups_location ? *settings.ups_location : "";
  return {
      "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
      std::string("TORNAX_EVENT=") + event_stem(e),
      std::string("TORNAX_MESSAGE=") + event_message(e),
      "TORNAX_TIME=" + local_time_text(now, "%Y-%m-%dT%H:%M:%S%z"),
      std::string("TORNAX_STATUS=") + status_word,
      "TORNAX_LINE_VOLTAGE=" + number(ups_linevoltage),
      "TORNAX_OUTPUT_VOLTAGE=" + number(ups_invvoltage),
      "TORNAX_BATTERY_CHARGE=" + number(ups_percentbatt),
      "TORNAX_LOAD=" + number(ups_percentloadpower),
      "TORNAX_FREQUENCY=" + number(ups_freq),
      "TORNAX_LOAD_CURRENT=" + number(ups_loadcurrent),
      "TORNAX_BACKUP_TIME=" + number(ups_backuptime),
      "TORNAX_REMAIN_MINUTES=" + std::to_string(remain_time),
      "TORNAX_UPS=" +
          hook_safe_text(std::string(ups_version, strnlen(ups_version, ups_version_size))),
      "TORNAX_LOCATION=" + hook_safe_text(location),
      "TORNAX_HOST=" + host_name(),
  };
}

// ---- The real processes ------------------------------------------------------

namespace {

// Owns the spawn attributes and file actions so that every path frees them.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawnattr_init(&attributes_);
    posix_spawn_file_actions_init(&actions_);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    // The daemon ignores SIGPIPE and its threads block signals: a hook must
    // start as any program does, in a group of its own so that its time-out
    // ends whatever it started.
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setsigdefault(&attributes_, &all);
    posix_spawnattr_setpgroup(&attributes_, 0);
    posix_spawnattr_setflags(
        &attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup &) = delete;
  SpawnSetup &operator=(const SpawnSetup &) = delete;

  const posix_spawnattr_t *attributes() const { return &attributes_; }
  const posix_spawn_file_actions_t *actions() const { return &actions_; }

 private:
  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
};

}  // namespace

pid_t SystemProcessSpawner::spawn(const std::string &path,
                                  const std::vector<std::string> &environment, int &error) {
  const SpawnSetup setup;
  std::vector<char *> envp;
  envp.reserve(environment.size() + 1);
  for (const std::string &entry : environment) {
    envp.push_back(const_cast<char *>(entry.c_str()));
  }
  envp.push_back(nullptr);
  char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
  pid_t pid = -1;
  error = posix_spawn(&pid, path.c_str(), setup.actions(), setup.attributes(), argv, envp.data());
  return error == 0 ? pid : -1;
}

pid_t SystemProcessSpawner::reap(pid_t pid, int &wait_status) {
  return waitpid(pid, &wait_status, WNOHANG);
}

pid_t SystemProcessSpawner::peek(pid_t pid, int &wait_status) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return -1;
  }
  if (info.si_pid == 0) {
    return 0;
  }
  wait_status = info.si_code == CLD_EXITED ? (info.si_status & 0xff) << 8 : info.si_status & 0x7f;
  return pid;
}

namespace {

// The process group and state of `pid` from /proc/PID/stat; false when gone.
bool read_group(const char *pid, pid_t &group, char &state) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
  std::FILE *file = std::fopen(path, "re");
  if (file == nullptr) {
    return false;
  }
  char text[512];
  const std::size_t length = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  text[length] = '\0';
  // The command name may hold blanks and parentheses: the fields that follow
  // start after its last ')'.
  const char *after_name = std::strrchr(text, ')');
  int parsed_group = 0;
  if (after_name == nullptr ||
      std::sscanf(after_name + 1, " %c %*d %d", &state, &parsed_group) != 2) {
    return false;
  }
  group = parsed_group;
  return true;
}

}  // namespace

bool SystemProcessSpawner::group_has_others(pid_t pid) {
  DIR *proc = opendir("/proc");
  if (proc == nullptr) {
    return true;  // can't tell: the time-out ends the group all the same
  }
  bool found = false;
  while (const dirent *entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
      continue;
    }
    pid_t group = 0;
    char state = '?';
    if (read_group(entry->d_name, group, state) && group == pid && state != 'Z' &&
        std::atoi(entry->d_name) != pid) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

void SystemProcessSpawner::kill_group(pid_t pid) {
  if (pid > 0) {
    kill(-pid, SIGKILL);
  }
}

// ---- The runner ---------------------------------------------------------------

void HookRunner::after_cycle(Clock::time_point now, std::time_t wall_now) {
  supervise(now);
  start_waiting(now);
  for (int e = 0; e < event_count; ++e) {
    if (event_begins(e)) {
      start(e, now, wall_now);
    }
  }
}

void HookRunner::start(int e, Clock::time_point now, std::time_t wall_now) {
  if (spawner_ == nullptr || !settings.exec[e]) {
    return;
  }
  Waiting hook{e, *settings.exec[e], hook_environment(e, wall_now)};
  if (running_.size() < max_running_hooks) {
    launch(hook, now);
  } else if (waiting_.size() < max_waiting_hooks) {
    waiting_.push_back(std::move(hook));
  } else {
    log_text(hook_label(e, hook.path) + " not run: " + std::to_string(max_waiting_hooks) +
             " hooks are waiting for their turn already");
  }
}

// The file is judged when it is about to run, not when it was configured: it
// may have been replaced since.
void HookRunner::launch(const Waiting &hook, Clock::time_point now) {
  const std::optional<HookCheck> check = hook_for_event(settings, hook.event);
  std::optional<std::string> refusal;
  if (!check || check->path != hook.path) {
    refusal = "no longer configured";
  } else {
    refusal = check->refusal;
  }
  if (refusal) {
    log_text(hook_label(hook.event, hook.path) + " not run: " + *refusal);
    return;
  }
  int error = 0;
  const pid_t pid = spawner_->spawn(hook.path, hook.environment, error);
  if (pid <= 0) {
    log_text(hook_label(hook.event, hook.path) + " not run: " + std::strerror(error));
    return;
  }
  const unsigned int timeout = settings.exec_timeout;
  running_.push_back({hook.event, hook.path, pid, now + std::chrono::seconds(timeout), timeout});
}

void HookRunner::start_waiting(Clock::time_point now) {
  while (!waiting_.empty() && running_.size() < max_running_hooks) {
    Waiting hook = std::move(waiting_.front());
    waiting_.pop_front();
    launch(hook, now);
  }
}

// An ended hook stays unreaped until its group is empty: reaping it would
// free its pid, and with it the group's id, for another process to take.
void HookRunner::reap_ended() {
  std::erase_if(running_, [this](const Run &run) {
    int wait_status = 0;
    const pid_t ended = spawner_->peek(run.pid, wait_status);
    if (ended == 0) {
      return false;
    }
    if (ended < 0) {
      return true;  // nothing left to wait for
    }
    if (!WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0) {
      log_text(hook_label(run.event, run.path) + " failed: " + ended_how(wait_status));
    }
    ended_.push_back(run);
    return true;
  });
}

// What an ended hook left in its group (a job started with `&`) lives no
// longer than the hook itself could have.
void HookRunner::end_leftovers(Clock::time_point now) {
  std::erase_if(ended_, [this, now](const Run &run) {
    if (spawner_->group_has_others(run.pid)) {
      if (now < run.deadline) {
        return false;
      }
      spawner_->kill_group(run.pid);
      log_text(hook_label(run.event, run.path) + " left processes behind: killed after " +
               "EXEC_TIMEOUT (" + std::to_string(run.timeout) + " s)");
    }
    int wait_status = 0;
    spawner_->reap(run.pid, wait_status);
    return true;
  });
}

void HookRunner::supervise(Clock::time_point now) {
  if (spawner_ == nullptr) {
    return;
  }
  reap_ended();
  std::erase_if(running_, [this, now](const Run &run) {
    if (now < run.deadline) {
      return false;
    }
    spawner_->kill_group(run.pid);
    killed_.push_back(run.pid);
    log_text(hook_label(run.event, run.path) + " killed after EXEC_TIMEOUT (" +
             std::to_string(run.timeout) + " s)");
    return true;
  });
  end_leftovers(now);
  // A killed hook is reaped once it has died, without a word more.
  std::erase_if(killed_, [this](pid_t pid) {
    int wait_status = 0;
    return spawner_->reap(pid, wait_status) != 0;
  });
}

void HookRunner::kill_all(const char *why) {
  for (const Run &run : running_) {
    spawner_->kill_group(run.pid);
    killed_.push_back(run.pid);
    log_text(hook_label(run.event, run.path) + " killed: " + why);
  }
  running_.clear();
  for (const Run &run : ended_) {
    if (spawner_->group_has_others(run.pid)) {
      spawner_->kill_group(run.pid);
      log_text(hook_label(run.event, run.path) + " left processes behind: killed: " + why);
    }
    int wait_status = 0;
    spawner_->reap(run.pid, wait_status);
  }
  ended_.clear();
  for (const Waiting &hook : waiting_) {
    log_text(hook_label(hook.event, hook.path) + " not run: " + why);
  }
  waiting_.clear();
}

void HookRunner::end_for_shutdown(HostActions &host, bool script_ran) {
  if (spawner_ == nullptr) {
    return;
  }
  reap_ended();
  for (int second = 0; !script_ran && second < 2 && !running_.empty(); ++second) {
    host.pause_seconds(1);
    reap_ended();
  }
  kill_all("the shutdown goes on");
}

}  // namespace tornax
