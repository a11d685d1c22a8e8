// The three network surfaces together in one process over loopback, with
// 127.0.0.2, 127.0.0.3 ... standing for distinct hosts: what they share
// through the one admission.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/core/cycle_facts.h"
#include "daemon/core/timings.h"
#include "daemon/core/util.h"
#include "daemon/net/access_policy.h"
#include "daemon/net/http_server.h"
#include "daemon/net/nut_server.h"
#include "daemon/net/surfaces.h"
#include "daemon/net/thread-server.h"
#include "tests/kit/files.h"
#include "tests/kit/loopback.h"
#include "tests/kit/processes.h"
#include "tests/kit/texts.h"
#include "tests/support/daemon_state.h"
#include "tests/support/http_client.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::connect_loopback;
using test::LineReader;

class NetworkSurfacesTest : public test::DaemonStateTest {
 protected:
  void SetUp() override {
    pthread_mutex_lock(&tornax_mutex);
    DaemonStateTest::SetUp();
    std::snprintf(log_filename, sizeof log_filename, "%s", home.file("tornax.log").c_str());
    settings.listen = {*parse_ip_address("127.0.0.1")};
    settings.max_client = 10;
    timings.status_interval = std::chrono::milliseconds(10);
    pthread_mutex_unlock(&tornax_mutex);
  }
  void TearDown() override {
    for (int fd : sockets) {
      close(fd);
    }
  }

  void start_all() {
    ASSERT_TRUE(start_status_server());
    ASSERT_TRUE(start_nut_server());
    ASSERT_TRUE(start_http_server());
    publish_cycle(std::chrono::seconds(0), std::time(nullptr));
  }
  int open(int port, const char *from) {
    const int fd = connect_loopback(port, from);
    EXPECT_GE(fd, 0);
    sockets.push_back(fd);
    return fd;
  }
  // The first status line a connection gets ("" when closed without one).
  std::string status_greeting(const char *from) {
    return LineReader(open(status_server_port(), from)).next().value_or("");
  }
  // The answer to NETVER ("" when closed without one).
  std::string nut_answer(const char *from) {
    const int fd = open(nut_server_port(), from);
    test::send_all(fd, "NETVER\n");
    return LineReader(fd).next().value_or("");
  }
  int http_status(const char *from, const std::string &path = "/status") {
    return test::curl(http_server_port(), path, "GET", {"--interface", from}).status;
  }
  std::string log() {
    write_network_log();
    return test::read_file(home.file("tornax.log"));
  }

  test::TempDir home;
  std::vector<int> sockets;
};

// MAX_CLIENT_PER_HOST holds for a host whichever surfaces its connections
// reach; the network UPS server's connections are counted for /metrics.
TEST_F(NetworkSurfacesTest, OneHostHoldsItsPlacesAcrossEverySurface) {
  settings.max_client_per_host = 2;
  ASSERT_NO_FATAL_FAILURE(start_all());
  EXPECT_EQ(status_greeting("127.0.0.2"), "TN0100");
  EXPECT_EQ(nut_answer("127.0.0.2"), "1.3");
  EXPECT_EQ(nut_answer("127.0.0.2"), "");  // its two places are taken
  EXPECT_EQ(status_greeting("127.0.0.2"), "Max client reach.Try again later");
  EXPECT_EQ(http_status("127.0.0.2"), 503);
  EXPECT_EQ(nut_answer("127.0.0.3"), "1.3");  // another host is served
  const auto metrics = test::metric_samples(
      test::curl(http_server_port(), "/metrics", "GET", {"--interface", "127.0.0.4"}).body);
  EXPECT_EQ(metrics.at("tornax_nut_clients"), "2");
  EXPECT_EQ(metrics.at("tornax_status_clients"), "1");

  close(sockets.front());  // the host's status connection
  sockets.erase(sockets.begin());
  EXPECT_TRUE(test::wait_until([&] { return http_status("127.0.0.2") == 200; }));
  EXPECT_NE(log().find("Network UPS server refused a connection from 127.0.0.2 "
                       "(MAX_CLIENT_PER_HOST 2 reached)"),
            std::string::npos);
}

}  // namespace
}  // namespace tornax
