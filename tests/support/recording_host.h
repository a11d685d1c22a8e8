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
  // What send_signal() and halt_system() answer.
  int kill_result = 0;
  int halt_result = -1;

  void sync_filesystems() override;
  int send_signal(pid_t pid, int sig) override;
  void ignore_signal(int sig) override;
  int run_shell(const char *command) override;
  void pause_seconds(unsigned int seconds) override;
  int halt_system() override;
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_RECORDING_HOST_H
