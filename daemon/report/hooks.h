// Event hooks: the program an administrator names for an event
// (<EVENT>_EXEC), run as the event begins, to mail, post or push the news
// wherever the host's own alerts don't reach.
//
// A hook must never hold up the monitoring cycle or the shutdown, and it runs
// as root: so it is run without a shell and without arguments, with a clean
// environment that carries the event and the state (hook_environment), in a
// process group of its own with its standard streams on /dev/null, at most
// max_running_hooks at once (the rest wait their turn), and its process group
// is killed at EXEC_TIMEOUT, whether the hook itself still runs or has left
// a background job behind. Its file must pass the shutdown script's safety
// rule, checked again before every run. A failure (not run, a non-zero
// status, a signal, the time-out) is logged once, for the run it ended.
// Starting, reaping and killing go through a ProcessSpawner, so unit tests
// use a recording fake and never start a program.
#ifndef TORNAX_DAEMON_REPORT_HOOKS_H
#define TORNAX_DAEMON_REPORT_HOOKS_H

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <ctime>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "daemon/shutdown/host.h"
#include "tornax.h"

namespace tornax {

inline constexpr std::size_t max_running_hooks = 4;
inline constexpr std::size_t max_waiting_hooks = 16;

// A configured hook, and why it would not run now (nullopt: it would run).
struct HookCheck {
  std::string path;
  std::optional<std::string> refusal;  // "No such file or directory", "not executable", unsafe
};

// What would run for event `e` under `config`: nullopt when the event has no
// hook. Looks at the file as a run would, so a preview can't disagree.
std::optional<HookCheck> hook_for_event(const Settings &config, int e);

// The refusal ("Refusing POWERFAIL_EXEC /path: ...") of the first hook whose
// file breaks the safety rule, or nullopt. A missing hook is not refused
// here: it is logged when its event comes.
std::optional<std::string> unsafe_hook(const Settings &config);

// "POWERFAIL_EXEC /path": how the log names a hook.
std::string hook_label(int e, const std::string &path);

// The whole environment of a hook for event `e` at `now` ("NAME=value"):
// PATH, TORNAX_EVENT, TORNAX_MESSAGE, TORNAX_TIME, TORNAX_STATUS, the
// measurements, TORNAX_REMAIN_MINUTES, TORNAX_UPS, TORNAX_LOCATION and
// TORNAX_HOST. Reads the published state: main thread only.
std::vector<std::string> hook_environment(int e, std::time_t now);

// Text from the UPS or the configuration made safe to hand on: printable
// ASCII only, and no quote, backslash, dollar or backquote, so that a hook
// may put it into a mail header or a JSON string as it stands.
std::string hook_safe_text(const std::string &text);

// Starting and ending hook processes: abstract so it can be mocked out for
// tests; only the daemon's start-up wires the real one.
class ProcessSpawner {
 public:
  virtual ~ProcessSpawner() = default;
  // Starts `path` with no arguments and exactly `environment`, in a process
  // group of its own, standard streams on /dev/null, every signal at its
  // default and unblocked. Returns its pid, or -1 with `error` an errno value.
  virtual pid_t spawn(const std::string &path, const std::vector<std::string> &environment,
                      int &error) = 0;
  // waitpid(pid, &status, WNOHANG): 0 while it runs, pid once it has ended
  // (and is reaped).
  virtual pid_t reap(pid_t pid, int &wait_status) = 0;
  // As reap() but leaves an ended process unreaped: while it stays a zombie
  // its pid, and so its process group's id, can't be taken by another.
  virtual pid_t peek(pid_t pid, int &wait_status) = 0;
  // Whether a live process other than `pid` is still in the group it led.
  virtual bool group_has_others(pid_t pid) = 0;
  // SIGKILL to the process group that `pid` leads.
  virtual void kill_group(pid_t pid) = 0;
};

class SystemProcessSpawner final : public ProcessSpawner {
 public:
  pid_t spawn(const std::string &path, const std::vector<std::string> &environment,
              int &error) override;
  pid_t reap(pid_t pid, int &wait_status) override;
  pid_t peek(pid_t pid, int &wait_status) override;
  bool group_has_others(pid_t pid) override;
  void kill_group(pid_t pid) override;
};

// The hooks the daemon runs: those running and those waiting their turn.
// Main thread only.
class HookRunner {
 public:
  using Clock = std::chrono::steady_clock;

  // Hooks run through `spawner`, which must outlive the runner. Without one
  // no hook runs.
  void use(ProcessSpawner &spawner) { spawner_ = &spawner; }

  // Once a cycle, after its events were logged: reaps ended hooks, kills
  // those past their time-out, starts waiting ones, then the hooks of the
  // events that begin in this cycle. Never waits for a hook.
  void after_cycle(Clock::time_point now, std::time_t wall_now);

  // Starts, or queues, the hook of event `e` (if it has one).
  void start(int e, Clock::time_point now, std::time_t wall_now);

  // Reaps ended hooks and kills those past their time-out, and the
  // processes an ended hook left in its group once its time-out comes.
  void supervise(Clock::time_point now);

  // At a shutdown, once the shutdown script has had its turn: hooks still
  // running, and what ended hooks left in their groups, are killed and
  // logged, waiting ones dropped. Without a script
  // the hooks get the pause the script would have had (2 s), through `host`.
  void end_for_shutdown(HostActions &host, bool script_ran);

  std::size_t running() const { return running_.size(); }
  std::size_t waiting() const { return waiting_.size(); }

 private:
  struct Run {
    int event;
    std::string path;
    pid_t pid;
    Clock::time_point deadline;
    unsigned int timeout;  // seconds, as it was when the hook started
  };
  struct Waiting {
    int event;
    std::string path;
    std::vector<std::string> environment;
  };

  void launch(const Waiting &hook, Clock::time_point now);
  void start_waiting(Clock::time_point now);
  void reap_ended();
  void end_leftovers(Clock::time_point now);
  void kill_all(const char *why);

  ProcessSpawner *spawner_ = nullptr;
  std::vector<Run> running_;
  // Ended hooks kept unreaped until their group is empty or their time-out
  // comes: a background job they started stays in their group.
  std::vector<Run> ended_;
  std::deque<Waiting> waiting_;
  std::vector<pid_t> killed_;  // killed, not yet reaped
};

}  // namespace tornax

#endif  // TORNAX_DAEMON_REPORT_HOOKS_H
