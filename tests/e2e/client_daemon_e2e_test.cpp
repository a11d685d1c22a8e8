// The real tornaxalert against the real tornax, each in a sandbox of its own
// (the daemon's shutdown signals every process of its sandbox), over
// loopback TCP, with the simulated UPS outside both: what happens at the UPS
// reaches the client's broadcast and shutdown commands.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/kit/loopback.h"
#include "tests/support/sandboxed_daemon.h"
#include "tests/support/scripted_server.h"
#include "tests/support/status_key.h"

namespace tornax::test {
namespace {

const auto shutdown_limit = std::chrono::seconds(90);

// Whether `text` is `head` followed by any number of `tail`s.
bool head_then_repeats(const std::string &text, const std::string &head, const std::string &tail) {
  if (text.compare(0, head.size(), head) != 0) {
    return false;
  }
  for (std::size_t at = head.size(); at < text.size(); at += tail.size()) {
    if (text.compare(at, tail.size(), tail) != 0) {
      return false;
    }
  }
  return true;
}

// Another supply's daemon beside the fixture's: its own simulated UPS, home
// and sandbox, a status server on a port of its own.
struct OtherDaemon {
  OtherDaemon() { sim.start(); }
  ~OtherDaemon() {
    run.reset();
    sim.stop();
  }
  OtherDaemon(const OtherDaemon &) = delete;
  OtherDaemon &operator=(const OtherDaemon &) = delete;

  // Starts it and waits until its server greets.
  void start() {
    port = free_loopback_port();
    ASSERT_GT(port, 0);
    home.configure(sim.slave_path(), "MAX_CLIENT 2\nPORT " + std::to_string(port) + "\n");
    run = home.start();
    ASSERT_TRUE(wait_for_log(home, "*** Daemon started ***")) << run->stderr_text();
    int probe = -1;
    ASSERT_TRUE(wait_until([&] { return (probe = connect_loopback(port)) >= 0; }));
    LineReader reader(probe);
    EXPECT_EQ(reader.next(20000), "TN0100");
    close(probe);
  }
  void stop() {
    const pid_t daemon = run->find_process("tornax");
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_EQ(run->wait(), 0) << run->stderr_text();
  }
  std::string supply() const { return "127.0.0.1:" + std::to_string(port); }

  SimulatedUps sim{test_ups_options()};
  DaemonHome home;
  std::unique_ptr<SandboxRun> run;
  int port = 0;
};

class ClientDaemonE2eTest : public SandboxedDaemonTest {
 protected:
  void TearDown() override {
    if (probe >= 0) {
      close(probe);
    }
    SandboxedDaemonTest::TearDown();
  }

  // Starts the daemon with a status server on `port` and waits until the
  // server greets. The probe connection stays open and takes one of the two
  // places; the client takes the other.
  void start_served(const std::string &extra = "") {
    ASSERT_NO_FATAL_FAILURE(
        start_configured("MAX_CLIENT 2\nPORT " + std::to_string(port) + "\n" + extra));
    ASSERT_TRUE(wait_until([&] { return (probe = test::connect_loopback(port)) >= 0; }))
        << run->stderr_text();
    probe_reader.emplace(probe);
    ASSERT_EQ(probe_reader->next(20000), "TN0100");
  }
  // Starts the client in its own sandbox with recording broadcast and
  // shutdown commands, and waits until it has connected (to `port` of `host`
  // unless another is given).
  void start_client(const std::vector<std::string> &options = {}, int to = 0,
                    const std::string &host = "127.0.0.1") {
    to = to == 0 ? port : to;
    std::vector<std::string> argv = {test::built_program("tornaxalert"), "-w",
                                     "cat >> " + broadcasts(), "-x", "echo down >> " + shutdowns()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(host);
    argv.push_back(std::to_string(to));
    client =
        std::make_unique<test::SandboxRun>(argv, std::vector<std::string>{}, client_records.path());
    ASSERT_TRUE(wait_until([&] {
      return client->stdout_text().find("Connected to " + host + ":" + std::to_string(to)) !=
             std::string::npos;
    })) << client->stderr_text();
  }
  std::string broadcasts() const { return client_records.file("broadcasts"); }
  std::string shutdowns() const { return client_records.file("shutdowns"); }
  bool wait_for_broadcast(const std::string &alert, std::size_t times = 1,
                          std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return wait_until(
        [&] { return occurrences(read_file(broadcasts()), client_title + alert + "\n") >= times; },
        limit);
  }
  // The client ends by itself once the daemon is gone: its one connection lost.
  void expect_client_quits() {
    EXPECT_EQ(client->wait(), 0) << client->stderr_text();
    EXPECT_EQ(client->stderr_text(), client_title + "Connection lost\n" + client_title +
                                         "Reconnect time expired. Quit.\n");
    EXPECT_EQ(client->actions(), "");  // the host's shutdown program was never called
  }

  test::TempDir client_records;
  int probe = -1;
  std::optional<test::LineReader> probe_reader;
  std::unique_ptr<test::SandboxRun> client;
};

TEST_F(ClientDaemonE2eTest, PowerFailReturnAndLowBatteryReachTheClient) {
  ASSERT_NO_FATAL_FAILURE(start_served());
  ASSERT_NO_FATAL_FAILURE(start_client());

  sim.set_mains(false);
  ASSERT_TRUE(wait_for_broadcast("Power fail detect")) << read_file(broadcasts());
  sim.set_mains(true);
  ASSERT_TRUE(wait_for_broadcast("Power is return")) << read_file(broadcasts());
  EXPECT_FALSE(test::file_exists(shutdowns()));

  sim.set_mains(false);
  ASSERT_TRUE(wait_for_broadcast("Power fail detect", 2)) << read_file(broadcasts());
  sim.set_low_battery(true);
  EXPECT_TRUE(wait_until([&] { return test::file_exists(shutdowns()); }, shutdown_limit))
      << read_file(broadcasts());
  // The daemon goes down too; the client's command ran first or meanwhile.
  EXPECT_EQ(run->wait(shutdown_limit), halted) << run->stderr_text();
  expect_client_quits();

  // The client warns and shuts down on every line that still reports the low
  // battery, until the daemon is gone.
  const std::string executed = client_title + "Low battery detect,shutdown executed\n";
  const std::string said = read_file(broadcasts());
  EXPECT_TRUE(head_then_repeats(said,
                                client_title + "Power fail detect\n" + client_title +
                                    "Power is return\n" + client_title + "Power fail detect\n" +
                                    client_title + "Low battery detect\n" + executed,
                                executed))
      << said;
  const std::string done = read_file(shutdowns());
  EXPECT_TRUE(head_then_repeats(done, "down\n", "down\n")) << done;
  EXPECT_EQ(occurrences(done, "down\n"), occurrences(said, executed));
}

// The daemon's default listeners serve IPv6 too: a client of ::1 hears it.
TEST_F(ClientDaemonE2eTest, OverIpv6ThePowerFailReachesTheClient) {
  if (!test::have_ipv6_loopback()) {
    GTEST_SKIP() << test::no_ipv6_loopback;
  }
  ASSERT_NO_FATAL_FAILURE(start_served());
  ASSERT_NO_FATAL_FAILURE(start_client({}, 0, "::1"));
  sim.set_mains(false);
  EXPECT_TRUE(wait_for_broadcast("Power fail detect")) << read_file(broadcasts());
  stop_daemon();
  expect_client_quits();
}

// The scheduled shutdown itself comes only after a 600-second countdown; its
// start is what reaches a client, which shuts down ahead of the daemon.
TEST_F(ClientDaemonE2eTest, ScheduledCountdownMakesTheClientShutDownAhead) {
  // A daily window whose down-time lies in the minute ten minutes ahead, when
  // enough of it is left for the daemon to start and see it; else in the
  // next minute, which its cycles reach within a quarter of a minute. The UPS
  // is to sleep for an hour.
  std::time_t ahead = std::time(nullptr) + 600;
  struct tm down {};
  localtime_r(&ahead, &down);
  if (down.tm_sec > 45) {
    ahead += 60;
    localtime_r(&ahead, &down);
  }
  const std::string window = std::to_string(down.tm_hour) + ":" + std::to_string(down.tm_min) +
                             " to " + std::to_string((down.tm_hour + 1) % 24) + ":" +
                             std::to_string(down.tm_min);
  ASSERT_NO_FATAL_FAILURE(start_served("SHUTDOWN DAILY " + window + "\n"));
  ASSERT_NO_FATAL_FAILURE(start_client({"-s", "10"}));

  ASSERT_TRUE(
      wait_for_broadcast("Power fail timeout,shutdown executed", 1, std::chrono::seconds(60)))
      << read_file(broadcasts()) << run->stdout_text();
  EXPECT_TRUE(wait_until([&] { return test::file_exists(shutdowns()); }));
  // What the client reacted to: the countdown bit and nine whole minutes left.
  std::optional<std::string> line;
  ASSERT_TRUE(wait_until([&] {
    line = probe_reader->next();
    return line && line->rfind("20 ", 0) == 0;
  })) << line.value_or("(no line)");
  EXPECT_EQ(line->substr(line->rfind(' ')), " 9");

  stop_daemon();
  expect_client_quits();

  EXPECT_EQ(run->stdout_text(), daemon_banner +
                                    "sleeptime day=0 hour=1 min=0 total=60\n"
                                    "ups_sleep_time =60\n");
  const std::string said = read_file(broadcasts());
  EXPECT_EQ(said.rfind(client_title + "Schedule shutdown in\n" + client_title +
                           "Power fail timeout,shutdown executed\n",
                       0),
            0u)
      << said;
  EXPECT_FALSE(log_has(home, "Schedule shutdown"));  // the countdown was still running
  EXPECT_TRUE(test::control_commands(sim).empty());
}

// A full server sends the client away only for a while: the place that a
// peer held without reading is freed after about 30 seconds, and the client
// is served at its next attempt a minute later.
TEST_F(ClientDaemonE2eTest, IdlePeerLosesItsPlaceAndTheRefusedClientComesBack) {
  ASSERT_NO_FATAL_FAILURE(start_served());  // the probe takes one place
  // The other goes to a peer that never reads; its buffer is fixed, so the
  // window it advertises shows that it takes nothing.
  const int idle = test::connect_loopback(port, "127.0.0.2", "127.0.0.1", 4096);
  ASSERT_GE(idle, 0);
  ASSERT_NO_FATAL_FAILURE(start_client({"-r", "1"}));
  const std::string refused = client_title + "Server is full, connection refused\n" + client_title +
                              "Connection lost\n" + client_title + "Wait 60 seconds to reconnect\n";
  EXPECT_TRUE(wait_until([&] { return client->stderr_text() == refused; }))
      << client->stderr_text();
  EXPECT_TRUE(test::peer_closed(idle, 120000));
  close(idle);
  EXPECT_TRUE(wait_for_log(home,
                           "Status server closed the connection from 127.0.0.2: it took no "
                           "data for 30 seconds"));
  EXPECT_TRUE(wait_for_log(
      home, "Status server refused a connection from 127.0.0.1 (MAX_CLIENT 2 reached)"));
  EXPECT_TRUE(wait_until([&] { return occurrences(client->stdout_text(), "Connected to") == 2; },
                         std::chrono::seconds(120)));
  sim.set_mains(false);
  EXPECT_TRUE(wait_for_broadcast("Power fail detect")) << client->stderr_text();
  EXPECT_EQ(client->stderr_text(), refused);
}

// With the key the client acts on the real daemon's lines, and on nothing
// that a program without the key sends it: a fake server on another port
// reports a low battery and the client shuts nothing down.
TEST_F(ClientDaemonE2eTest, WithTheKeyOnlyTheRealDaemonIsHeard) {
  const std::string key = test::write_key_file(home.file("status.key"), test::key_hex + "\n");
  ASSERT_NO_FATAL_FAILURE(start_served("STATUS_KEY " + key + "\n"));
  ASSERT_NO_FATAL_FAILURE(start_client({"-k", key, "-r", "1"}));
  sim.set_mains(false);
  EXPECT_TRUE(wait_for_broadcast("Power fail detect")) << client->stderr_text();
  EXPECT_EQ(client->stderr_text(), "");

  test::ScriptedServer fake({{"TN0100\nfake\nNA\n8 230.0 230.0 5 20 50.0 1.2 0 -1 OK -1\n", true}});
  client->kill_all();
  ASSERT_NO_FATAL_FAILURE(start_client({"-k", key}, fake.port()));
  EXPECT_TRUE(wait_for_broadcast("Status line failed verification, connection dropped"));
  EXPECT_TRUE(wait_until([&] {
    return client->stderr_text().find("(the server does not authenticate its lines)") !=
           std::string::npos;
  })) << client->stderr_text();
  EXPECT_FALSE(test::file_exists(shutdowns()));
  EXPECT_EQ(client->actions(), "");
}

// Two supplies, one needed: the first fails and the host stays; the second
// fails too and the host goes.
TEST_F(ClientDaemonE2eTest, TwoSuppliesOneFailsTheHostStaysBothFailItGoes) {
  OtherDaemon b;
  ASSERT_NO_FATAL_FAILURE(b.start());
  ASSERT_NO_FATAL_FAILURE(start_served());
  ASSERT_NO_FATAL_FAILURE(start_client({"-S", b.supply()}));
  const std::string a = "127.0.0.1:" + std::to_string(port);
  ASSERT_TRUE(wait_until([&] { return occurrences(client->stdout_text(), "Connected to") == 2; }));

  sim.set_mains(false);
  ASSERT_TRUE(wait_for_broadcast(a + " : Power fail detect")) << read_file(broadcasts());
  sim.set_low_battery(true);
  ASSERT_TRUE(wait_for_broadcast(a + " : Supply lost (low battery)")) << read_file(broadcasts());
  EXPECT_EQ(run->wait(shutdown_limit), halted) << run->stderr_text();  // its own host goes
  EXPECT_FALSE(test::file_exists(shutdowns())) << read_file(broadcasts());

  b.sim.set_mains(false);
  ASSERT_TRUE(wait_for_broadcast(b.supply() + " : Power fail detect")) << read_file(broadcasts());
  EXPECT_FALSE(test::file_exists(shutdowns()));
  b.sim.set_low_battery(true);
  EXPECT_TRUE(wait_for_broadcast("Too few healthy supplies (0 of 2, 1 needed),shutdown executed"))
      << read_file(broadcasts());
  EXPECT_TRUE(wait_until([&] { return test::file_exists(shutdowns()); }));
  EXPECT_EQ(b.run->wait(shutdown_limit), halted);
  EXPECT_EQ(client->wait(), 0) << client->stderr_text();
  EXPECT_EQ(client->actions(), "");
}

// Three supplies, all three needed: one falls silent on mains, a warning;
// one falls silent on battery, lost, and the host goes.
TEST_F(ClientDaemonE2eTest, ThreeSuppliesSilentOnMainsWarnsSilentOnBatteryIsLost) {
  OtherDaemon b, c;
  ASSERT_NO_FATAL_FAILURE(b.start());
  ASSERT_NO_FATAL_FAILURE(c.start());
  ASSERT_NO_FATAL_FAILURE(start_served());
  ASSERT_NO_FATAL_FAILURE(start_client({"-m", "3", "-S", b.supply(), "-S", c.supply()}));
  ASSERT_TRUE(wait_until([&] { return occurrences(client->stdout_text(), "Connected to") == 3; }));

  ASSERT_NO_FATAL_FAILURE(b.stop());
  ASSERT_TRUE(wait_for_broadcast(b.supply() + " : Supply silent while on mains"))
      << read_file(broadcasts());
  c.sim.set_mains(false);
  ASSERT_TRUE(wait_for_broadcast(c.supply() + " : Power fail detect")) << read_file(broadcasts());
  EXPECT_FALSE(test::file_exists(shutdowns())) << read_file(broadcasts());

  ASSERT_NO_FATAL_FAILURE(c.stop());
  EXPECT_TRUE(
      wait_for_broadcast(c.supply() + " : Supply lost (its lines stopped while on battery)"))
      << read_file(broadcasts());
  EXPECT_TRUE(wait_for_broadcast("Too few healthy supplies (2 of 3, 3 needed),shutdown executed"));
  EXPECT_TRUE(wait_until([&] { return test::file_exists(shutdowns()); }));
  EXPECT_NE(client->stderr_text().find(client_title + b.supply() + " : Connection lost\n"),
            std::string::npos)
      << client->stderr_text();
  stop_daemon();
  EXPECT_EQ(client->wait(), 0) << client->stderr_text();
  EXPECT_EQ(client->actions(), "");
}

}  // namespace
}  // namespace tornax::test
