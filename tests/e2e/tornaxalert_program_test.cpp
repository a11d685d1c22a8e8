// The real tornaxalert program, always run inside scripts/sandbox: it runs a
// shutdown command, and one forgotten -x must never reach the host. The
// scripted server stays outside; loopback reaches it from the sandbox.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/kit/files.h"
#include "tests/kit/texts.h"
#include "tests/support/scripted_server.h"
#include "tests/support/status_key.h"

namespace tornax::test {
namespace {

std::string quoted(const std::string &word) {
  std::string out = "'";
  for (char c : word) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

class ProgramTest : public ::testing::Test {
 protected:
  struct Run {
    int status = -1;
    std::string out;
    std::string err;
  };

  // Runs `prefix tornaxalert args` in the sandbox; the sandbox lives until the
  // detached client has ended too. A hung run is killed after two minutes.
  Run run(const std::vector<std::string> &args, const std::string &prefix = "") {
    std::string command = "timeout -s KILL 120 " +
                          quoted(std::string(TORNAX_SOURCE_DIR) + "/scripts/sandbox") +
                          " --record " + quoted(dir.file("record")) + " -- " + prefix +
                          quoted(std::string(TORNAX_BINARY_DIR) + "/tornaxalert");
    for (const std::string &arg : args) {
      command += " " + quoted(arg);
    }
    command += " >" + quoted(dir.file("out")) + " 2>" + quoted(dir.file("err"));
    const int raw = std::system(command.c_str());
    Run result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = read_file(dir.file("out"));
    result.err = read_file(dir.file("err"));
    return result;
  }

  test::TempDir dir;
};

TEST_F(ProgramTest, RefusedStartsEndBeforeDetaching) {
  // Whoever can read the key can pass for the daemon.
  const std::string open_key = test::write_key_file(dir.file("key"), test::key_hex, 0644);
  const struct {
    std::vector<std::string> args;
    std::string prefix;
    int status;
    std::string err;
  } cases[] = {
      {{"127.0.0.1"},
       "setpriv --reuid=65534 --regid=65534 --clear-groups ",
       1,
       client_title + "You don't have root permission\n" + client_title + "Quit\n"},
      {{}, "", 1, client_title + "Hostname is missing\n"},
      {{"-a", "everyone", "127.0.0.1"}, "", 1, "Argument is unknown (-a everyone)\n"},
      {{"-p", "5", "no-such-host.invalid"},
       "",
       1,
       client_title + "Unknown hostname: no-such-host.invalid\n"},
      {{"-k", open_key, "127.0.0.1"},
       "",
       1,
       client_title + "Cannot use key file " + open_key +
           ": group or others have access to it (mode 0644)\n"},
      {{"-h"}, "", 0, ""},
  };
  for (const auto &c : cases) {
    const Run r = run(c.args, c.prefix);
    EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args);
    EXPECT_EQ(r.err, c.err) << testing::PrintToString(c.args);
  }
  EXPECT_EQ(read_file(dir.file("record/actions")), "");  // no stub was ever called
}

TEST_F(ProgramTest, CheckPrintsWhatWouldBeFollowedWithoutConnecting) {
  const std::string key = test::write_key_file(dir.file("key"), test::key_hex);
  const Run r = run({"-c", "-p", "5", "-k", key, "-S", "[::1]:4005", "-S",
                     "localhost:4006,/no/such", "-m", "2", "127.0.0.1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, client_title + "Cannot use key file /no/such: No such file or directory\n");
  const Run ok = run({"-c", "-p", "5", "-k", key, "-S", "[::1]:4005", "-m", "2", "127.0.0.1"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out, "Supply 127.0.0.1:4004: 127.0.0.1 port 4004, keyed (" + key +
                        ")\n"
                        "Supply [::1]:4005: ::1 port 4005, keyed (" +
                        key +
                        ")\n"
                        "Minimum healthy supplies: 2 of 2\n"
                        "Powerfail shutdown: 5 Mins\n"
                        "Schedule shutdown: off\n"
                        "Shutdown command: /sbin/shutdown -h now\n");
  EXPECT_EQ(ok.err, "");
}

TEST_F(ProgramTest, DetachedClientAlertsAndRunsItsShutdownCommand) {
  test::ScriptedServer server(
      {{"TN0100\n#Kyrel   1000VA\nNA\n"
        "8 230.0 230.0 20 31 50.0 1.2 3 -1 OK -1\n"}});
  const std::string shutdowns = dir.file("shutdowns");
  const std::string broadcasts = dir.file("broadcasts");
  const Run r = run({"-p", "5", "-x", "echo down >> " + quoted(shutdowns), "-w",
                     "cat >> " + quoted(broadcasts), "127.0.0.1", std::to_string(server.port())});
  EXPECT_EQ(r.status, 0);
  // The parent's version line and the child's connection line, in either order.
  EXPECT_NE(r.out.find("Powerfail shutdown 5 Mins\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Brenmoor Tornax Alert version 1.40\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Connected to 127.0.0.1:" + std::to_string(server.port()) + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.err,
            client_title + "Connection lost\n" + client_title + "Reconnect time expired. Quit.\n");
  EXPECT_EQ(read_file(broadcasts), client_title + "Low battery detect\n" + client_title +
                                       "Low battery detect,shutdown executed\n");
  EXPECT_EQ(read_file(shutdowns), "down\n");
  EXPECT_EQ(read_file(dir.file("record/actions")), "");
}

TEST_F(ProgramTest, ConsoleAlertsReachTheSandboxConsole) {
  test::ScriptedServer server({{"TN0100\n\nNA\n2 0.0 230.0 90 31 50.0 1.2 3 -1 OK -1\n"}});
  const Run r = run({"-a", "console", "-x", "true", "127.0.0.1", std::to_string(server.port())});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir.file("record/console")), client_title + "Power fail detect\n");
}

}  // namespace
}  // namespace tornax::test
