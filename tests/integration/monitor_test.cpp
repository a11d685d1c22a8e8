// The monitoring cycle driven directly against the simulated UPS on a pty,
// many cycles a second.
#include "daemon/core/monitor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "daemon/core/clock.h"
#include "daemon/core/cycle_facts.h"
#include "daemon/core/status_snapshot.h"
#include "daemon/core/timings.h"
#include "daemon/core/util.h"
#include "daemon/net/nut_server.h"
#include "daemon/net/thread-server.h"
#include "daemon/ups/classic.h"
#include "daemon/ups/line.h"
#include "tests/kit/files.h"
#include "tests/kit/loopback.h"
#include "tests/support/sim_fixture.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::read_file;

class MonitorTest : public test::SimulatedUpsTest {
 protected:
  void SetUp() override {
    SimulatedUpsTest::SetUp();
    test::log_every_event_to(home.file("tornax.log"));
  }
  // Runs one cycle and returns the event slots it left.
  std::vector<unsigned int> cycle() {
    last_due = run_cycle(state);
    return std::vector<unsigned int>(status, status + event_count);
  }
  std::string log() const { return read_file(home.file("tornax.log")); }
  // A case of a table starts afresh: state reset, no power history, the
  // line still open.
  void start_case() {
    test::reset_daemon_state();
    state.power = PowerState{};
    serial_fd = fd;
  }
  // ... and logs into a file of its own.
  void start_case(const char *name) {
    start_case();
    std::snprintf(log_filename, sizeof log_filename, "%s", home.file(name).c_str());
  }

  test::TempDir home;
  MonitorState state;
  ShutdownDue last_due;
};

TEST_F(MonitorTest, HealthyUpsIsPolledWithTheEightQueriesInOrder) {
  sim.clear_received();
  cycle();
  EXPECT_EQ(test::last_commands(sim, 8),
            (std::vector<std::string>{"L\n", "O\n", "B%\n", "P\n", "F\n", "I\n", "T\n", "S5\n"}));
  EXPECT_GT(state.byte_read, 0);
  EXPECT_FLOAT_EQ(ups_linevoltage, 230.5f);
  EXPECT_EQ(std::string(ups_teststatus), "NO");
  EXPECT_EQ(ext_status.load(), 0);
  EXPECT_EQ(last_due.mode, 0);
  EXPECT_EQ(log(), "");  // nothing happened
}

// A client of the network UPS protocol and a status-line client hear of a
// change in the same cycle: right after the cycle that publishes it.
TEST_F(MonitorTest, NetworkUpsAnswersChangeInTheCycleThatPublishesTheStatusLine) {
  settings.nut_port = 0;  // the system picks one
  ASSERT_TRUE(start_nut_server());
  const int client_fd = test::connect_loopback(nut_server_port());
  ASSERT_GE(client_fd, 0);
  test::LineReader reader(client_fd);
  const auto ask_status = [&] {
    test::send_all(client_fd, "GET VAR tornax ups.status\n");
    return reader.next().value_or("nothing");
  };
  const auto status_word = [] {
    char line[line_buffer_size];
    format_status_line(take_status_snapshot(), line);
    return std::string(line).substr(0, std::string(line).find(' '));
  };
  EXPECT_EQ(ask_status(), "ERR DATA-STALE");  // nothing polled yet
  cycle();
  EXPECT_EQ(ask_status(), "VAR tornax ups.status \"OL\"");
  sim.set_mains(false);
  cycle();
  EXPECT_EQ(status_word(), "2");
  EXPECT_EQ(ask_status(), "VAR tornax ups.status \"OB\"");
  sim.set_silent(true);
  cycle();
  EXPECT_EQ(status_word(), "3");
  EXPECT_EQ(ask_status(), "ERR DATA-STALE");
  close(client_fd);
}

TEST_F(MonitorTest, SilentUpsCountsCommunicationErrorsAndNoPowerFail) {
  sim.set_silent(true);
  sim.force_mark('!');  // a silent line carries no marks
  sim.clear_received();
  for (unsigned int expected = 1; expected <= 3; ++expected) {
    cycle();
    EXPECT_EQ(status[COMM_ERROR], expected);
    EXPECT_EQ(status[COMM_CONNECT], 2u);
  }
  EXPECT_EQ(sim.received_count(), 3u) << "only the first query of each cycle";
  EXPECT_EQ(status[POWERFAIL], 0u);
  EXPECT_FLOAT_EQ(ups_linevoltage, 0.0f);
  EXPECT_EQ(ext_status.load(), ext_comm_error);
  EXPECT_NE(log().find("Communication with UPS error"), std::string::npos);
}

// A silent cycle's unanswered query stores 0: the publication keeps the
// readings of the last cycle the UPS answered, and when it took them.
TEST_F(MonitorTest, SilentCyclesPublishTheLastReadings) {
  cycle();
  const std::time_t read_at = latest_cycle_facts()->readings_time;
  EXPECT_NE(read_at, 0);
  sim.set_silent(true);
  cycle();
  const std::shared_ptr<const CycleFacts> facts = latest_cycle_facts();
  EXPECT_FLOAT_EQ(ups_linevoltage, 0.0f);
  EXPECT_FLOAT_EQ(facts->values.linevoltage, 230.5f);
  EXPECT_EQ(facts->readings_time, read_at);
  EXPECT_FALSE(readings_fresh(*facts));
  EXPECT_EQ(facts->values.ext_status, ext_comm_error);  // the status is the cycle's own
}

TEST_F(MonitorTest, CommunicationBackFiresTheConnectEventForExactlyOneCycle) {
  sim.set_silent(true);
  std::vector<unsigned int> errors, connects;
  for (int i = 0; i < 5; ++i) {
    if (i == 3) {
      sim.set_silent(false);
    }
    cycle();
    errors.push_back(status[COMM_ERROR]);
    connects.push_back(status[COMM_CONNECT]);
  }
  EXPECT_EQ(errors, (std::vector<unsigned int>{1, 2, 3, 0, 0}));
  EXPECT_EQ(connects, (std::vector<unsigned int>{2, 2, 2, 1, 0}));
  const std::string text = log();
  EXPECT_EQ(text.find("Communication with UPS error"), text.rfind("Communication with UPS error"));
  EXPECT_EQ(text.find("Establish communication with UPS"),
            text.rfind("Establish communication with UPS"));
  EXPECT_NE(text.find("Establish communication with UPS"), std::string::npos);
}

TEST_F(MonitorTest, ReplyMarksBecomeEventCounts) {
  struct Case {
    const char *name;
    std::vector<std::string> replies;  // raw replies of L, O and B% in one cycle
    unsigned int powerfail, powerreturn, lowbatt;
  };
  const Case cases[] = {
      {"PowerFailAndAtCountTwice", {"!230\r\n", "@230\r\n", "230\r\n"}, 2, 0, 0},
      {"RepeatsAreOneMark", {"!230\r\n", "!230\r\n", "!230\r\n"}, 1, 0, 0},
      {"BlankSeparatesRepeats", {"!230\r\n", " 230\r\n", "!230\r\n"}, 2, 0, 0},
      {"ReturnThenFail", {"$230\r\n", "!230\r\n", "230\r\n"}, 1, 1, 0},
      {"FailThenReturn", {"!230\r\n", "$230\r\n", "230\r\n"}, 0, 1, 0},
      {"ReturnWithoutFail", {"$230\r\n", "230\r\n", "230\r\n"}, 0, 1, 0},
      {"LowBatteryWaitsForASecondCycle", {"*230\r\n", "230\r\n", "230\r\n"}, 0, 0, 0},
  };
  for (const Case &c : cases) {
    test::reset_daemon_state();
    serial_fd = fd;
    sim.set_raw_reply("L", c.replies[0]);
    sim.set_raw_reply("O", c.replies[1]);
    sim.set_raw_reply("B%", c.replies[2]);
    cycle();
    EXPECT_EQ(status[POWERFAIL], c.powerfail) << c.name;
    EXPECT_EQ(status[POWERRETURN], c.powerreturn) << c.name;
    EXPECT_EQ(status[LOWBATT], c.lowbatt) << c.name;
  }
}

// A count that stays at 1 (the UPS's power-return reply was lost) must not
// log, alert and page its event again every cycle.
TEST_F(MonitorTest, EventWhoseCountStopsAtOneFiresOnce) {
  settings.alert[POWERFAIL] = {scope_all, 60, "Mains down", 1};
  settings.wall_cmd = "cat >> '" + home.file("wall") + "'";
  settings.pager[POWERFAIL] = {1, "page"};
  settings.modem_filename = home.write("modem", "");
  sim.force_mark('!', 8);
  cycle();
  cycle();
  cycle();
  EXPECT_EQ(status[POWERFAIL], 1u);
  const std::string text = log();
  EXPECT_EQ(text.find("Power fail detected"), text.rfind("Power fail detected"));
  EXPECT_EQ(read_file(home.file("modem")), "page\n");
  const std::string wall = read_file(home.file("wall"));
  EXPECT_EQ(wall.find("Mains down"), wall.rfind("Mains down"));
  EXPECT_NE(wall.find("Mains down"), std::string::npos);
}

TEST_F(MonitorTest, PowerReturnLastsOneCycle) {
  sim.force_mark('$', 1);
  cycle();
  EXPECT_EQ(status[POWERRETURN], 1u);
  cycle();
  EXPECT_EQ(status[POWERRETURN], 0u);
}

// The timeout is reached, not only hit: a count that steps over it (two
// marks in a cycle) or a timeout lowered below the count starts the shutdown.
TEST_F(MonitorTest, TimeoutShutdownOnceTheCountReachesTheTimeout) {
  struct Case {
    const char *name;
    const char *line_reply, *inverter_reply;  // raw replies of L and O
    unsigned int timeout, lowered_to;         // lowered after the third cycle
    std::vector<int> modes;
  } cases[] = {
      {"OneMarkACycle", "!230\r\n", "!230\r\n", 3, 3, {0, 0, 3}},
      {"TwoMarksACycleStepOver", "!230\r\n", "@230\r\n", 3, 3, {0, 3}},
      {"TimeoutLoweredBelowTheCount", "!230\r\n", "!230\r\n", 600, 2, {0, 0, 0, 3}},
  };
  for (const Case &c : cases) {
    start_case(c.name);
    settings.powerfail_timeout = c.timeout;
    sim.set_raw_reply("L", c.line_reply);
    sim.set_raw_reply("O", c.inverter_reply);
    std::vector<int> modes;
    for (std::size_t i = 0; i < c.modes.size(); ++i) {
      settings.powerfail_timeout = i < 3 ? c.timeout : c.lowered_to;
      cycle();
      modes.push_back(last_due.mode);
    }
    EXPECT_EQ(modes, c.modes) << c.name;
    EXPECT_EQ(last_due.cause, ShutdownCause::timeout_on_battery) << c.name;
    EXPECT_LT(remain_time, 10u) << c.name << ": the time left never wraps";
    const std::string reached = "Power-fail shutdown: on battery for " +
                                std::to_string(status[POWERFAIL]) + " s, reaching BACKUPTIME (" +
                                std::to_string(settings.powerfail_timeout) + " s)";
    EXPECT_NE(read_file(home.file(c.name)).find(reached), std::string::npos) << c.name;
  }
}

// A UPS last seen on battery that falls silent (cable pulled, adapter dead):
// the count goes on, and SILENT_SHUTDOWN ends it even before BACKUPTIME.
TEST_F(MonitorTest, SilenceOnBatteryCountsOnAndEndsInTheShutdown) {
  shorten_reply_timeout(std::chrono::milliseconds(100));
  struct Case {
    unsigned int silent_shutdown, timeout;
    std::vector<int> modes;  // of the silent cycles
    ShutdownCause cause;
    const char *why;
  } cases[] = {
      {3,
       600,
       {0, 0, 3},
       ShutdownCause::silent_on_battery,
       "Power-fail shutdown: the UPS has been silent for 3 s since it was last seen on battery, "
       "reaching SILENT_SHUTDOWN (3 s)"},
      {0,
       4,
       {0, 0, 3},
       ShutdownCause::timeout_on_battery,
       "Power-fail shutdown: on battery for 4 s, reaching BACKUPTIME (4 s)"},
  };
  for (const Case &c : cases) {
    start_case();
    settings.log_control[POWERFAIL_DOWN].enable = 1;
    settings.silent_shutdown = c.silent_shutdown;
    settings.powerfail_timeout = c.timeout;
    sim.set_silent(false);
    sim.set_mains(false);
    cycle();
    sim.set_silent(true);
    std::vector<int> modes;
    std::vector<unsigned int> counts;
    for (std::size_t i = 0; i < c.modes.size(); ++i) {
      cycle();
      modes.push_back(last_due.mode);
      counts.push_back(status[POWERFAIL]);
    }
    EXPECT_EQ(modes, c.modes);
    EXPECT_EQ(counts, (std::vector<unsigned int>{2, 3, 4}));
    // The UPS's last backup time must not stand while this host halts.
    EXPECT_EQ(remain_time, 0u);
    EXPECT_EQ(last_due.cause, c.cause);
    EXPECT_NE(log().find(c.why), std::string::npos) << log();
    std::remove(home.file("tornax.log").c_str());
  }
  // Silent on mains, or never heard: no count, no shutdown.
  start_case();
  settings.silent_shutdown = 1;
  sim.set_silent(false);
  sim.set_mains(true);
  cycle();
  sim.set_silent(true);
  for (int i = 0; i < 3; ++i) {
    cycle();
    EXPECT_EQ(last_due.mode, 0);
  }
  EXPECT_EQ(status[POWERFAIL], 0u);
}

// Bytes that only look like a low-battery reply (noise, a wrong line speed,
// a wrong line end) are no answer: nothing queued, the communication error
// counted.
TEST_F(MonitorTest, MalformedRepliesAreUnansweredAndHaltNothing) {
  shorten_reply_timeout(std::chrono::milliseconds(100));
  const char *const replies[] = {"*230\x80\r\n", "*23a\r\n", "*230\n", "*230",
                                 "*1234567890123456\r\n"};
  unsigned int errors = 0;
  for (const char *reply : replies) {
    sim.set_raw_reply("L", reply);
    cycle();
    EXPECT_EQ(status[COMM_ERROR], ++errors) << describe_bytes(reply);
    EXPECT_EQ(status[LOWBATT], 0u) << describe_bytes(reply);
    EXPECT_EQ(last_due.mode, 0) << describe_bytes(reply);
  }
  EXPECT_EQ(ext_status.load(), ext_comm_error);
}

// The programs the daemon runs (the wall command, the shutdown script,
// swapoff, umount) inherit none of its descriptors.
TEST_F(MonitorTest, ProgramsTheDaemonRunsInheritNoSerialLine) {
  settings.alert[POWERFAIL] = {scope_all, 0, "x", 1};
  settings.wall_cmd = "ls -l /proc/$$/fd > '" + home.file("fds") + "'";
  sim.set_mains(false);
  cycle();
  const std::string fds = read_file(home.file("fds"));
  EXPECT_NE(fds.find("pipe:"), std::string::npos) << fds;  // its standard input
  EXPECT_EQ(fds.find(sim.slave_path() + "\n"), std::string::npos) << fds;
}

TEST_F(MonitorTest, SecondLowBatteryCycleShutsDownInThatCycleWhateverTheTimeout) {
  for (unsigned int timeout : {0u, 600u}) {
    test::reset_daemon_state();
    state.power = {};
    serial_fd = fd;
    std::snprintf(log_filename, sizeof log_filename, "%s", home.file("low.log").c_str());
    settings.log_control[LOWBATT].enable = settings.log_control[POWERFAIL_DOWN].enable = 1;
    settings.powerfail_timeout = timeout;
    sim.force_mark('*', 16);
    cycle();
    EXPECT_EQ(status[LOWBATT], 0u);
    EXPECT_EQ(last_due.mode, 0);
    cycle();
    EXPECT_EQ(status[LOWBATT], 1u);
    EXPECT_EQ(status[POWERFAIL_DOWN], 1u);
    EXPECT_EQ(last_due.mode, POWERFAIL_DOWN);
    EXPECT_EQ(last_due.ups_sleep_time, 0);
    EXPECT_EQ(ext_status.load() & ext_lowbatt, ext_lowbatt);
    const std::string text = read_file(home.file("low.log"));
    EXPECT_LT(text.find("Low battary detected"),
              text.find("Powerfail fail timeout, Server is shutdown"));
    std::remove(home.file("low.log").c_str());
  }
}

// Stray bytes can form one well-formed low-battery reply: only two answered
// cycles in a row that carry the mark count it.
TEST_F(MonitorTest, LowBatteryCountsOnlyInTwoAnsweredCyclesInARow) {
  shorten_reply_timeout(std::chrono::milliseconds(50));
  struct Case {
    const char *cycles;  // per cycle: L low-battery mark, c clean, s silent
    unsigned int lowbatt;
  };
  const Case cases[] = {{"L", 0}, {"LL", 1}, {"LcL", 0}, {"LsL", 0}, {"cLcLL", 1}};
  for (const Case &c : cases) {
    test::reset_daemon_state();
    state.power = {};
    timings.reply_timeout = std::chrono::milliseconds(50);
    serial_fd = fd;
    for (const char *k = c.cycles; *k != '\0'; ++k) {
      sim.clear_forced_mark();
      sim.set_silent(*k == 's');
      if (*k == 'L') {
        sim.force_mark('*');
      }
      cycle();
    }
    sim.set_silent(false);
    sim.clear_forced_mark();
    EXPECT_EQ(status[LOWBATT], c.lowbatt) << c.cycles;
    EXPECT_EQ(last_due.mode, c.lowbatt != 0 ? POWERFAIL_DOWN : 0) << c.cycles;
  }
}

// The status line's and the log's minutes and the other surfaces' seconds
// are one time left; on battery the self-test text loses the replies' mark.
TEST_F(MonitorTest, RemainTimeFollowsTheTimeoutOrTheBackupTime) {
  const auto left = [] { return latest_cycle_facts()->shutdown_left; };
  settings.powerfail_timeout = 300;
  cycle();
  EXPECT_EQ(remain_time, 5u);
  EXPECT_EQ(left(), std::nullopt);  // on mains no shutdown is pending
  sim.set_mains(false);
  cycle();  // counts the first mark after working out the time left
  EXPECT_EQ(remain_time, 5u);
  EXPECT_EQ(left(), 300);
  EXPECT_NE(log().find("Server shutdown in 0:5\n"), std::string::npos) << log();
  cycle();
  EXPECT_EQ(remain_time, 4u);  // (300 - 1) / 60
  EXPECT_EQ(left(), 299);
  EXPECT_STREQ(ups_teststatus, "0NO");
  EXPECT_STREQ(latest_cycle_facts()->values.test_result, "NO");

  settings.powerfail_timeout = 0;
  sim.set_reply("T", "1:42");
  cycle();
  EXPECT_EQ(remain_time, 102u);
  EXPECT_EQ(left(), 102 * 60);
  sim.set_reply("T", "-2:00");  // a nonsense reply is held at zero
  cycle();
  EXPECT_EQ(remain_time, 0u);
  EXPECT_EQ(left(), 0);
}

// The thresholds against the UPS's own readings, on battery. Each reply is
// the query's value for one cycle; "~" leaves the query unanswered (which
// stores 0), "?" is a reply that is not well formed. Only two well-formed readings in a row below
// the threshold count; BACKUPTIME and the thresholds race, and the log names the winner.
TEST_F(MonitorTest, ThresholdsShutDownOnTwoReadingsOnBattery) {
  shorten_reply_timeout(std::chrono::milliseconds(100));
  struct Case {
    const char *name, *query;
    unsigned int runtime, charge, timeout;  // seconds, percent, seconds
    bool mains;
    std::vector<const char *> replies;
    std::vector<int> modes;
    std::vector<unsigned int> remain;  // empty: not checked
    const char *why;
  } cases[] = {
      {"RuntimeFalling",
       "T",
       600,
       0,
       3600,
       false,
       {"0:30", "0:12", "0:09", "0:08"},
       {0, 0, 0, 3},
       {20, 20, 2, 0},
       "Power-fail shutdown: on battery with 8 min (9 min the reading before) of backup time "
       "left, below SHUTDOWN_RUNTIME (10 min)"},
      {"ChargeFalling",
       "B%",
       0,
       25,
       0,
       false,
       {"40", "24", "30", "20", "10"},
       {0, 0, 0, 0, 3},
       {},
       "Power-fail shutdown: on battery with the battery at 10% (20% the reading before), "
       "below SHUTDOWN_CHARGE (25%)"},
      {"LoneLowReadingsAndSilence",
       "B%",
       0,
       25,
       0,
       false,
       {"80", "5", "80", "~", "~", "80", "5"},
       {0, 0, 0, 0, 0, 0, 0},
       {},
       nullptr},
      {"RefusedReplyIsNoReading",
       "B%",
       0,
       25,
       0,
       false,
       {"24", "?", "24"},
       {0, 0, 3},
       {},
       "Power-fail shutdown: on battery with the battery at 24% (24% the reading before), "
       "below SHUTDOWN_CHARGE (25%)"},
      {"TimeoutFirst",
       "B%",
       0,
       25,
       2,
       false,
       {"5", "5"},
       {0, 3},
       {},
       "Power-fail shutdown: on battery for 2 s, reaching BACKUPTIME (2 s)"},
      {"OnMains", "B%", 0, 25, 0, true, {"5", "5", "5"}, {0, 0, 0}, {}, nullptr},
  };
  for (const Case &c : cases) {
    start_case(c.name);
    settings.shutdown_runtime = c.runtime;
    settings.shutdown_charge = c.charge;
    settings.powerfail_timeout = c.timeout;
    settings.silent_shutdown = 0;
    sim.set_mains(c.mains);
    std::vector<int> modes;
    std::vector<unsigned int> remain;
    for (const char *reply : c.replies) {
      if (std::string(reply) == "~") {
        sim.set_raw_reply(c.query, "");
      } else if (std::string(reply) == "?") {
        sim.set_raw_reply(c.query, "!2\x80\r\n");
      } else {
        sim.clear_reply(c.query);
        sim.set_reply(c.query, reply);
      }
      cycle();
      modes.push_back(last_due.mode);
      remain.push_back(remain_time);
      if (last_due.mode == POWERFAIL_DOWN) {
        EXPECT_EQ(remain_time, 0u) << c.name << ": no time is left once the shutdown is due";
      }
    }
    sim.clear_reply(c.query);
    EXPECT_EQ(modes, c.modes) << c.name;
    if (!c.remain.empty()) {
      EXPECT_EQ(remain, c.remain) << c.name;
    }
    const std::string log = read_file(home.file(c.name));
    if (c.why != nullptr) {
      EXPECT_NE(log.find(std::string(" : ") + c.why + " \n"), std::string::npos) << log;
    } else {
      EXPECT_EQ(log.find("Power-fail shutdown"), std::string::npos) << log;
    }
  }
}

TEST_F(MonitorTest, KyrelFamilyShowsLineVoltageAsInverterVoltageInsideItsWindow) {
  sim.set_identification("TXSIM-1 Kyrel 1500");
  sim.set_nominal_voltage(220.0);
  identify_ups(state);
  ASSERT_EQ(classic_quirks().voltage_correction_enable, 1);
  EXPECT_FLOAT_EQ(classic_quirks().sleep_time_multiplier, 0.97f);
  struct Case {
    const char *line;
    float linevoltage, invvoltage;
  };
  const Case cases[] = {
      {"200.2", 200.2f, 200.2f},  // exactly 91 %
      {"239.8", 239.8f, 239.8f},  // exactly 109 %
      {"200.1", 200.1f, 231.0f},  // outside: inverter as measured
      {"50", 0.0f, 231.0f},      {"50.1", 50.1f, 231.0f},
  };
  sim.set_reply("O", "231");
  for (const Case &c : cases) {
    sim.set_reply("L", c.line);
    cycle();
    EXPECT_FLOAT_EQ(ups_linevoltage, c.linevoltage) << c.line;
    EXPECT_FLOAT_EQ(ups_invvoltage, c.invvoltage) << c.line;
  }
}

TEST_F(MonitorTest, OtherFamiliesAreShownAsMeasured) {
  identify_ups(state);
  EXPECT_EQ(classic_quirks().voltage_correction_enable, 0);
  EXPECT_FLOAT_EQ(classic_quirks().sleep_time_multiplier, 0.993f);
  EXPECT_EQ(std::string(ups_version), "TXSIM-1 Simline 1000VA");
  sim.set_reply("L", "40");
  cycle();
  EXPECT_FLOAT_EQ(ups_linevoltage, 40.0f);
}

// 7 December 2026, 22:20:00 in UTC: ten minutes before a 22:30 window.
std::time_t before_window() {
  return 1796682000;
}

TEST_F(MonitorTest, ScheduledShutdownIsDueInCycleKPlus599) {
  test::use_utc_time_zone();
  set_clock_function(before_window);
  settings.shutdown_schedule_mode = schedule_daily;
  settings.shutdown_schedule_list[0].downtime.tm_hour = 22;
  settings.shutdown_schedule_list[0].downtime.tm_min = 30;
  settings.shutdown_schedule_list[0].uptime.tm_hour = 6;
  settings.shutdown_schedule_list[0].uptime.tm_min = 15;
  testing::internal::CaptureStdout();
  cycle();  // cycle k finds the window
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "sleeptime day=0 hour=7 min=45 total=465\nups_sleep_time =465\n");
  EXPECT_EQ(schedule_down_timer, 1);
  EXPECT_EQ(ext_status.load(), ext_schedule_down);
  for (int k = 1; k < 599; ++k) {
    cycle();
    ASSERT_EQ(last_due.mode, 0) << "cycle k + " << k;
  }
  cycle();
  EXPECT_EQ(schedule_down_timer, 600);
  EXPECT_EQ(status[SCHEDULE_DOWN], 1u);
  EXPECT_EQ(last_due.mode, SCHEDULE_DOWN);
  EXPECT_EQ(last_due.ups_sleep_time, 465);
  EXPECT_NE(log().find("Schedule shutdown"), std::string::npos);
}

TEST_F(MonitorTest, DeviceThatAppearsLaterIsOpenedAndLogged) {
  const std::string link = home.file("ups");
  settings.ups_filename = link;
  serial_fd = -1;
  testing::internal::CaptureStderr();
  cycle();
  cycle();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "no report every cycle";
  EXPECT_EQ(status[COMM_ERROR], 2u);
  EXPECT_EQ(ext_status.load(), ext_comm_error);

  ASSERT_EQ(symlink(sim.slave_path().c_str(), link.c_str()), 0);
  cycle();
  EXPECT_GE(serial_fd, 0);
  EXPECT_EQ(status[COMM_ERROR], 0u);
  EXPECT_EQ(status[COMM_CONNECT], 1u);
  EXPECT_EQ(std::string(ups_version), "TXSIM-1 Simline 1000VA");
  EXPECT_NE(log().find("UPS device " + link + " opened"), std::string::npos);
  close(serial_fd);
}

}  // namespace
}  // namespace tornax
