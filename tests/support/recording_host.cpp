#include "tests/support/recording_host.h"

namespace tornax::test {

void RecordingHost::sync_filesystems() {
  actions.push_back("sync");
}

int RecordingHost::send_signal(pid_t pid, int sig) {
  actions.push_back("kill " + std::to_string(pid) + " " + std::to_string(sig));
  return kill_result;
}

void RecordingHost::ignore_signal(int sig) {
  actions.push_back("ignore " + std::to_string(sig));
}

int RecordingHost::run_shell(const char *command) {
  actions.push_back(std::string("system ") + command);
  return shell_result;
}

void RecordingHost::pause_seconds(unsigned int seconds) {
  actions.push_back("pause " + std::to_string(seconds));
}

int RecordingHost::halt_system() {
  actions.push_back("halt");
  return halt_result;
}

bool RecordingHost::init_is_systemd() {
  return systemd_runs;
}

pid_t RecordingHost::start_keeper(unsigned int seconds) {
  actions.push_back("keeper " + std::to_string(seconds));
  return keeper_pid;
}

bool RecordingHost::orderly_shutdown_ended() {
  actions.push_back("ended?");
  const std::size_t asked = ended_asked_++;
  return asked < ended_answers.size() && ended_answers[asked];
}

void RecordingHost::await_stop() {
  actions.push_back("await stop");
}

}  // namespace tornax::test
