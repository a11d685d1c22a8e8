#include "tests/support/sim_fixture.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <thread>

#include "daemon/core/timings.h"
#include "daemon/ups/ups.h"
#include "tornax.h"

namespace tornax::test {

SimulatedUpsOptions test_ups_options() {
  SimulatedUpsOptions options;
  options.self_test_seconds = 0;
  return options;
}

void SimulatedUpsTest::SetUp() {
  DaemonStateTest::SetUp();
  sim.start();
  fd = openport(sim.slave_path().c_str());
  ASSERT_GE(fd, 0) << "cannot open " << sim.slave_path();
  serial_fd = fd;
}

void SimulatedUpsTest::shorten_reply_timeout(std::chrono::milliseconds timeout) {
  timings.reply_timeout = timeout;
  close(fd);
  fd = openport(sim.slave_path().c_str());
  ASSERT_GE(fd, 0);
  serial_fd = fd;
}

void SimulatedUpsTest::TearDown() {
  if (fd >= 0) {
    close(fd);
  }
  sim.stop();
  DaemonStateTest::TearDown();
}

bool wait_for_pending_input(int fd, int bytes, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int pending = 0;
    if (ioctl(fd, FIONREAD, &pending) == 0 && pending >= bytes) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::vector<std::string> last_commands(const SimulatedUps &sim, std::size_t count) {
  const std::vector<ReceivedCommand> log = sim.received();
  std::vector<std::string> commands;
  for (std::size_t i = log.size() > count ? log.size() - count : 0; i < log.size(); ++i) {
    commands.push_back(log[i].bytes);
  }
  return commands;
}

std::vector<std::string> control_commands(const SimulatedUps &sim) {
  std::vector<std::string> commands;
  for (const ReceivedCommand &command : sim.received()) {
    if (command.bytes.rfind("TD=", 0) == 0 || command.bytes.rfind("D=", 0) == 0) {
      commands.push_back(command.bytes);
    }
  }
  return commands;
}

std::string padded_control(const std::string &text) {
  return text + std::string(text.size() < 15 ? 15 - text.size() : 0, '\0');
}

}  // namespace tornax::test
