#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "client/tornaxalert.h"

namespace tornax {
namespace {

// The host's own shutdown ends the detached client with SIGTERM: it says so
// and leaves with status 0. Run in a child of the test, signalled by its pid.
TEST(KillDaemonTest, SigtermEndsTheClientWithStatusZero) {
  int err[2], ready[2];
  ASSERT_EQ(pipe(err), 0);
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(err[1], STDERR_FILENO);
    signal(SIGTERM, kill_daemon);
    [[maybe_unused]] const ssize_t n = write(ready[1], "r", 1);
    // A polling wait rather than pause(): the thread sanitizer runs a
    // handler only on the way out of a call it intercepts, and pause() is
    // not one, so a signal arriving before it would never be handled.
    for (;;) {
      usleep(1000);
    }
  }
  close(err[1]);
  close(ready[1]);
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(kill(child, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string text;
  char chunk[64];
  for (ssize_t n; (n = read(err[0], chunk, sizeof chunk)) > 0;) {
    text.append(chunk, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(text, "Brenmoor Tornax Alert stopped\n");
  close(err[0]);
  close(ready[0]);
}

}  // namespace
}  // namespace tornax
