// The tornax-upssim program as scripts and the demo drive it: its pty (through
// the link), its three control channels, its printed log and a clean exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/ups/ups.h"
#include "tests/kit/files.h"
#include "tests/support/daemon_state.h"
#include "tests/support/sim_fixture.h"
#include "tornax.h"

namespace tornax {
namespace {

using Clock = std::chrono::steady_clock;

const std::string program = std::string(TORNAX_BINARY_DIR) + "/tornax-upssim";

// The simulator as a child process with pipes on its standard input and output.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string> &args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(out[1], STDERR_FILENO);
      std::vector<char *> argv{const_cast<char *>(program.c_str())};
      for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
      }
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~SimProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGTERM);
      wait_exit();
    }
    close(stdin_);
    close(stdout_);
  }

  void type(const std::string &line) const {
    ASSERT_EQ(write(stdin_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  // Reads output until it contains `text`; true when it did in time.
  bool wait_for_output(const std::string &text) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (output_.find(text) == std::string::npos && Clock::now() < deadline) {
      struct pollfd p {
        stdout_, POLLIN, 0
      };
      char buf[512];
      if (poll(&p, 1, 100) > 0) {
        const ssize_t n = read(stdout_, buf, sizeof buf);
        if (n <= 0) {
          break;
        }
        output_.append(buf, static_cast<std::size_t>(n));
      }
    }
    return output_.find(text) != std::string::npos;
  }
  int wait_exit() {
    int status = 0;
    waitpid(pid_, &status, 0);
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string &output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  bool exited_ = false;
  std::string output_;
};

// Sends one control line over the socket and returns the answer line.
std::string ask(const std::string &socket_path, const std::string &line) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  std::string answer;
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0 &&
      write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') {
      answer += c;
    }
  }
  close(fd);
  return answer;
}

class UpsSimProgram : public test::DaemonStateTest {};

TEST_F(UpsSimProgram, AnswersOnItsPtyAndObeysEveryControlChannel) {
  test::TempDir dir;
  const std::string link = dir.file("ups"), fifo = dir.file("fifo"), sock = dir.file("ctl");
  SimProcess sim({"-l", link, "-c", fifo, "-s", sock, "--family", "Kyrel"});
  ASSERT_TRUE(sim.wait_for_output("received 0\n")) << sim.output();
  EXPECT_EQ(sim.output().rfind("/dev/pts/", 0), 0u) << "the pty's path comes first";

  const int fd = openport(link.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_GT(get_version(fd, ups_version), 0);
  EXPECT_STREQ(ups_version + 8, "Kyrel 1000VA");

  const int out = open(fifo.c_str(), O_WRONLY);
  ASSERT_EQ(write(out, "mains off\n", 10), 10);
  close(out);
  ASSERT_TRUE(sim.wait_for_output("ok\n"));
  float value = -1.0f;
  EXPECT_EQ(get_linevoltage(fd, &value), 6);
  EXPECT_EQ(prefixqueue[1], '!');

  sim.type("battery 40\nstatus\n");
  ASSERT_TRUE(sim.wait_for_output("mains off, battery 40%"));
  set_shutdowndelay(fd, 5);
  EXPECT_TRUE(sim.wait_for_output("received \"TD=5\\n\" + 10 NUL\n")) << sim.output();
  EXPECT_EQ(ask(sock, "status\n").rfind("mains off, battery 40%", 0), 0u);
  EXPECT_EQ(ask(sock, "quit\n"), "bye");
  EXPECT_EQ(sim.wait_exit(), 0);
  close(fd);

  sim.wait_for_output("no more output");
  EXPECT_NE(sim.output().find("received \"L\\n\", answered \"!0.0\\r\\n\""), std::string::npos)
      << sim.output();
  for (const std::string &path : {link, fifo, sock}) {
    EXPECT_FALSE(test::file_exists(path)) << path;
  }
}

// Quiet, it still prints the control commands: a Qx self-test among them.
TEST_F(UpsSimProgram, SpeaksQxWhenAsked) {
  test::TempDir dir;
  const std::string link = dir.file("ups");
  SimProcess sim({"--protocol", "qx", "-q", "-l", link});
  ASSERT_TRUE(sim.wait_for_output("protocol qx, mains on")) << sim.output();
  const int fd = openport(link.c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "Q1\r", 3), 3);
  char reply[64] = {};
  ASSERT_TRUE(test::wait_for_pending_input(fd, 47));
  EXPECT_EQ(read(fd, reply, sizeof reply), 47);
  EXPECT_EQ(std::string(reply, 7), "(230.5 ");
  ASSERT_EQ(write(fd, "T\r", 2), 2);
  EXPECT_TRUE(sim.wait_for_output("received \"T\\r\"\n")) << sim.output();
  EXPECT_EQ(sim.output().find("Q1"), std::string::npos) << "quiet";
  close(fd);
}

TEST_F(UpsSimProgram, RefusesBadOptions) {
  const std::vector<std::string> bad[] = {
      {"--battery", "150"}, {"--nominal", "x"}, {"--bogus"}, {"extra"}, {"--protocol", "hid"}};
  for (const std::vector<std::string> &args : bad) {
    SimProcess sim(args);
    EXPECT_EQ(sim.wait_exit(), 2) << args[0];
  }
}

}  // namespace
}  // namespace tornax
