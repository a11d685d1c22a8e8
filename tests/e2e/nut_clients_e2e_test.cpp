// The real daemon's network UPS protocol server, judged by the real clients
// of that protocol that Debian ships: upsc and upsmon (nut-client) and the
// Python module (python3-nut), and after STARTTLS by upsmon's TLS (an NSS
// build, against a certificate database made with certutil) and gnutls-cli.
// upsmon runs in a sandbox of its own, with recording stubs as its shutdown
// and notify commands, so its shutdown can only be recorded.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/kit/loopback.h"
#include "tests/support/sandboxed_daemon.h"
#include "tests/support/script_run.h"
#include "tests/support/test_certificates.h"

namespace tornax::test {
namespace {

// Standard output of a shell command that only reads (a client asking the
// daemon).
std::string output_of(const std::string &command) {
  std::string text;
  if (std::FILE *pipe = popen(command.c_str(), "r")) {
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
      text.append(chunk, n);
    }
    pclose(pipe);
  }
  return text;
}

bool has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class NutClientsE2eTest : public SandboxedDaemonTest {
 protected:
  void TearDown() override {
    if (run && run->running()) {
      run->kill_all();
    }
    if (upsmon_run && upsmon_run->running()) {
      upsmon_run->kill_all();
    }
    SandboxedDaemonTest::TearDown();
  }

  // The daemon with the protocol server on `port` and one account; the file
  // holds a password, so only root may read it.
  void start_with_account(const std::string &extra = "") {
    home.dir.write("tornax.conf",
                   home.configuration(sim.slave_path(), "NUT_PORT " + std::to_string(port) +
                                                            "\nNUT_USER upsmon s3cret\n" + extra),
                   0600);
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_TRUE(wait_until([&] { return has(upsc("ups.status"), "OL"); }))
        << upsc("") << run->stderr_text();
  }
  std::string upsc(const std::string &variable) {
    return output_of("upsc tornax@127.0.0.1:" + std::to_string(port) + " " + variable +
                     " 2>/dev/null");
  }

  // The daemon as start_with_account() starts it, with the test's
  // certificate and TLS required before a login.
  void start_with_tls(const std::string &extra = "") {
    ASSERT_TRUE(certificates.ok());
    ASSERT_NO_FATAL_FAILURE(start_with_account("NUT_CERTFILE " + certificates.server_file() +
                                               "\nNUT_REQUIRE_TLS yes\n" + extra));
  }
  // The upsmon.conf lines that make it use TLS and verify the server's
  // certificate against a database that trusts the CA of `trusted`.
  std::string upsmon_tls(const TestCertificates &trusted) {
    const std::string database = upsmon_dir.file("nss");
    mkdir(database.c_str(), 0700);
    EXPECT_TRUE(trusted.make_nss_database(database));
    return "CERTPATH " + database + "\nCERTVERIFY 1\nFORCESSL 1\n";
  }

  // upsmon as a secondary of this UPS, in its own sandbox and configuration
  // directory, with `extra` lines of configuration; its shutdown and notify
  // commands only record.
  void start_upsmon(const std::string &extra = "") {
    const std::string record = upsmon_dir.file("record");
    const std::string stub = "#!/bin/sh\necho \"$0 $NOTIFYTYPE $*\" >> " + record + "\n";
    const std::string shutdown = upsmon_dir.write("shutdown-stub", stub, 0755);
    const std::string notify = upsmon_dir.write("notify-stub", stub, 0755);
    upsmon_dir.write("upsmon.conf",
                     "MONITOR tornax@127.0.0.1:" + std::to_string(port) +
                         " 1 upsmon s3cret secondary\n"
                         "MINSUPPLIES 1\nSHUTDOWNCMD \"" +
                         shutdown + "\"\nNOTIFYCMD \"" + notify +
                         "\"\n"
                         "NOTIFYFLAG ONBATT EXEC\nNOTIFYFLAG ONLINE EXEC\nNOTIFYFLAG FSD EXEC\n"
                         "NOTIFYFLAG SHUTDOWN EXEC\nNOTIFYFLAG COMMBAD EXEC\n"
                         "POLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 15\nFINALDELAY 0\n"
                         "POWERDOWNFLAG " +
                         upsmon_dir.file("killpower") + "\n" + extra,
                     0600);
    // Its pid file goes to /run/nut, which the sandbox does not separate from
    // the host: a tmpfs of the sandbox's own takes it.
    upsmon_run = std::make_unique<test::SandboxRun>(
        std::vector<std::string>{"sh", "-c",
                                 "mkdir -p /run/nut && mount -t tmpfs tmpfs /run/nut && exec "
                                 "/lib/nut/upsmon -D -p"},
        std::vector<std::string>{"NUT_CONFPATH=" + upsmon_dir.path(),
                                 "NUT_STATEPATH=" + upsmon_dir.path()},
        upsmon_records.path());
  }
  std::string upsmon_record() const { return read_file(upsmon_dir.file("record")); }
  // upsmon, started with `extra`, logs in (the daemon logs `login`), hears
  // of the power failure, and shuts down on the FSD of the daemon's own
  // shutdown, which waits for it to go before the halt.
  void follow_power_failure_to_fsd(const std::string &extra, const std::string &login) {
    start_upsmon(extra);
    ASSERT_TRUE(wait_for_log(home, login))
        << home.log() << upsmon_run->stderr_text() << upsmon_run->stdout_text();
    sim.set_mains(false);
    ASSERT_TRUE(wait_until([&] { return has(upsmon_record(), "notify-stub ONBATT"); }))
        << upsmon_record() << upsmon_run->stdout_text();
    EXPECT_EQ(run->wait(std::chrono::seconds(150)), halted) << run->stderr_text();
    const std::string record = upsmon_record();
    EXPECT_TRUE(has(record, "notify-stub FSD")) << record;
    EXPECT_TRUE(has(record, "shutdown-stub")) << record;
    EXPECT_TRUE(has(home.log(), "Shutdown: 1 of 1 host told logged out in time")) << home.log();
    EXPECT_TRUE(upsmon_run->wait(std::chrono::seconds(30)).has_value());
  }

  TestCertificates certificates;
  test::TempDir upsmon_dir;
  test::TempDir upsmon_records;
  std::unique_ptr<test::SandboxRun> upsmon_run;
};

TEST_F(NutClientsE2eTest, UpscListsTheVariablesAndFollowsAPowerFailure) {
  ASSERT_NO_FATAL_FAILURE(
      start_with_account("UPS_LOCATION \"Rack 4\"\nSHUTDOWN_CHARGE 20\nSHUTDOWN_RUNTIME 5\n"));
  EXPECT_EQ(output_of("upsc -l 127.0.0.1:" + std::to_string(port) + " 2>/dev/null"), "tornax\n");
  const std::string all = upsc("");
  for (const char *line :
       {"battery.charge: ", "battery.runtime: ", "device.type: ups\n", "driver.name: tornax\n",
        "driver.version: 1.40\n",
        "input.frequency: ", "input.voltage: ", "input.voltage.nominal: ", "output.current: ",
        "output.voltage: ", "ups.load: ", "ups.model: ", "device.model: ", "ups.status: OL\n",
        "ups.test.result: ", "battery.charge.low: 20\n", "battery.runtime.low: 300\n"}) {
    EXPECT_TRUE(has(all, line)) << line << " in\n" << all;
  }
  sim.set_mains(false);
  EXPECT_TRUE(wait_until([&] { return upsc("ups.status") == "OB\n"; })) << upsc("ups.status");
  EXPECT_EQ(upsc("input.voltage"), "0.0\n");
  EXPECT_EQ(upsc("ups.test.result"), "NO\n");  // the test's text, as on mains
  sim.set_mains(true);
  EXPECT_TRUE(wait_until([&] { return upsc("ups.status") == "OL\n"; })) << upsc("ups.status");
}

TEST_F(NutClientsE2eTest, PythonClientListsTheVariablesOnBattery) {
  ASSERT_NO_FATAL_FAILURE(start_with_account("SHUTDOWN_CHARGE 20\nSHUTDOWN_RUNTIME 5\n"));
  sim.set_mains(false);
  ASSERT_TRUE(wait_until([&] { return upsc("ups.status") == "OB\n"; })) << upsc("ups.status");
  const std::string script =
      "import PyNUT\n"
      "c = PyNUT.PyNUTClient(host='127.0.0.1', port=" +
      std::to_string(port) +
      ", login='upsmon', password='s3cret')\n"
      "print(sorted(c.GetUPSList().keys()))\n"
      "v = c.GetUPSVars('tornax')\n"
      "print(v[b'ups.status'], v[b'device.type'], v[b'ups.test.result'], len(v))\n"
      "print(v[b'battery.charge.low'], v[b'battery.runtime.low'])\n";
  const std::string path = home.dir.write("client.py", script);
  EXPECT_EQ(output_of("/usr/bin/python3 " + path + " 2>&1"),
            "[b'tornax']\nb'OB' b'ups' b'NO' 17\nb'20' b'300'\n");
}

// A secondary host shuts down on the FSD of a timeout on battery (no low
// battery).
TEST_F(NutClientsE2eTest, UpsmonSecondaryShutsDownOnFsdBeforeTheHalt) {
  ASSERT_NO_FATAL_FAILURE(start_with_account("BACKUPTIME 1\nNUT_HOSTSYNC 60\n"));
  ASSERT_NO_FATAL_FAILURE(
      follow_power_failure_to_fsd("", "Network UPS server: upsmon from 127.0.0.1 logged in"));
  EXPECT_TRUE(has(home.log(),
                  "Shutdown: FSD set for 1 host logged in to the network UPS server; "
                  "waiting up to 60 seconds for them to log out"))
      << home.log();
}

TEST_F(NutClientsE2eTest, PasswordsReadableByOthersAreRefused) {
  home.dir.write("tornax.conf", home.configuration(sim.slave_path(), "NUT_USER upsmon secret\n"),
                 0640);
  run = home.start();
  EXPECT_EQ(run->wait(), 1);
  EXPECT_EQ(run->stderr_text(),
            daemon_title + "Refusing " + home.file("tornax.conf") +
                ": it holds NUT_USER passwords and is readable by group or others (mode 0640); "
                "make it mode 0600\n" +
                daemon_title + "Exit\n");
}

// The same secondary over TLS, verifying the certificate: it logs in only
// inside the session, follows the power failure and shuts down on FSD.
TEST_F(NutClientsE2eTest, UpsmonOverTlsFollowsAPowerFailureAndSeesFsd) {
  ASSERT_NO_FATAL_FAILURE(start_with_tls("BACKUPTIME 1\nNUT_HOSTSYNC 60\n"));
  ASSERT_NO_FATAL_FAILURE(follow_power_failure_to_fsd(
      upsmon_tls(certificates), "Network UPS server: upsmon from 127.0.0.1 logged in over TLS"));
}

// A certificate its database does not trust fails upsmon's verification: it
// never logs in. A client that does not start TLS is refused every login
// request, and is still answered the rest.
TEST_F(NutClientsE2eTest, NoLoginWithoutTlsOrWithAWrongCertificate) {
  ASSERT_NO_FATAL_FAILURE(start_with_tls());
  const TestCertificates other(365, "other");
  start_upsmon(upsmon_tls(other));
  const int fd = connect_loopback(port);
  LineReader plain(fd);
  for (const char *request :
       {"USERNAME upsmon", "PASSWORD s3cret", "LOGIN tornax", "GET VAR tornax ups.status"}) {
    send_all(fd, std::string(request) + "\n");
  }
  for (const char *answer : {"ERR ACCESS-DENIED", "ERR ACCESS-DENIED", "ERR ACCESS-DENIED",
                             "VAR tornax ups.status \"OL\""}) {
    EXPECT_EQ(plain.next(), answer);
  }
  close(fd);
  // upsmon has tried, and failed, a few times by the time three more cycles
  // passed after its first refusal.
  ASSERT_TRUE(wait_until([&] {
    return has(upsmon_run->stdout_text() + upsmon_run->stderr_text(), "ertificate");
  })) << upsmon_run->stdout_text()
      << upsmon_run->stderr_text();
  ASSERT_TRUE(let_cycles_pass(3));
  EXPECT_FALSE(has(home.log(), "logged in")) << home.log();
}

// gnutls-cli starts TLS after the daemon's OK STARTTLS and is answered
// inside the session; tornax -t shows the certificate.
TEST_F(NutClientsE2eTest, GnutlsCliHandshakesAfterStartTlsAndCheckShowsTheCertificate) {
  ASSERT_NO_FATAL_FAILURE(start_with_tls());
  TempDir client_dir;
  ScriptRun client(client_dir, "/usr/bin/gnutls-cli",
                   {"--starttls", "-p", std::to_string(port), "--x509cafile",
                    certificates.ca_file(), "127.0.0.1"});
  ASSERT_TRUE(client.narrated("Connecting to")) << client.output() << client.errors();
  client.type("STARTTLS\n");
  ASSERT_TRUE(client.narrated("OK STARTTLS")) << client.output() << client.errors();
  client.signal(SIGALRM);  // the handshake begins
  ASSERT_TRUE(client.narrated("- Options:")) << client.output() << client.errors();
  client.type("GET VAR tornax ups.status\n");
  EXPECT_TRUE(client.narrated("VAR tornax ups.status \"OL\"")) << client.output();
  const std::string shown = client.output() + client.errors();
  EXPECT_TRUE(has(shown, "- Status: The certificate is trusted.")) << shown;
  EXPECT_TRUE(has(shown, "- Description: (TLS1.3-X.509)")) << shown;

  EXPECT_EQ(run_to_end({"-t"}), 0) << err;
  EXPECT_TRUE(has(out, "Network UPS TLS: " + certificates.server_file() +
                           ": CN=127.0.0.1,O=tornax test, expires on "))
      << out;
  EXPECT_TRUE(has(out, "; logins only after STARTTLS\n")) << out;
  EXPECT_EQ(run_to_end({"-t", "--json"}), 0) << err;
  EXPECT_TRUE(has(out, "\"subject\": \"CN=127.0.0.1,O=tornax test\"")) << out;
}

}  // namespace
}  // namespace tornax::test
