// The HTTP endpoint in process, fed by the real cycle against the simulated
// UPS and reached over loopback by curl and by raw sockets: each document,
// the outside checkers (promtool, jq), the access rules, hostile requests.
#include "daemon/net/http_server.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/core/cycle_facts.h"
#include "daemon/core/monitor.h"
#include "daemon/core/timings.h"
#include "daemon/net/access_policy.h"
#include "tests/kit/loopback.h"
#include "tests/support/http_client.h"
#include "tests/support/sandbox_run.h"
#include "tests/support/sim_fixture.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::curl;
using test::raw_request;

class HttpEndpointTest : public test::SimulatedUpsTest {
 protected:
  void SetUp() override {
    SimulatedUpsTest::SetUp();
    settings.listen = {*parse_ip_address("127.0.0.1"), *parse_ip_address("127.0.0.2")};
    int probe_port = 0;
    const int probe = test::listen_loopback(&probe_port);
    ASSERT_GE(probe, 0);
    close(probe);
    settings.http_port = probe_port;
    identify_ups(state);
    cycle();
    ASSERT_TRUE(start_http_server());
    port = http_server_port();
    ASSERT_EQ(port, probe_port);
  }
  void cycle(int count = 1) {
    for (int i = 0; i < count; ++i) {
      run_cycle(state);
    }
  }
  std::string status_state() {
    const test::HttpReply reply = curl(port, "/status");
    EXPECT_EQ(test::check_status_form(reply.body).status, 0) << reply.body;
    return test::run_command({"jq", "-r", ".state"}, reply.body).output;
  }

  MonitorState state;
  int port = 0;
};

TEST_F(HttpEndpointTest, EachDocumentOverLoopbackAcrossAPowerFailure) {
  const test::HttpReply metrics = curl(port, "/metrics");
  EXPECT_EQ(metrics.status, 200);
  EXPECT_EQ(metrics.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const test::CommandResult lint = test::promtool_check(metrics.body);
  EXPECT_EQ(lint.status, 0) << lint.output;
  EXPECT_EQ(lint.output, "");
  EXPECT_EQ(test::metric_samples(metrics.body).at("tornax_input_voltage_volts"), "230.5");

  const test::HttpReply head = curl(port, "/metrics", "HEAD");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");
  EXPECT_EQ(status_state(), "on_line\n");
  EXPECT_NE(curl(port, "/").body.find(">On line</h1>"), std::string::npos);

  sim.set_mains(false);
  cycle(2);
  EXPECT_EQ(status_state(), "on_battery\n");
  const auto on_battery = test::metric_samples(curl(port, "/metrics").body);
  EXPECT_EQ(on_battery.at("tornax_ups_status{flag=\"on_battery\"}"), "1");
  EXPECT_EQ(on_battery.at("tornax_events_total{event=\"powerfail\"}"), "1");
  EXPECT_NE(curl(port, "/").body.find("Power fail detected"), std::string::npos);

  sim.set_mains(true);
  cycle();
  EXPECT_EQ(status_state(), "on_line\n");
  EXPECT_EQ(test::metric_samples(curl(port, "/metrics").body)
                .at("tornax_events_total{event=\"powerreturn\"}"),
            "1");
}

// A cycle holds tornax_mutex through its poll, and for 15 seconds when it runs
// a self-test: a request, from admission to answer, must not wait for it.
TEST_F(HttpEndpointTest, AnswersWhileACycleHoldsTheLock) {
  pthread_mutex_lock(&tornax_mutex);
  note_self_test(true);
  const test::HttpReply reply = curl(port, "/metrics");
  note_self_test(false);
  pthread_mutex_unlock(&tornax_mutex);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(test::metric_samples(reply.body).at("tornax_ups_status{flag=\"self_test\"}"), "1");
}

TEST_F(HttpEndpointTest, HostileRequestsAreRefusedAndServiceGoesOn) {
  const std::string huge(64 * 1024, 'a');
  const struct {
    const char *what;
    std::string request;
    std::string answer_starts;  // empty: closed without an answer
  } cases[] = {
      {"a POST", "POST /status HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc",
       "HTTP/1.1 405"},
      {"a DELETE", "DELETE / HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 405"},
      {"an odd path", "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404"},
      {"an escaped path", "GET /%2e%2e/%00 HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404"},
      {"an absolute target", "GET http://x/etc HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404"},
      {"a huge header", "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + huge + "\r\n\r\n", "HTTP/1.1 4"},
      {"a huge target", "GET /" + huge + " HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 414"},
      {"no HTTP at all", std::string("\x16\x03\x01\x00\xff\r\n\r\n", 9), ""},
  };
  for (const auto &c : cases) {
    const std::string answer = raw_request(port, c.request);
    if (c.answer_starts.empty()) {
      EXPECT_TRUE(answer.empty() || answer.rfind("HTTP/1.1 400", 0) == 0) << c.what << answer;
    }
    EXPECT_EQ(answer.substr(0, c.answer_starts.size()), c.answer_starts) << c.what;
    if (c.answer_starts == "HTTP/1.1 405") {
      EXPECT_NE(answer.find("Allow: GET, HEAD\r\n"), std::string::npos);
    }
  }
  // Slow clients: idle ones and one that never finishes its headers hold no
  // one else up, and each is closed after the idle time-out.
  std::vector<int> slow;
  for (int i = 0; i < 3; ++i) {
    slow.push_back(test::connect_loopback(port, "127.0.0.3"));
  }
  test::send_all(slow[0], "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ");
  EXPECT_EQ(curl(port, "/status").status, 200);
  for (const int client_fd : slow) {
    EXPECT_TRUE(test::peer_closed(client_fd, (http_idle_seconds + 20) * 1000));
    close(client_fd);
  }
  EXPECT_EQ(curl(port, "/metrics").status, 200);
}

TEST_F(HttpEndpointTest, ListenAllowAndThePerHostLimit) {
  settings.allow = {*parse_ip_network("127.0.0.2/32"), *parse_ip_network("127.0.0.3/32")};
  settings.max_client_per_host = 1;
  cycle();  // the endpoint reads the rules the last cycle published
  EXPECT_EQ(curl(port, "/", "GET", {"--interface", "127.0.0.1"}).status, 0);  // not allowed
  EXPECT_EQ(curl(port, "/", "GET", {"--interface", "127.0.0.2"}).status, 200);
  EXPECT_EQ(curl(port, "/", "GET", {}, "127.0.0.3").status, 0);  // not listening there

  const int held = test::connect_loopback(port, "127.0.0.3", "127.0.0.2");
  ASSERT_GE(held, 0);
  test::send_all(held, "GET /status HTTP/1.1\r\n");  // holds its place until the time-out
  const test::HttpReply busy =
      curl(port, "/status", "GET", {"--interface", "127.0.0.3"}, "127.0.0.2");
  EXPECT_EQ(busy.status, 503);
  EXPECT_EQ(busy.body, "Too many connections from your address (MAX_CLIENT_PER_HOST)\n");
  close(held);
  EXPECT_TRUE(test::wait_until([&] {
    return curl(port, "/status", "GET", {"--interface", "127.0.0.3"}, "127.0.0.2").status == 200;
  }));
}

// A request sent a byte at a time loses its connection once its time is up,
// although the library's idle time-out starts again with every byte: the
// hosts it kept out are served again, and the per-host limit holds meanwhile.
TEST_F(HttpEndpointTest, SlowRequestsLoseTheirPlaces) {
  timings.http_request_limit = std::chrono::milliseconds(500);
  settings.max_client_per_host = 1;
  cycle();
  std::vector<int> slow;
  for (int n = 0; n < http_connection_limit; ++n) {
    const std::string from = "127.0.1." + std::to_string(1 + n);
    slow.push_back(test::connect_loopback(port, from.c_str()));
    test::send_all(slow.back(), "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ");
    if (n == 0) {
      EXPECT_EQ(curl(port, "/status", "GET", {"--interface", from}).status, 503);
    }
  }
  EXPECT_EQ(curl(port, "/status", "GET", {"--interface", "127.0.0.9"}).status, 0);
  bool cut = false;
  for (int tick = 0; tick < 300 && !cut; ++tick) {  // a byte every 100 ms from each
    for (const int slow_fd : slow) {
      test::send_all(slow_fd, "x");
    }
    cut = test::peer_closed(slow.back(), 100);
  }
  EXPECT_TRUE(cut);
  for (const int slow_fd : slow) {
    EXPECT_TRUE(test::peer_closed(slow_fd, 5000));
    close(slow_fd);
  }
  EXPECT_TRUE(test::wait_until([&] {
    return curl(port, "/status", "GET", {"--interface", "127.0.0.9"}).status == 200;
  }));
}

}  // namespace
}  // namespace tornax
