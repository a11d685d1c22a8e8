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
  // The log may hold the start of an earlier run: this run's is one more.
  const std::string started = "*** Daemon started ***";
  const std::size_t earlier = occurrences(home.log(), started);
  run = home.start(argv);
  ASSERT_TRUE(wait_until([&] { return occurrences(home.log(), started) > earlier; }))
      << run->stderr_text();
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

int SandboxedDaemonTest::run_to_end(const std::vector<std::string> &args,
                                    const std::vector<std::string> &prefix) {
  std::vector<std::string> argv = prefix;
  argv.push_back(built_program("tornax"));
  argv.insert(argv.end(), args.begin(), args.end());
  SandboxRun sandbox(argv, {"TORNAXHOME=" + home.path()}, home.records.path());
  const std::optional<int> status = sandbox.wait();
  out = sandbox.stdout_text();
  err = sandbox.stderr_text();
  return status.value_or(-1);
}

bool SandboxedDaemonTest::let_cycles_pass(std::size_t cycles) {
  return sim.wait_for_received(sim.received_count() + cycles * 8, std::chrono::seconds(20));
}

}  // namespace tornax::test
