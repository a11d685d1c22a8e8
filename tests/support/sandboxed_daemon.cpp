#include "tests/support/sandboxed_daemon.h"

#include <signal.h>

#include <chrono>

#include "tests/kit/loopback.h"

namespace tornax::test {

void SandboxedDaemonTest::SetUp() {
  sim.start();
  port = free_loopback_port();
  ASSERT_GT(port, 0);
}

void SandboxedDaemonTest::TearDown() {
  sim.stop();
}

void SandboxedDaemonTest::start_daemon(const std::vector<std::string> &argv) {
  run = home.start(argv);
  ASSERT_TRUE(wait_for_log(home, "*** Daemon started ***")) << run->stderr_text();
  daemon = run->find_process("tornax");
  ASSERT_GT(daemon, 0) << run->stderr_text();
}

void SandboxedDaemonTest::start_configured(const std::string &extra,
                                           const std::vector<std::string> &prefix) {
  home.configure(sim.slave_path(), extra);
  std::vector<std::string> argv = prefix;
  if (!argv.empty()) {
    argv.push_back(built_program("tornax"));
  }
  start_daemon(argv);
}

void SandboxedDaemonTest::stop_daemon() {
  ASSERT_EQ(kill(daemon, SIGTERM), 0);
  EXPECT_EQ(run->wait(), 0) << run->stderr_text();
}

bool SandboxedDaemonTest::let_cycles_pass(std::size_t cycles) {
  return sim.wait_for_received(sim.received_count() + cycles * 8, std::chrono::seconds(20));
}

}  // namespace tornax::test
