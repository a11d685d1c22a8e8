// The real daemon's HTTP endpoint in the sandbox, read by the clients
// administrators use: curl with jq for /status, promtool for /metrics and
// headless Chromium for the page, before, during and after a power failure.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "tests/support/http_client.h"
#include "tests/support/sandboxed_daemon.h"

namespace tornax::test {
namespace {

class HttpE2eTest : public SandboxedDaemonTest {
 protected:
  void SetUp() override {
    SandboxedDaemonTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(
        start_configured("HTTP_PORT " + std::to_string(port) +
                         "\nLISTEN 127.0.0.1\nUPS_LOCATION \"Rack 3 & <B>\"\n"));
  }
  void TearDown() override {
    if (daemon > 0) {
      stop_daemon();
    }
    SandboxedDaemonTest::TearDown();
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
}  // namespace tornax::test
