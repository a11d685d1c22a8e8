// The kit's line reader, which the tests and the benchmark read status lines
// with: lines split across reads come out whole, and the end of the stream is
// told apart from a pause.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/kit/loopback.h"

namespace tornax::test {
namespace {

TEST(LineReader, DrainKeepsPartialLinesUntilTheyEnd) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
  LineReader reader(pair[0]);
  std::vector<std::string> lines;
  const struct {
    const char *sent;
    std::vector<std::string> seen;
  } steps[] = {
      {"", {}},
      {"TN01", {}},
      {"00\nfirst\nsec", {"TN0100", "first"}},
      {"ond\n\n", {"TN0100", "first", "second", ""}},
  };
  for (const auto &step : steps) {
    ASSERT_TRUE(send_all(pair[1], step.sent));
    EXPECT_TRUE(reader.drain(&lines)) << step.sent;
    EXPECT_EQ(lines, step.seen) << step.sent;
  }
  ASSERT_TRUE(send_all(pair[1], "last\nunended"));
  close(pair[1]);
  EXPECT_FALSE(reader.drain(&lines));
  EXPECT_EQ(lines.back(), "last");
  EXPECT_EQ(reader.pending(), "unended");
  EXPECT_TRUE(reader.ended());
  close(pair[0]);
}

}  // namespace
}  // namespace tornax::test
