// The real daemon's HTTP endpoint in the sandbox, read by the clients
// administrators use: curl with jq for /status, promtool for /metrics and
// headless Chromium for the page, before, during and after a power failure.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "sim/simulated_ups.h"
#include "tests/kit/loopback.h"
#include "tests/support/daemon_home.h"
#include "tests/support/http_client.h"
#include "tests/support/sim_fixture.h"

namespace tornax {
namespace {

using test::read_file;
using test::wait_until;

class HttpE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    sim.start();
    const int probe = test::listen_loopback(&port);
    ASSERT_GE(probe, 0);
    close(probe);
    home.configure(sim.slave_path(), "HTTP_PORT " + std::to_string(port) +
                                         "\nLISTEN 127.0.0.1\nUPS_LOCATION \"Rack 3 & <B>\"\n");
    run = home.start();
    ASSERT_TRUE(test::wait_for_log(home, "*** Daemon started ***")) << run->stderr_text();
    daemon = run->find_process("tornax");
    ASSERT_GT(daemon, 0);
  }
  void TearDown() override {
    if (daemon > 0) {
      kill(daemon, SIGTERM);
      EXPECT_EQ(run->wait(), 0);
    }
    sim.stop();
  }
  // Waits until /status, in its documented form, reports `state`.
  bool wait_for_state(const std::string &state) {
    return wait_until([&] {
      const std::string json = test::curl(port, "/status").body;
      return test::check_status_form(json).status == 0 &&
             test::run_command({"jq", "-r", ".state"}, json).output == state + "\n";
    });
  }
  // The page as Chromium builds it; its screenshot goes to `png`.
  std::string page(const std::string &png) {
    const test::CommandResult dom =
        test::chromium_page("http://127.0.0.1:" + std::to_string(port) + "/", png);
    EXPECT_EQ(dom.status, 0);
    const std::string shot = read_file(png);
    EXPECT_EQ(shot.substr(0, 8), "\x89PNG\r\n\x1a\n");
    return dom.output;
  }

  SimulatedUps sim{test::test_ups_options()};
  test::DaemonHome home;
  int port = 0;
  std::unique_ptr<test::SandboxRun> run;
  pid_t daemon = 0;
};

TEST_F(HttpE2eTest, StatusMetricsAndPageBeforeDuringAndAfterAPowerFailure) {
  ASSERT_TRUE(wait_for_state("on_line")) << test::curl(port, "/status").body;
  const test::CommandResult lint = test::promtool_check(test::curl(port, "/metrics").body);
  EXPECT_EQ(lint.status, 0) << lint.output;
  EXPECT_EQ(lint.output, "");
  const std::string before = page(home.file("before.png"));
  EXPECT_NE(before.find(">On line</h1>"), std::string::npos) << before;
  EXPECT_NE(before.find("Rack 3 &amp; &lt;B&gt;"), std::string::npos) << before;
  EXPECT_NE(before.find("None since the daemon started."), std::string::npos) << before;

  sim.set_mains(false);
  ASSERT_TRUE(wait_for_state("on_battery")) << test::curl(port, "/status").body;
  const std::string during = page(home.file("during.png"));
  EXPECT_NE(during.find(">On battery</h1>"), std::string::npos) << during;
  EXPECT_NE(during.find("Power fail detected"), std::string::npos) << during;
  EXPECT_NE(read_file(home.file("during.png")), read_file(home.file("before.png")));
  EXPECT_EQ(test::promtool_check(test::curl(port, "/metrics").body).output, "");

  sim.set_mains(true);
  ASSERT_TRUE(wait_for_state("on_line")) << test::curl(port, "/status").body;
  const std::string after = page(home.file("after.png"));
  EXPECT_NE(after.find(">On line</h1>"), std::string::npos) << after;
  EXPECT_NE(after.find("Power is return"), std::string::npos) << after;
}

}  // namespace
}  // namespace tornax
