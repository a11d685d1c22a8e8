#include "daemon/core/util.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/kit/files.h"

namespace tornax {
namespace {

using test::file_exists;
using test::read_file;

TEST(GetpathTest, BuildsTheFourNamesUnderTheHome) {
  setenv("TORNAXHOME", "/srv/ups", 1);
  getpath();
  EXPECT_STREQ(dir_prefix, "/srv/ups");
  EXPECT_STREQ(pid_filename, "/srv/ups/tornax.pid");
  EXPECT_STREQ(log_filename, "/srv/ups/tornax.log");
  EXPECT_STREQ(config_filename, "/srv/ups/tornax.conf");
  EXPECT_STREQ(shutdown_script_filename, "/srv/ups/shutdown.sh");
}

TEST(GetpathTest, DefaultAndEmptyHome) {
  unsetenv("TORNAXHOME");
  getpath();
  EXPECT_EQ(std::string(config_filename), std::string(default_home) + "/tornax.conf");
  setenv("TORNAXHOME", "", 1);
  getpath();
  EXPECT_STREQ(pid_filename, "/tornax.pid");
}

TEST(GetpathTest, AcceptsOneHundredFiftyCharactersAndRefusesMore) {
  const std::string longest = "/" + std::string(149, 'h');
  setenv("TORNAXHOME", longest.c_str(), 1);
  getpath();
  EXPECT_EQ(std::string(shutdown_script_filename), longest + "/shutdown.sh");
  setenv("TORNAXHOME", (longest + "x").c_str(), 1);
  EXPECT_EXIT(getpath(), testing::ExitedWithCode(1),
              "^Brenmoor Tornax X : \\$TORNAXHOME too long\n\n"
              "Brenmoor Tornax X : Exit\n$");
}

class PidfileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::snprintf(pid_filename, sizeof pid_filename, "%s", home.file("tornax.pid").c_str());
  }
  test::TempDir home;
};

TEST_F(PidfileTest, MakeFileWritesPidAndRefusesASecondCreator) {
  ASSERT_EQ(make_file(), 0);
  EXPECT_EQ(read_file(pid_filename), std::to_string(getpid()) + "\n");
  EXPECT_EQ(make_file(), pidfile_exists);
  clear_file();
  EXPECT_FALSE(file_exists(pid_filename));
  clear_file();  // a missing file is no error
}

TEST_F(PidfileTest, UnwritablePidFileIsReported) {
  std::snprintf(pid_filename, sizeof pid_filename, "%s/no-dir/tornax.pid", home.path().c_str());
  EXPECT_EQ(make_file(), pidfile_failed);
}

TEST_F(PidfileTest, LiveDaemonRefusesTheStart) {
  // Our own pid runs this very program: a live daemon.
  home.write("tornax.pid", std::to_string(getpid()) + "\n");
  EXPECT_EXIT(check_pidfile(), testing::ExitedWithCode(1),
              "^Brenmoor Tornax X : PIDFILE exist\nBrenmoor Tornax X : Exit\n$");
}

pid_t finished_child() {
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  return child;
}

TEST_F(PidfileTest, StaleOrGarbledPidFileIsReplacedWithAWarning) {
  for (const std::string &content : {std::to_string(finished_child()) + "\n", std::string("junk\n"),
                                     std::string(""), std::string("-5\n")}) {
    home.write("tornax.pid", content);
    testing::internal::CaptureStderr();
    check_pidfile();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string("Brenmoor Tornax X : Replacing stale PIDFILE ") + pid_filename +
                       " (no daemon runs with its pid)\n")
        << "content: " << content;
    EXPECT_FALSE(file_exists(pid_filename));
  }
}

TEST_F(PidfileTest, PidReusedByAnotherProgramIsStale) {
  // A live process that runs another program, as after a reboot.
  const pid_t child = fork();
  if (child == 0) {
    execlp("sleep", "sleep", "30", static_cast<char *>(nullptr));
    _exit(127);
  }
  usleep(100 * 1000);
  home.write("tornax.pid", std::to_string(child) + "\n");
  testing::internal::CaptureStderr();
  check_pidfile();
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(file_exists(pid_filename));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

// The pid file is written as root in the home: a link planted there must not
// make the daemon write, or remove, another file.
TEST_F(PidfileTest, SymlinkIsNeitherWrittenThroughNorKept) {
  const std::string target = home.write("target", "precious\n");
  ASSERT_EQ(symlink(target.c_str(), pid_filename), 0);
  EXPECT_EQ(make_file(), pidfile_exists);
  testing::internal::CaptureStderr();
  check_pidfile();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Replacing stale PIDFILE"),
            std::string::npos);
  EXPECT_FALSE(file_exists(pid_filename));
  EXPECT_EQ(read_file(target), "precious\n");
}

TEST_F(PidfileTest, NoPidFileIsSilent) {
  testing::internal::CaptureStderr();
  check_pidfile();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(WriteFileAtomicallyTest, ReplacesTheWholeFileAndLeavesNothingBehind) {
  test::TempDir dir;
  const std::string path = dir.write("state", "old content\n");
  ASSERT_TRUE(write_file_atomically(path.c_str(), "new\n"));
  EXPECT_EQ(read_file(path), "new\n");
  EXPECT_FALSE(file_exists(path + ".new"));
  EXPECT_FALSE(write_file_atomically(dir.file("missing/state").c_str(), "x"));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace tornax
