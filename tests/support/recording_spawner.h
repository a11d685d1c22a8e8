// A ProcessSpawner fake: records every hook it is asked to start and every
// kill, and reports the ends a test sets. It starts no program.
#ifndef TORNAX_TESTS_SUPPORT_RECORDING_SPAWNER_H
#define TORNAX_TESTS_SUPPORT_RECORDING_SPAWNER_H

#include <csignal>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "daemon/report/hooks.h"

namespace tornax::test {

class RecordingSpawner final : public ProcessSpawner {
 public:
  struct Spawn {
    std::string path;
    std::vector<std::string> environment;
    pid_t pid;
  };
  std::vector<Spawn> spawns;
  std::vector<pid_t> killed;   // process groups, in the order they were killed
  std::map<pid_t, int> ended;  // wait status of each pid that has ended, not yet reaped
  std::set<pid_t> leftovers;   // groups that hold processes besides their leader
  int spawn_error = 0;         // non-zero: spawn fails with this errno value

  pid_t spawn(const std::string &path, const std::vector<std::string> &environment,
              int &error) override {
    if (spawn_error != 0) {
      error = spawn_error;
      return -1;
    }
    spawns.push_back({path, environment, next_pid_});
    return next_pid_++;
  }
  pid_t reap(pid_t pid, int &wait_status) override {
    const auto end = ended.find(pid);
    if (end == ended.end()) {
      return 0;
    }
    wait_status = end->second;
    ended.erase(end);
    return pid;
  }
  pid_t peek(pid_t pid, int &wait_status) override {
    const auto end = ended.find(pid);
    if (end == ended.end()) {
      return 0;
    }
    wait_status = end->second;
    return pid;
  }
  bool group_has_others(pid_t pid) override { return leftovers.count(pid) != 0; }
  void kill_group(pid_t pid) override {
    killed.push_back(pid);
    leftovers.erase(pid);
    ended[pid] = SIGKILL;  // the wait status of a process ended by SIGKILL
  }

 private:
  pid_t next_pid_ = 1000;
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_RECORDING_SPAWNER_H
