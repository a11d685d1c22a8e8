// A HostActions fake that records every action as one text line and touches
// nothing on the host.
#ifndef TORNAX_TESTS_SUPPORT_RECORDING_HOST_H
#define TORNAX_TESTS_SUPPORT_RECORDING_HOST_H

#include <string>
#include <vector>

#include "daemon/shutdown/host.h"

namespace tornax::test {

class RecordingHost final : public HostActions {
 public:
  // Lines such as "sync", "kill 1 20", "ignore 15", "system /sbin/swapoff -a",
  // "pause 3" and "halt", in the order the actions were taken.
  std::vector<std::string> actions;
  // What send_signal(), halt_system() and run_shell() answer.
  int kill_result = 0;
  int halt_result = -1;
  int shell_result = 0;
  // What init_is_systemd() and start_keeper() answer (neither is recorded
  // but the keeper's start, "keeper <seconds>"); orderly_shutdown_ended()
  // ("ended?") answers these in turn, then false.
  bool systemd_runs = false;
  pid_t keeper_pid = 4321;
  std::vector<bool> ended_answers;

  void sync_filesystems() override;
  int send_signal(pid_t pid, int sig) override;
  void ignore_signal(int sig) override;
  int run_shell(const char *command) override;
  void pause_seconds(unsigned int seconds) override;
  int halt_system() override;
  bool init_is_systemd() override;
  pid_t start_keeper(unsigned int seconds) override;
  bool orderly_shutdown_ended() override;
  void await_stop() override;  // "await stop"

 private:
  std::size_t ended_asked_ = 0;
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_RECORDING_HOST_H
