// The status server over loopback with real sockets. Every test runs in its
// own process, so each starts its own listener on a port the system picks.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/status_auth.h"
#include "daemon/core/cycle_facts.h"
#include "daemon/core/timings.h"
#include "daemon/core/util.h"
#include "daemon/net/access_policy.h"
#include "daemon/net/listener.h"
#include "daemon/net/surfaces.h"
#include "daemon/net/thread-server.h"
#include "tests/kit/files.h"
#include "tests/kit/loopback.h"
#include "tests/kit/texts.h"
#include "tests/support/daemon_state.h"
#include "tests/support/sandbox_run.h"
#include "tests/support/status_key.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::connect_loopback;
using test::LineReader;

class StatusServerTest : public test::DaemonStateTest {
 protected:
  // Server threads outlive the test body (and, when the cases share one
  // process, reach into the next); they read the state only under the mutex,
  // so the set-up and the reset take it too.
  void SetUp() override {
    pthread_mutex_lock(&tornax_mutex);
    DaemonStateTest::SetUp();
    std::snprintf(log_filename, sizeof log_filename, "%s", home.file("tornax.log").c_str());
    settings.port = 0;
    settings.max_client = 10;
    timings.status_interval = std::chrono::milliseconds(10);
    std::strcpy(ups_teststatus, "OK");
    pthread_mutex_unlock(&tornax_mutex);
  }
  void TearDown() override {
    for (int fd : sockets) {
      close(fd);
    }
    pthread_mutex_lock(&tornax_mutex);
    DaemonStateTest::TearDown();
    pthread_mutex_unlock(&tornax_mutex);
  }

  int start() {
    EXPECT_TRUE(start_status_server());
    EXPECT_NE(status_server_port(), 0);
    return status_server_port();
  }
  int open_client(const char *from = "127.0.0.1", int receive_buffer = 0) {
    const int fd = connect_loopback(status_server_port(), from, "127.0.0.1", receive_buffer);
    EXPECT_GE(fd, 0);
    sockets.push_back(fd);
    return fd;
  }
  // The log as the main thread writes it after a cycle.
  std::string log_after_cycle() {
    write_network_log();
    return test::read_file(home.file("tornax.log"));
  }
  // A change the main thread makes, with the settings then published.
  template <typename Change>
  static void publish(Change change) {
    pthread_mutex_lock(&tornax_mutex);
    change();
    pthread_mutex_unlock(&tornax_mutex);
    publish_settings();
  }
  // Skips status lines until one ends with `suffix` (lines keep coming once
  // a second in the daemon, every 10 ms here).
  static std::string line_ending_with(LineReader &reader, const std::string &suffix) {
    for (int n = 0; n < 500; ++n) {
      const std::optional<std::string> line = reader.next();
      if (!line) {
        break;
      }
      if (line->size() >= suffix.size() &&
          line->compare(line->size() - suffix.size(), suffix.size(), suffix) == 0) {
        return *line;
      }
    }
    ADD_FAILURE() << "no line ending with \"" << suffix << "\"";
    return {};
  }
  // The greeting, the identification and the location line.
  static void expect_header(LineReader &reader, const std::string &identification,
                            const std::string &location) {
    EXPECT_EQ(reader.next(), "TN0100");
    EXPECT_EQ(reader.next(), identification);
    EXPECT_EQ(reader.next(), location);
  }
  static bool wait_for_clients(int count) {
    for (int n = 0; n < 500 && client.load() != count; ++n) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return client.load() == count;
  }

  test::TempDir home;
  std::vector<int> sockets;
};

TEST_F(StatusServerTest, HeaderThenStatusLines) {
  std::strcpy(ups_version, "#Kyrel   1000VA");
  settings.ups_location = "Server room";
  start();
  LineReader reader(open_client());
  expect_header(reader, "#Kyrel   1000VA", "\"Server room\"");
  EXPECT_EQ(reader.next(), "0 0.0 0.0 0 0 0.0 0.0 0 -1 OK -1");
  EXPECT_EQ(reader.next(), "0 0.0 0.0 0 0 0.0 0.0 0 -1 OK -1");
}

TEST_F(StatusServerTest, EmptyIdentificationAndNoLocation) {
  start();
  LineReader reader(open_client());
  expect_header(reader, "", "NA");
}

TEST_F(StatusServerTest, LinesFollowThePublishedValues) {
  start();
  LineReader reader(open_client());
  for (int n = 0; n < 3; ++n) {
    reader.next();
  }
  // The status word first: a line that shows the new readings then shows it
  // too (it is written outside the lock, as the cycle writes it).
  ext_status = 0x02 | 0x08 | 0x20;
  publish([] {
    test::set_readings({.line = 229.5f,
                        .output = 230.26f,
                        .charge = 87.4f,
                        .load = 31.6f,
                        .frequency = 49.95f,
                        .current = 2.04f});
    remain_time = 17;
    schedule_down_timer = 30;
  });
  EXPECT_EQ(line_ending_with(reader, " 9"), "2a 229.5 230.3 87 32 50.0 2.0 17 -1 OK 9");
  publish([] { schedule_down_timer = 541; });
  EXPECT_EQ(line_ending_with(reader, " 0"), "2a 229.5 230.3 87 32 50.0 2.0 17 -1 OK 0");
  ext_status = 0;
  publish([] {
    schedule_down_timer = 0;
    remain_time = 0;
  });
  EXPECT_EQ(line_ending_with(reader, " -1"), "0 229.5 230.3 87 32 50.0 2.0 0 -1 OK -1");
}

// Lines follow the monitoring cycle: each announced cycle sends every client
// one line at once with the values it published, and nothing else is sent
// until the next cycle (or the long pause) comes.
TEST_F(StatusServerTest, EachAnnouncedCycleSendsEveryClientOneLine) {
  timings.status_interval =
      std::chrono::milliseconds(600000);  // the pause alone would send the next line in ten minutes
  start();
  std::vector<LineReader> readers;
  for (int n = 0; n < 3; ++n) {
    readers.emplace_back(open_client());
    for (int line = 0; line < 4; ++line) {  // the header and the first status line
      ASSERT_TRUE(readers.back().next().has_value());
    }
  }
  for (const float voltage : {0.0f, 231.0f, 0.0f}) {
    publish([voltage] { ups_linevoltage = voltage; });
    status[POWERFAIL] = voltage == 0.0f ? 1 : 0;
    publish_cycle(std::chrono::seconds(0), std::time(nullptr));
    char expected[line_buffer_size];
    std::snprintf(expected, sizeof expected, "%x %.1f 0.0 0 0 0.0 0.0 0 -1 OK -1",
                  voltage == 0.0f ? 2u : 0u, static_cast<double>(voltage));
    for (LineReader &reader : readers) {
      EXPECT_EQ(reader.next(), expected);
    }
  }
  for (LineReader &reader : readers) {
    EXPECT_EQ(reader.next(300), std::nullopt);  // no cycle, no line
    EXPECT_FALSE(reader.ended());
  }
}

TEST_F(StatusServerTest, RefusesAtTheLimitAndFreesThePlaceAfterADisconnect) {
  settings.max_client = 1;
  start();
  const int first = open_client();
  LineReader first_reader(first);
  EXPECT_EQ(first_reader.next(), "TN0100");

  LineReader refused(open_client());
  EXPECT_EQ(refused.next(), "Max client reach.Try again later");
  EXPECT_EQ(refused.next(), std::nullopt);
  EXPECT_TRUE(refused.ended());
  EXPECT_TRUE(first_reader.next().has_value());  // the first goes on
  EXPECT_EQ(client.load(), 1);

  close(first);
  sockets.erase(sockets.begin());
  ASSERT_TRUE(wait_for_clients(0));
  LineReader next(open_client());
  EXPECT_EQ(next.next(), "TN0100");
}

TEST_F(StatusServerTest, LimitLoweredToZeroRefusesNewConnections) {
  start();
  LineReader served(open_client());
  EXPECT_EQ(served.next(), "TN0100");
  publish([] { settings.max_client = 0; });
  LineReader refused(open_client());
  EXPECT_EQ(refused.next(), "Max client reach.Try again later");
  EXPECT_TRUE(served.next().has_value());
}

TEST_F(StatusServerTest, ConnectionsArrivingTogetherNeverExceedTheLimit) {
  settings.max_client = 10;
  start();
  std::vector<int> fds;
  for (int n = 0; n < 30; ++n) {
    fds.push_back(open_client());
  }
  int served = 0, refused = 0;
  for (int fd : fds) {
    LineReader reader(fd);
    const std::optional<std::string> first = reader.next();
    if (first == "TN0100") {
      ++served;
    } else if (first == "Max client reach.Try again later") {
      ++refused;
    }
  }
  EXPECT_EQ(served, 10);
  EXPECT_EQ(refused, 20);
  EXPECT_EQ(client.load(), 10);
}

// The threads the server started, as the kernel lists them.
std::set<std::string> thread_ids() {
  std::set<std::string> ids;
  DIR *tasks = opendir("/proc/self/task");
  while (const dirent *entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') {
      ids.insert(entry->d_name);
    }
  }
  closedir(tasks);
  return ids;
}

unsigned long long blocked_signals(const std::string &tid) {
  std::ifstream status("/proc/self/task/" + tid + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigBlk:", 0) == 0) {
      return std::stoull(line.substr(7), nullptr, 16);
    }
  }
  return 0;
}

TEST_F(StatusServerTest, ServerThreadsBlockTheDaemonSignals) {
  const std::set<std::string> before = thread_ids();
  start();
  LineReader reader(open_client());
  ASSERT_EQ(reader.next(), "TN0100");
  const unsigned long long daemon_signals =
      (1ull << (SIGHUP - 1)) | (1ull << (SIGALRM - 1)) | (1ull << (SIGTERM - 1));
  int started = 0;
  for (const std::string &tid : thread_ids()) {
    if (before.count(tid) == 0) {
      ++started;
      EXPECT_EQ(blocked_signals(tid) & daemon_signals, daemon_signals) << "thread " << tid;
    }
  }
  EXPECT_GE(started, 2);  // the listener and one connection (and a sanitizer may add its own)
  EXPECT_EQ(blocked_signals(std::to_string(getpid())) & daemon_signals, 0u);
}

TEST_F(StatusServerTest, TakenPortIsReportedOnceAndTakenBackOnceFree) {
  timings.listener_retry = std::chrono::milliseconds(20);
  int port = 0;
  const int taken = test::listen_loopback(&port);
  ASSERT_GE(taken, 0);
  // The wildcard bind conflicts with the loopback listener on the same port.
  settings.port = port;
  settings.listen = {*parse_ip_address("0.0.0.0")};
  testing::internal::CaptureStderr();
  EXPECT_TRUE(start_status_server());
  const std::string failure = "Status server cannot bind to 0.0.0.0:" + std::to_string(port) +
                              " (Address already in use); trying again every 5 seconds";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Brenmoor Tornax X : " + failure + "\n");
  EXPECT_EQ(status_server_port(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // many attempts meanwhile
  close(taken);
  ASSERT_TRUE(test::wait_until([] { return status_server_port() != 0; }));
  EXPECT_EQ(status_server_port(), port);
  LineReader reader(open_client());
  EXPECT_EQ(reader.next(), "TN0100");
  const std::string log = log_after_cycle();
  EXPECT_EQ(test::occurrences(log, " : " + failure + " \n"), 1u) << log;
  EXPECT_EQ(test::occurrences(
                log, " : Status server listening on 0.0.0.0:" + std::to_string(port) + " \n"),
            1u)
      << log;
}

// The status server's listening socket in this process.
int listening_socket(int port) {
  for (int fd = 0; fd < 1024; ++fd) {
    int listening = 0;
    socklen_t length = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening != 0) {
      sockaddr_in address{};
      length = sizeof address;
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
      if (ntohs(address.sin_port) == port) {
        return fd;
      }
    }
  }
  return -1;
}

// Every client that lost a restarted daemon comes back at the same moment.
TEST_F(StatusServerTest, ABurstOfOneHundredIsServedFromTheSystemsLargestBacklog) {
  settings.max_client = 100;
  start();
  const int listener = listening_socket(status_server_port());
  ASSERT_GE(listener, 0);
  tcp_info info{};
  socklen_t length = sizeof info;
  ASSERT_EQ(getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &length), 0);
  // For a listening socket the kernel reports its backlog in this field.
  EXPECT_EQ(std::to_string(info.tcpi_sacked) + "\n",
            test::read_file("/proc/sys/net/core/somaxconn"));
  std::vector<int> fds;
  for (int n = 0; n < 100; ++n) {
    fds.push_back(open_client());
  }
  int served = 0;
  for (int fd : fds) {
    served += LineReader(fd).next(20000) == "TN0100" ? 1 : 0;
  }
  EXPECT_EQ(served, 100);
}

// The kernel reports the window of a peer whose receive buffer is fixed: it
// shrinks line by line while nothing is read. (One that lets the kernel grow
// its buffer takes everything for days, as if it read.)
TEST_F(StatusServerTest, PeerThatTakesNoDataLosesItsPlace) {
  timings.stall_limit = std::chrono::milliseconds(300);
  settings.max_client = 2;
  start();
  const int idle = open_client("127.0.0.2", 4096);
  const int reading = open_client("127.0.0.3");
  LineReader reader(reading);
  // The reader takes every line; the idle peer takes none and is closed.
  bool closed = false;
  for (int n = 0; n < 3000 && !closed; ++n) {
    ASSERT_TRUE(reader.next().has_value());
    closed = test::peer_closed(idle, 0);
  }
  EXPECT_TRUE(closed);
  ASSERT_TRUE(wait_for_clients(1));
  for (int n = 0; n < 100; ++n) {  // well over the limit of reading afterwards
    ASSERT_TRUE(reader.next().has_value());
  }
  EXPECT_FALSE(reader.ended());
  LineReader next(open_client("127.0.0.4"));  // the freed place serves another
  EXPECT_EQ(next.next(), "TN0100");
  EXPECT_NE(log_after_cycle().find(" : Status server closed the connection from 127.0.0.2: it "
                                   "took no data for 30 seconds \n"),
            std::string::npos);
}

TEST_F(StatusServerTest, AllowAndThePerHostLimitDecideAtEachConnection) {
  settings.allow = {*parse_ip_network("127.0.0.2"), *parse_ip_network("10.0.0.0/8")};
  settings.max_client_per_host = 1;
  start();
  LineReader first(open_client("127.0.0.2"));
  EXPECT_EQ(first.next(), "TN0100");
  LineReader second(open_client("127.0.0.2"));
  EXPECT_EQ(second.next(), "Max client reach.Try again later");
  for (const char *stranger : {"127.0.0.3", "127.0.0.3", "127.0.0.1"}) {
    LineReader closed(open_client(stranger));
    EXPECT_EQ(closed.next(), std::nullopt) << stranger;
    EXPECT_TRUE(closed.ended());
    EXPECT_EQ(closed.pending(), "");  // not a byte
  }
  const std::string log = log_after_cycle();
  const std::string refused = " : Status server refused a connection from ";
  EXPECT_EQ(test::occurrences(log, refused + "127.0.0.3 (not allowed by ALLOW) \n"), 1u) << log;
  EXPECT_EQ(test::occurrences(log, refused + "127.0.0.1 (not allowed by ALLOW) \n"), 1u) << log;
  EXPECT_EQ(test::occurrences(log, refused + "127.0.0.2 (MAX_CLIENT_PER_HOST 1 reached) \n"), 1u)
      << log;
  publish([] {
    settings.allow.clear();
    settings.max_client_per_host = 2;
  });
  LineReader now_allowed(open_client("127.0.0.3"));
  EXPECT_EQ(now_allowed.next(), "TN0100");
  LineReader now_second(open_client("127.0.0.2"));
  EXPECT_EQ(now_second.next(), "TN0100");
}

// With the key, every line after the answer verifies in its turn; without a
// hello the same daemon sends the plain stream, byte for byte.
TEST_F(StatusServerTest, KeyedDaemonTagsTheStreamOfAClientThatSaysHello) {
  timings.hello_wait = std::chrono::milliseconds(100);
  settings.status_key = test::key_of(test::key_hex);
  std::strcpy(ups_version, "#Kyrel   1000VA");
  start();
  const int fd = open_client();
  const AuthNonce nonce = new_auth_nonce();
  ASSERT_TRUE(test::send_all(fd, auth_hello(nonce)));
  LineReader reader(fd);
  const std::optional<AuthNonce> answer = parse_auth_hello(reader.next().value_or(""));
  ASSERT_TRUE(answer);
  AuthStream stream(test::key_of(test::key_hex), nonce, *answer);
  for (const char *expected :
       {"TN0100", "#Kyrel   1000VA", "NA", "0 0.0 0.0 0 0 0.0 0.0 0 -1 OK -1"}) {
    const std::string line = reader.next().value_or("");
    std::string_view content;
    ASSERT_EQ(stream.check(line, content), AuthCheck::ok) << line;
    EXPECT_EQ(content, expected);
  }
  LineReader plain(open_client());
  EXPECT_EQ(plain.next(), "TN0100");
  EXPECT_EQ(plain.next(), "#Kyrel   1000VA");
  EXPECT_EQ(plain.next(), "NA");
  EXPECT_EQ(plain.next(), "0 0.0 0.0 0 0 0.0 0.0 0 -1 OK -1");
}

TEST_F(StatusServerTest, OnlyTheLowSixteenBitsOfThePortCount) {
  int port = 0;
  const int probe = test::listen_loopback(&port);
  ASSERT_GE(probe, 0);
  close(probe);
  settings.port = 65536 + port;
  ASSERT_TRUE(start_status_server());
  EXPECT_EQ(status_server_port(), port);
}

// A peer with many addresses can't grow the log without end: beyond a bound
// a minute, refusals are only counted (and summed up once the minute is over).
TEST_F(StatusServerTest, RefusalsFromManyAddressesAreLoggedWithinABound) {
  settings.allow = {*parse_ip_network("127.0.0.1")};
  start();
  for (int n = 0; n < 600; ++n) {
    const std::string from =
        "127.0." + std::to_string(3 + n / 200) + "." + std::to_string(1 + n % 200);
    LineReader closed(open_client(from.c_str()));
    EXPECT_EQ(closed.next(), std::nullopt) << from;
    if (n % 60 == 59) {
      write_network_log();  // as after each cycle
    }
  }
  const std::string log = log_after_cycle();
  EXPECT_EQ(test::occurrences(log, "Status server refused a connection from "),
            static_cast<std::size_t>(refusal_lines_per_minute))
      << log;
}

}  // namespace
}  // namespace tornax
