// The network UPS protocol server over loopback with real sockets. Every test
// runs in its own process, so each starts its own listener on a port the
// system picks.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/core/cycle_facts.h"
#include "daemon/core/timings.h"
#include "daemon/core/util.h"
#include "daemon/net/access_policy.h"
#include "daemon/net/nut_protocol.h"
#include "daemon/net/nut_server.h"
#include "daemon/net/surfaces.h"
#include "daemon/net/tls_certificate.h"
#include "daemon/report/deferred_log.h"
#include "tests/kit/files.h"
#include "tests/kit/loopback.h"
#include "tests/kit/processes.h"
#include "tests/support/daemon_state.h"
#include "tests/support/test_certificates.h"
#include "tests/support/tls_client.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::connect_loopback;
using test::LineReader;

class NutServerTest : public test::DaemonStateTest {
 protected:
  void SetUp() override {
    DaemonStateTest::SetUp();
    std::snprintf(log_filename, sizeof log_filename, "%s", home.file("tornax.log").c_str());
    settings.nut_port = 0;
    settings.nut_users = {{"upsmon", "secret"}};
    settings.ups_location = "Server room";
    std::strcpy(ups_version, "UPS-1000 Kyrel");
    ups_linevoltage = 230.0f;
  }
  void TearDown() override {
    for (int fd : sockets) {
      close(fd);
    }
  }

  void start() {
    ASSERT_TRUE(start_nut_server());
    ASSERT_NE(nut_server_port(), 0);
  }
  // A connection from `from` with a reader on it.
  LineReader &open_client(const char *from = "127.0.0.1") {
    const int fd = connect_loopback(nut_server_port(), from);
    EXPECT_GE(fd, 0);
    sockets.push_back(fd);
    readers.emplace_back(fd);
    return readers.back();
  }
  std::optional<std::string> ask(LineReader &reader, const std::string &request) {
    const int fd = sockets[static_cast<std::size_t>(&reader - readers.data())];
    test::send_all(fd, request + "\n");
    return reader.next();
  }
  void log_in(LineReader &reader) {
    EXPECT_EQ(ask(reader, "USERNAME upsmon"), "OK");
    EXPECT_EQ(ask(reader, "PASSWORD secret"), "OK");
    EXPECT_EQ(ask(reader, "LOGIN tornax"), "OK");
  }
  std::string log() const { return test::read_file(home.file("tornax.log")); }
  // NUT_CERTFILE with a certificate made for the test, as the configuration
  // would read it.
  void offer_tls(bool required) {
    ASSERT_TRUE(certificates.ok());
    std::string error;
    settings.nut_certfile = certificates.server_file();
    settings.nut_certificate = load_tls_certificate(certificates.server_file().c_str(), error);
    ASSERT_TRUE(settings.nut_certificate) << error;
    settings.nut_require_tls = required;
  }
  int fd_of(LineReader &reader) const {
    return sockets[static_cast<std::size_t>(&reader - readers.data())];
  }
  // Whether the log holds `text`; the log is shown when it doesn't.
  testing::AssertionResult logged(const std::string &text) const {
    const std::string now = log();
    if (now.find(text) != std::string::npos) {
      return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "no \"" << text << "\" in the log:\n" << now;
  }
  // What the main thread does after each cycle.
  static void publish() { publish_cycle(std::chrono::seconds(0), std::time(nullptr)); }

  test::TempDir home;
  test::TestCertificates certificates;
  std::vector<int> sockets;
  std::vector<LineReader> readers = [] {
    std::vector<LineReader> v;
    v.reserve(32);
    return v;
  }();
};

// Nothing is known of the UPS before the first cycle; a cycle's change is in
// the answers as soon as that cycle has published.
TEST_F(NutServerTest, AnswersFollowEachPublishedCycle) {
  start();
  LineReader &reader = open_client();
  EXPECT_EQ(ask(reader, "GET VAR tornax ups.status"), "ERR DATA-STALE");
  EXPECT_EQ(ask(reader, "GET UPSDESC tornax"), "UPSDESC tornax \"Server room\"");
  publish();
  EXPECT_EQ(ask(reader, "GET VAR tornax ups.status"), "VAR tornax ups.status \"OL\"");
  EXPECT_EQ(ask(reader, "GET VAR tornax input.voltage"), "VAR tornax input.voltage \"230.0\"");
  status[POWERFAIL] = 1;
  ups_linevoltage = 0.0f;
  publish();
  EXPECT_EQ(ask(reader, "GET VAR tornax ups.status"), "VAR tornax ups.status \"OB\"");
  EXPECT_EQ(ask(reader, "GET VAR tornax input.voltage"), "VAR tornax input.voltage \"0.0\"");
  status[COMM_ERROR] = 1;
  publish();
  EXPECT_EQ(ask(reader, "GET VAR tornax ups.status"), "ERR DATA-STALE");
}

// Every line gets its answer in order, whatever the segments; an over-long
// one is an error and the connection goes on.
TEST_F(NutServerTest, LinesAnsweredInOrderAndAnOverLongOneRefused) {
  start();
  publish();
  LineReader &reader = open_client();
  const int fd = sockets.back();
  test::send_all(fd, "NETVER\r\nGET NUMLOGINS tornax\n" + std::string(2000, 'x'));
  test::send_all(fd, "\nVER\n");
  EXPECT_EQ(reader.next(), "1.3");
  EXPECT_EQ(reader.next(), "NUMLOGINS tornax 0");
  EXPECT_EQ(reader.next(), "ERR INVALID-ARGUMENT");
  EXPECT_EQ(reader.next(), "Brenmoor Tornax X 1.40");
  // The longest line taken, with its line end, and one byte more.
  const std::string longest = "NETVER" + std::string(nut_line_limit - 7, ' ');
  test::send_all(fd, longest + "\n" + longest + " \nNETVER\n");
  EXPECT_EQ(reader.next(), "1.3");
  EXPECT_EQ(reader.next(), "ERR INVALID-ARGUMENT");
  EXPECT_EQ(reader.next(), "1.3");
}

TEST_F(NutServerTest, LoginsAreCountedUntilLogoutOrDisconnect) {
  start();
  LineReader &first = open_client("127.0.0.2");
  LineReader &second = open_client("127.0.0.3");
  LineReader &watcher = open_client();
  log_in(first);
  log_in(second);
  timings.nut_second = std::chrono::milliseconds(10);
  EXPECT_EQ(ask(watcher, "USERNAME upsmon"), "OK");
  EXPECT_EQ(ask(watcher, "PASSWORD guess"), "OK");
  EXPECT_EQ(ask(watcher, "LOGIN tornax"), "ERR ACCESS-DENIED");
  EXPECT_EQ(ask(watcher, "GET NUMLOGINS tornax"), "NUMLOGINS tornax 2");
  EXPECT_EQ(ask(watcher, "LIST CLIENT tornax"), "BEGIN LIST CLIENT tornax");
  // In the order the connections' threads started, which is not theirs.
  std::vector<std::string> listed = {watcher.next().value_or(""), watcher.next().value_or("")};
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed,
            (std::vector<std::string>{"CLIENT tornax 127.0.0.2", "CLIENT tornax 127.0.0.3"}));
  EXPECT_EQ(watcher.next(), "END LIST CLIENT tornax");
  EXPECT_EQ(ask(first, "LOGOUT"), "OK Goodbye");
  EXPECT_TRUE(test::peer_closed(sockets[0], 5000));
  close(sockets[1]);
  EXPECT_TRUE(test::wait_until(
      [&] { return ask(watcher, "GET NUMLOGINS tornax") == "NUMLOGINS tornax 0"; }));
  write_deferred_log();  // as the main thread does after each cycle
  EXPECT_TRUE(logged("Network UPS server: upsmon from 127.0.0.2 logged in"));
  EXPECT_TRUE(logged("Network UPS server: upsmon from 127.0.0.2 logged out"));
  EXPECT_TRUE(logged("Network UPS server: upsmon from 127.0.0.3 went away while logged in"));
  EXPECT_TRUE(
      logged("Network UPS server: refused the login of upsmon from 127.0.0.1 (wrong "
             "name or password)"));
}

// The shutdown raises FSD and waits for the hosts logged in: one that logs
// out when it sees FSD ends the wait; one that stays holds it only for
// NUT_HOSTSYNC seconds.
TEST_F(NutServerTest, ShutdownWaitsForLoggedInHostsAtMostHostsync) {
  settings.nut_hostsync = 3;
  timings.nut_second = std::chrono::milliseconds(200);
  start();
  publish();
  LineReader &leaving = open_client("127.0.0.2");
  LineReader &staying = open_client("127.0.0.3");
  log_in(leaving);
  log_in(staying);
  std::thread secondary([&] {
    test::wait_until([&] {
      return ask(leaving, "GET VAR tornax ups.status") == "VAR tornax ups.status \"FSD OL\"";
    });
    ask(leaving, "LOGOUT");
  });
  const auto began = std::chrono::steady_clock::now();
  hold_for_waiting_peers();
  const auto waited = std::chrono::steady_clock::now() - began;
  secondary.join();
  EXPECT_GE(waited, std::chrono::milliseconds(600));
  EXPECT_TRUE(
      logged("Shutdown: FSD set for 2 hosts logged in to the network UPS server; "
             "waiting up to 3 seconds for them to log out"));
  EXPECT_TRUE(
      logged("Shutdown: 1 of 2 hosts told logged out in time; going on without the "
             "1 host still logged in"));
  EXPECT_EQ(ask(staying, "GET VAR tornax ups.status"), "VAR tornax ups.status \"FSD OL\"");
}

TEST_F(NutServerTest, AdmissionRules) {
  settings.nut_max_client = 2;
  settings.max_client_per_host = 1;
  settings.allow = {*parse_ip_network("127.0.0.0/30")};
  start();
  publish();
  LineReader &served = open_client("127.0.0.1");
  LineReader &same_host = open_client("127.0.0.1");
  LineReader &not_allowed = open_client("127.0.0.9");
  LineReader &second = open_client("127.0.0.2");
  LineReader &beyond = open_client("127.0.0.3");
  EXPECT_EQ(ask(served, "NETVER"), "1.3");
  EXPECT_EQ(ask(second, "NETVER"), "1.3");
  for (LineReader *refused : {&same_host, &not_allowed, &beyond}) {
    EXPECT_EQ(ask(*refused, "NETVER"), std::nullopt);
    EXPECT_TRUE(refused->ended());
  }
  write_deferred_log();
  EXPECT_TRUE(
      logged("Network UPS server refused a connection from 127.0.0.1 "
             "(MAX_CLIENT_PER_HOST 1 reached)"));
  EXPECT_TRUE(
      logged("Network UPS server refused a connection from 127.0.0.9 (not allowed by "
             "ALLOW)"));
  EXPECT_TRUE(
      logged("Network UPS server refused a connection from 127.0.0.3 (NUT_MAX_CLIENT "
             "2 reached)"));
}

// Failed logins cost their host, not their connection: a host that guesses
// on many connections at once is not let in with the right password among
// its wrong ones.
TEST_F(NutServerTest, GuessesFromOneHostOnManyConnectionsAreThrottledTogether) {
  settings.nut_max_client = 17;
  start();
  std::vector<LineReader *> guessers;
  for (int n = 0; n < 16; ++n) {
    LineReader &reader = open_client("127.0.0.5");
    EXPECT_EQ(ask(reader, "USERNAME upsmon"), "OK");
    EXPECT_EQ(ask(reader, n < 15 ? "PASSWORD guess" + std::to_string(n) : "PASSWORD secret"), "OK");
    guessers.push_back(&reader);
  }
  for (int n = 0; n < 15; ++n) {
    test::send_all(sockets[static_cast<std::size_t>(n)], "LOGIN tornax\n");
  }
  ASSERT_TRUE(test::wait_until([&] {
    write_deferred_log();
    return log().find("refused the login of upsmon from 127.0.0.5") != std::string::npos;
  }));
  EXPECT_EQ(ask(*guessers[15], "LOGIN tornax"), "ERR ACCESS-DENIED");
  for (int n = 0; n < 15; ++n) {
    EXPECT_EQ(guessers[static_cast<std::size_t>(n)]->next(), "ERR ACCESS-DENIED");
  }
  EXPECT_EQ(ask(*guessers[15], "GET NUMLOGINS tornax"), "NUMLOGINS tornax 0");
  LineReader &elsewhere = open_client("127.0.0.6");  // another host is not held up
  log_in(elsewhere);
}

// With TLS required, nothing of an account is taken in the clear; after
// STARTTLS the session is TLS 1.2 or later, and what the client sent in the
// clear behind the request is dropped, not answered inside the session.
TEST_F(NutServerTest, StartTlsAndLoginsOnlyInsideTheSession) {
  ASSERT_NO_FATAL_FAILURE(offer_tls(true));
  start();
  publish();
  LineReader &reader = open_client();
  EXPECT_EQ(ask(reader, "USERNAME upsmon"), "ERR ACCESS-DENIED");
  EXPECT_EQ(ask(reader, "LOGIN tornax"), "ERR ACCESS-DENIED");
  EXPECT_EQ(ask(reader, "STARTTLS\nUSERNAME injected"), "OK STARTTLS");
  test::TlsClient tls(fd_of(reader), certificates.ca_file());
  ASSERT_TRUE(tls.handshake());
  EXPECT_EQ(tls.version(), "TLS1.3");
  for (const char *request : {"USERNAME upsmon", "PASSWORD secret", "LOGIN tornax"}) {
    ASSERT_TRUE(tls.send(std::string(request) + "\n"));
    EXPECT_EQ(tls.next(), "OK") << request;
  }
  ASSERT_TRUE(tls.send("STARTTLS\nGET VAR tornax ups.status\nGET NUMLOGINS tornax\n"));
  EXPECT_EQ(tls.next(), "ERR ALREADY-SSL-MODE");
  EXPECT_EQ(tls.next(), "VAR tornax ups.status \"OL\"");
  EXPECT_EQ(tls.next(), "NUMLOGINS tornax 1");
  write_deferred_log();
  EXPECT_NE(log().find("Network UPS server: upsmon from 127.0.0.1 logged in over TLS"),
            std::string::npos)
      << log();
}

// A handshake that fails, offers only versions older than 1.2, or does not
// come in time ends the connection and frees its place.
TEST_F(NutServerTest, FailedOrSlowHandshakesLoseTheirPlace) {
  ASSERT_NO_FATAL_FAILURE(offer_tls(false));
  settings.nut_max_client = 1;
  timings.nut_handshake_limit = std::chrono::milliseconds(300);
  start();
  const test::TestCertificates other(365, "other");
  const struct {
    const char *priorities;
    std::string ca_file;
  } failing[] = {
      {"NORMAL:-VERS-ALL:+VERS-TLS1.1:+VERS-TLS1.0", certificates.ca_file()},
      {"NORMAL", other.ca_file()},  // the client can't trust this server
  };
  for (const auto &c : failing) {
    LineReader &reader = open_client();
    ASSERT_EQ(ask(reader, "STARTTLS"), "OK STARTTLS");
    test::TlsClient tls(fd_of(reader), c.ca_file, c.priorities);
    EXPECT_FALSE(tls.handshake()) << c.priorities;
    close(fd_of(reader));
    sockets[static_cast<std::size_t>(&reader - readers.data())] = -1;
    LineReader &next = open_client();
    EXPECT_TRUE(test::wait_until([&] { return ask(next, "NETVER") == "1.3"; }));
    close(fd_of(next));
    sockets[static_cast<std::size_t>(&next - readers.data())] = -1;
  }
  LineReader &silent = open_client();
  ASSERT_EQ(ask(silent, "STARTTLS"), "OK STARTTLS");
  EXPECT_TRUE(test::peer_closed(fd_of(silent), 10000));
  LineReader &after = open_client();
  EXPECT_EQ(ask(after, "NETVER"), "1.3");
}

TEST_F(NutServerTest, CertificateFactsAndTheirExpiryWarnings) {
  const test::TestCertificates expiring(10);
  ASSERT_TRUE(expiring.ok());
  std::string error;
  const std::shared_ptr<const TlsCertificate> certificate =
      load_tls_certificate(expiring.server_file().c_str(), error);
  ASSERT_TRUE(certificate) << error;
  EXPECT_EQ(certificate->subject(), "CN=127.0.0.1,O=tornax test");
  const std::time_t now = std::time(nullptr);
  EXPECT_NEAR(static_cast<double>(certificate->expires() - now), 10 * 86400.0, 600.0);
  const std::time_t day = 86400;
  const std::string date = certificate_date(certificate->expires());
  EXPECT_EQ(certificate_expiry_warning(*certificate, certificate->expires() - 31 * day),
            std::nullopt);
  EXPECT_EQ(certificate_expiry_warning(*certificate, certificate->expires() - 30 * day),
            "expires on " + date + " (in 30 days)");
  EXPECT_EQ(certificate_expiry_warning(*certificate, certificate->expires() - day - 1),
            "expires on " + date + " (in 1 day)");
  EXPECT_EQ(certificate_expiry_warning(*certificate, certificate->expires()), "expired on " + date);

  // Logged at most once a day.
  std::snprintf(log_filename, sizeof log_filename, "%s", home.file("tornax.log").c_str());
  settings.nut_certfile = expiring.server_file();
  settings.nut_certificate = certificate;
  for (const std::time_t at : {now, now + 3600, now + day - 1, now + day}) {
    log_certificate_expiry(at);
  }
  const std::string text = log();
  std::size_t count = 0;
  for (std::size_t at = text.find("the certificate in"); at != std::string::npos;
       at = text.find("the certificate in", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 2u) << text;
  EXPECT_NE(text.find("Network UPS server: the certificate in " + expiring.server_file() +
                      " (CN=127.0.0.1,O=tornax test) expires on " + date + " (in 9 days)"),
            std::string::npos)
      << text;

  // A key that is not the certificate's is refused.
  const std::string mixed = home.write("mixed.pem",
                                       test::read_file(expiring.dir.file("server.pem")) +
                                           test::read_file(certificates.dir.file("server.key")),
                                       0600);
  EXPECT_EQ(load_tls_certificate(mixed.c_str(), error), nullptr);
  EXPECT_EQ(error.rfind("holds no private key that matches its first certificate", 0), 0u) << error;
}

}  // namespace
}  // namespace tornax
