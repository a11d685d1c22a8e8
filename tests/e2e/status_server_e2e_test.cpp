// The real daemon's status server in the sandbox, reached over loopback from
// this process, with 127.0.0.2, 127.0.0.3 ... standing for other hosts: who
// may connect, a port taken before the daemon starts, a burst of clients,
// the descriptors kept for the daemon's own work, and every surface over IPv6.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/kit/loopback.h"
#include "tests/support/http_client.h"
#include "tests/support/sandboxed_daemon.h"

namespace tornax::test {
namespace {

const std::string refusal = "Max client reach.Try again later";

// What binding `address`:port (IPv6) gives another local program, as one
// that would answer for the daemon binds it: 0 or the errno.
int squat(const char *address, int port) {
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  sockaddr_in6 at{};
  at.sin6_family = AF_INET6;
  at.sin6_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET6, address, &at.sin6_addr);
  const int result = bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0 ? 0 : errno;
  close(fd);
  return result;
}

class StatusServerE2eTest : public SandboxedDaemonTest {
 protected:
  void TearDown() override {
    for (int fd : sockets) {
      close(fd);
    }
    if (daemon > 0) {
      stop_daemon();
    }
    SandboxedDaemonTest::TearDown();
  }

  // Starts the daemon with a status server on `port`, then `extra`; with a
  // `prefix` (prlimit ...) in front of the program.
  void start(const std::string &extra, const std::vector<std::string> &prefix = {}) {
    start_configured("PORT " + std::to_string(port) + "\n" + extra, prefix);
  }
  // The first line a connection from `from` to `to` gets; "closed" when the
  // daemon closed it without a line, "no connection" when the host refused.
  std::string first_line(const char *from, const char *to = "127.0.0.1") {
    const int fd = connect_loopback(port, from, to);
    if (fd < 0) {
      return "no connection";
    }
    sockets.push_back(fd);
    LineReader reader(fd);
    return reader.next(20000).value_or(reader.ended() && reader.pending().empty() ? "closed" : "");
  }
  // Waits until the status server greets.
  void wait_until_served(const char *to = "127.0.0.1") {
    ASSERT_TRUE(wait_until([&] {
      const int fd = connect_loopback(port, "127.0.0.1", to);
      const bool up = fd >= 0;
      if (up) {
        close(fd);
      }
      return up;
    })) << run->stderr_text();
  }

  std::vector<int> sockets;
};

TEST_F(StatusServerE2eTest, ListenAllowAndThePerHostLimitAlsoOnReload) {
  const std::string rules = "MAX_CLIENT 10\nLISTEN 127.0.0.2 ::1\nMAX_CLIENT_PER_HOST 1\n";
  ASSERT_NO_FATAL_FAILURE(start(rules + "ALLOW 127.0.0.3 ::1\n"));
  ASSERT_NO_FATAL_FAILURE(wait_until_served("127.0.0.2"));
  EXPECT_EQ(first_line("127.0.0.1", "127.0.0.1"), "no connection");  // not listening there
  EXPECT_EQ(first_line("127.0.0.3", "127.0.0.2"), "TN0100");
  EXPECT_EQ(first_line("127.0.0.3", "127.0.0.2"), refusal);  // its one place is taken
  EXPECT_EQ(first_line("127.0.0.4", "127.0.0.2"), "closed");
  EXPECT_EQ(first_line("127.0.0.4", "127.0.0.2"), "closed");
  const int v6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET6, "::1", &address.sin6_addr);
  ASSERT_EQ(connect(v6, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  sockets.push_back(v6);
  EXPECT_EQ(LineReader(v6).next(20000), "TN0100");
  const std::string refused =
      "Status server refused a connection from 127.0.0.4 (not allowed by ALLOW)";
  ASSERT_TRUE(wait_for_log(home, refused));

  // A reload lets the other host in and the first out; the addresses stay.
  home.configure(sim.slave_path(), "PORT " + std::to_string(port) + "\n" + rules +
                                       "ALLOW 127.0.0.4\nLISTEN 127.0.0.5\n");
  kill(daemon, SIGHUP);
  ASSERT_TRUE(wait_for_log(home, "Reinitialize configuration"));
  ASSERT_TRUE(wait_until([&] { return first_line("127.0.0.4", "127.0.0.2") == "TN0100"; }));
  EXPECT_EQ(first_line("127.0.0.3", "127.0.0.2"), "closed");
  EXPECT_EQ(first_line("127.0.0.1", "127.0.0.5"), "no connection");
  EXPECT_EQ(occurrences(home.log(), refused), 1u);  // once a minute at most
}

// Without LISTEN every surface holds both families' side of its port, so no
// local program can answer [::1] for the daemon (with "OB LB" while
// 127.0.0.1 says "OL"), and each answers its own clients over IPv6.
TEST_F(StatusServerE2eTest, DefaultListenHoldsTheIpv6SideOfEveryPort) {
  if (!have_ipv6_loopback()) {
    GTEST_SKIP() << no_ipv6_loopback;
  }
  const int nut_port = free_loopback_port(), http_port = free_loopback_port();
  ASSERT_NO_FATAL_FAILURE(start("MAX_CLIENT 2\nNUT_PORT " + std::to_string(nut_port) +
                                "\nHTTP_PORT " + std::to_string(http_port) + "\n"));
  ASSERT_TRUE(wait_until([&] { return first_line("::1", "::1") == "TN0100"; }))
      << run->stderr_text();
  for (const int taken : {port, nut_port, http_port}) {
    EXPECT_EQ(squat("::", taken), EADDRINUSE) << taken;
    EXPECT_EQ(squat("::1", taken), EADDRINUSE) << taken;
  }
  const std::string nut = "tornax@[::1]:" + std::to_string(nut_port);
  EXPECT_TRUE(wait_until([&] {
    return run_command({"upsc", nut, "ups.status"}).output == "OL\n";
  })) << run_command({"upsc", nut}, "", true).output;
  const HttpReply metrics = curl(http_port, "/metrics", "GET", {"-g"}, "[::1]");
  EXPECT_EQ(metrics.status, 200);
  EXPECT_EQ(metric_samples(metrics.body)["tornax_ups_status{flag=\"on_battery\"}"], "0")
      << metrics.body;
  EXPECT_EQ(run->stderr_text().find("cannot"), std::string::npos) << run->stderr_text();
}

// A local user who holds the port first keeps it only while it holds it.
TEST_F(StatusServerE2eTest, TakenPortIsReportedOnceAndTakenBack) {
  int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(taken, 5), 0);
  ASSERT_NO_FATAL_FAILURE(start("MAX_CLIENT 2\n"));
  const std::string failure = "Status server cannot bind to 0.0.0.0:" + std::to_string(port) +
                              " (Address already in use); trying again every 5 seconds";
  EXPECT_TRUE(wait_until([&] {
    return occurrences(run->stderr_text(), daemon_title + failure + "\n") == 1;
  })) << run->stderr_text();
  sim.set_mains(false);  // monitoring goes on meanwhile
  EXPECT_TRUE(wait_for_log(home, "Power fail detected"));
  std::this_thread::sleep_for(std::chrono::seconds(11));  // two attempts more
  close(taken);
  EXPECT_TRUE(wait_for_log(home, "Status server listening on 0.0.0.0:" + std::to_string(port)));
  EXPECT_EQ(first_line("127.0.0.2"), "TN0100");
  EXPECT_EQ(occurrences(home.log(), failure), 1u);
  EXPECT_EQ(occurrences(run->stderr_text(), failure), 1u);
}

// Every client that lost a restarted daemon comes back at the same moment.
TEST_F(StatusServerE2eTest, ABurstOfOneHundredClientsIsServed) {
  ASSERT_NO_FATAL_FAILURE(start("MAX_CLIENT 101\n"));  // the probe's place may linger
  ASSERT_NO_FATAL_FAILURE(wait_until_served());
  std::vector<int> fds;
  for (int n = 0; n < 100; ++n) {
    const std::string from = "127.0.0." + std::to_string(2 + n % 50);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &address.sin_addr);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    address.sin_port = htons(static_cast<uint16_t>(port));
    connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);  // all at once
    fds.push_back(fd);
    sockets.push_back(fd);
  }
  int served = 0;
  for (int fd : fds) {
    fcntl(fd, F_SETFL, 0);
    served += LineReader(fd).next(60000) == "TN0100" ? 1 : 0;
  }
  EXPECT_EQ(served, 100);
}

// With few descriptors, clients beyond what they allow are refused, and the
// daemon still logs and broadcasts a power failure.
TEST_F(StatusServerE2eTest, DescriptorsForTheDaemonsOwnWork) {
  ASSERT_NO_FATAL_FAILURE(start("MAX_CLIENT 100\n", {"prlimit", "--nofile=40:60"}));
  EXPECT_NE(read_file("/proc/" + std::to_string(daemon) + "/limits")
                .find("Max open files            60                   60"),
            std::string::npos);
  // Reported when the configuration is read, before the daemon detaches.
  const std::string warning = "MAX_CLIENT 100 does not fit the descriptor limit of 60: at most ";
  EXPECT_NE(run->stderr_text().find(daemon_title + warning), std::string::npos)
      << run->stderr_text();
  EXPECT_TRUE(log_has(home, warning));
  // No probe first: a probe's place would be held a little while after it closed.
  std::string line;
  ASSERT_TRUE(wait_until([&] { return (line = first_line("127.0.0.2")) != "no connection"; }));
  int served = line == "TN0100" ? 1 : 0, refused = line == refusal ? 1 : 0;
  for (int n = 1; n < 45; ++n) {
    line = first_line("127.0.0.2");
    served += line == "TN0100" ? 1 : 0;
    refused += line == refusal ? 1 : 0;
  }
  EXPECT_GT(served, 0);
  EXPECT_GT(refused, 0);
  EXPECT_EQ(served + refused, 45);
  sim.set_mains(false);
  EXPECT_TRUE(wait_for_log(home, "Power fail detected"));
  EXPECT_TRUE(wait_until([&] { return home.wall().find("POWERFAIL alert") != std::string::npos; }));
  EXPECT_TRUE(wait_for_log(home, "(the descriptors allow " + std::to_string(served) + " clients)"))
      << home.log();
  EXPECT_EQ(run->stderr_text().find("Cannot"), std::string::npos) << run->stderr_text();
}

// Peers holding places on all three surfaces at once, idle or sending a
// request a byte at a time, still leave the daemon the descriptors it needs
// to log and broadcast a power failure: the surfaces share one budget.
TEST_F(StatusServerE2eTest, EverySurfaceTogetherLeavesTheDaemonsReserve) {
  const int nut_port = free_loopback_port(), http_port = free_loopback_port();
  constexpr int limit = 100, reserve = 16;
  ASSERT_NO_FATAL_FAILURE(start(
      "MAX_CLIENT 30\nNUT_PORT " + std::to_string(nut_port) + "\nNUT_MAX_CLIENT 60\nHTTP_PORT " +
          std::to_string(http_port) + "\nLISTEN 127.0.0.1\n",
      {"prlimit", "--nofile=" + std::to_string(limit) + ":" + std::to_string(limit)}));
  ASSERT_NO_FATAL_FAILURE(wait_until_served());
  for (int n = 0; n < 30; ++n) {
    const int fd = connect_loopback(port, "127.0.0.2", "127.0.0.1", 4096);  // reads nothing
    sockets.push_back(fd);
    LineReader(fd).next(20000);
  }
  for (int n = 0; n < 60; ++n) {
    const int fd = connect_loopback(nut_port, "127.0.0.3");
    sockets.push_back(fd);
    send_all(fd, "NETVER\n");
    LineReader(fd).next(20000);  // its answer, or the close of a refused one
  }
  for (int n = 0; n < 70; ++n) {
    const std::string from = "127.0.1." + std::to_string(1 + n % 10);
    const int fd = connect_loopback(http_port, from.c_str());
    sockets.push_back(fd);
    send_all(fd, "GET /status HTTP/1.1\r\nHost: x\r\nX-Slow: ");
  }
  // Connections are taken in turn: once this one is answered or closed,
  // every one before it has been admitted or refused.
  const int last = connect_loopback(http_port, "127.0.0.4");
  sockets.push_back(last);
  send_all(last, "GET /status HTTP/1.1\r\nHost: x\r\n\r\n");
  LineReader(last).next(20000);
  const auto held =
      std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(daemon) + "/fd"),
                    std::filesystem::directory_iterator());
  EXPECT_LE(held, limit - reserve);
  sim.set_mains(false);
  EXPECT_TRUE(wait_for_log(home, "Power fail detected"));
  EXPECT_TRUE(wait_until([&] { return home.wall().find("POWERFAIL alert") != std::string::npos; }));
  EXPECT_EQ(run->stderr_text().find("Cannot"), std::string::npos) << run->stderr_text();
}

}  // namespace
}  // namespace tornax::test
