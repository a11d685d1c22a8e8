// The simulated UPS as its users rely on it: marks that follow the simulated
// state, silence, the exact log of commands, a line that survives its users,
// the link, pacing, the falling battery and the fault modes; and its Qx mode.
#include "sim/simulated_ups.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "daemon/core/clock.h"
#include "daemon/ups/qx_protocol.h"
#include "daemon/ups/ups.h"
#include "sim/control.h"
#include "tests/kit/clock.h"
#include "tests/kit/files.h"
#include "tests/support/sim_fixture.h"
#include "tornax.h"

namespace tornax {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A test simulator whose link is `dir`/ups.
SimulatedUpsOptions linked_options(const test::TempDir &dir) {
  SimulatedUpsOptions options = test::test_ups_options();
  options.link_path = dir.file("ups");
  return options;
}

class SimulatedUpsBehaviour : public test::SimulatedUpsTest {
 protected:
  // The marks of the next `count` replies to "B%": the mark character, or
  // "-" for a reply without one.
  std::string next_marks(int count) {
    std::string marks;
    for (int i = 0; i < count; ++i) {
      float value;
      EXPECT_GT(get_percentbatt(fd, &value), 0);
      const char first = sim.received().back().reply.at(0);
      marks += first >= '0' && first <= '9' ? '-' : first;
    }
    return marks;
  }
};

TEST_F(SimulatedUpsBehaviour, MarksFollowTheSimulatedState) {
  struct Step {
    const char *what;
    std::function<void(SimulatedUps &)> change;
    const char *marks;
  } steps[] = {
      {"mains on", [](SimulatedUps &) {}, "---"},
      {"mains off", [](SimulatedUps &u) { u.set_mains(false); }, "!!"},
      {"mains back", [](SimulatedUps &u) { u.set_mains(true); }, "$--"},
      {"mains on again", [](SimulatedUps &u) { u.set_mains(true); }, "-"},
      {"low battery", [](SimulatedUps &u) { u.set_low_battery(true); }, "**"},
      {"forced mark", [](SimulatedUps &u) { u.force_mark('@', 2); }, "@@*"},
      {"mains back ends low battery",
       [](SimulatedUps &u) {
         u.set_mains(false);
         u.set_mains(true);
       },
       "$-"},
      {"blank marks", [](SimulatedUps &u) { u.set_blank_mark(true); }, "  "},
      {"forced until cleared", [](SimulatedUps &u) { u.force_mark('!'); }, "!!!!"},
      {"cleared", [](SimulatedUps &u) { u.clear_forced_mark(); }, " "},
  };
  for (const Step &step : steps) {
    step.change(sim);
    EXPECT_EQ(next_marks(static_cast<int>(std::string(step.marks).size())), step.marks)
        << step.what;
  }
}

TEST_F(SimulatedUpsBehaviour, IdentificationCarriesNoMarkAndLeavesTheNewsOfMainsBack) {
  sim.set_identification("TXSIM-1 Kyrel 1000VA");
  sim.set_mains(false);
  sim.set_mains(true);
  ASSERT_GT(get_version(fd, ups_version), 0);
  EXPECT_STREQ(ups_version, "TXSIM-1 Kyrel 1000VA");
  EXPECT_EQ(next_marks(1), "$");
}

// A simulator whose world runs on `world`, started, with its line open.
struct SimOnClock {
  explicit SimOnClock(const test::SettableClock &world,
                      SimulatedUpsOptions options = test::test_ups_options())
      : sim((options.clock = world.reader(), options)) {
    sim.start();
    fd = openport(sim.slave_path().c_str());
  }
  ~SimOnClock() { close(fd); }
  SimulatedUps sim;
  int fd = -1;
};

TEST(SimulatedUpsSilence, ForAWhileEndsByItself) {
  test::SettableClock world;
  SimOnClock on_clock(world);
  SimulatedUps &sim = on_clock.sim;
  const int fd = on_clock.fd;
  float value = -1.0f;
  sim.set_silent_for(300ms);
  EXPECT_EQ(get_linevoltage(fd, &value), 0);
  world.advance(400ms);
  EXPECT_GT(get_linevoltage(fd, &value), 0);
  EXPECT_EQ(value, 230.5f);
  // Silent commands are still logged, unanswered.
  const std::vector<ReceivedCommand> log = sim.received();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].reply, "");
  EXPECT_EQ(log[1].reply, "230.5\r\n");
}

TEST_F(SimulatedUpsBehaviour, ControlCommandKeepsItsPaddingHoweverItArrives) {
  const std::string nul(11, '\0');
  ASSERT_EQ(write(fd, "TD=5\n", 5), 5);
  std::this_thread::sleep_for(20ms);
  ASSERT_EQ(write(fd, nul.data(), 10), 10);
  const std::string both = "D=3\n" + nul + "L\n";
  ASSERT_EQ(write(fd, both.data(), both.size()), static_cast<ssize_t>(both.size()));
  ASSERT_EQ(write(fd, "TD=7\n", 5), 5);  // padding never comes
  ASSERT_TRUE(sim.wait_for_received(4, 5s));
  EXPECT_EQ(test::last_commands(sim, 4),
            (std::vector<std::string>{"TD=5\n" + nul.substr(1), "D=3\n" + nul, "L\n", "TD=7\n"}));
  EXPECT_EQ(sim.received()[2].reply, "230.5\r\n");
}

TEST_F(SimulatedUpsBehaviour, LineSurvivesItsUsers) {
  close(fd);
  fd = openport(sim.slave_path().c_str());
  ASSERT_GE(fd, 0);
  float value = -1.0f;
  EXPECT_GT(get_linevoltage(fd, &value), 0);
  EXPECT_EQ(value, 230.5f);
}

// The 15-second wait is not what the next test is about.
void no_sleep(unsigned int) {}

TEST_F(SimulatedUpsBehaviour, SelfTestStatusFollowsTheTest) {
  set_sleep_function(no_sleep);
  char status[ups_teststatus_size] = {};
  get_upsteststatus(fd, status);
  EXPECT_STREQ(status, "NO");
  sim.set_test_status("BAD");
  EXPECT_EQ(ups_test(fd, status), 5);
  EXPECT_STREQ(status, "BAD");
}

// What arrived on `fd`, one entry per read with its time, until `want` bytes
// have come or `limit` passed (a bound against a hang).
struct Piece {
  std::string bytes;
  std::chrono::milliseconds at;
};
std::vector<Piece> pieces(int fd, std::size_t want, std::chrono::milliseconds limit = 5s) {
  std::vector<Piece> got;
  std::size_t total = 0;
  const Clock::time_point start = Clock::now();
  while (total < want && Clock::now() < start + limit) {
    struct pollfd p {
      fd, POLLIN, 0
    };
    if (poll(&p, 1, 100) <= 0) {
      continue;
    }
    char buf[512];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
      break;
    }
    total += static_cast<std::size_t>(n);
    got.push_back({std::string(buf, static_cast<std::size_t>(n)),
                   std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)});
  }
  return got;
}

std::string joined(const std::vector<Piece> &got) {
  std::string all;
  for (const Piece &piece : got) {
    all += piece.bytes;
  }
  return all;
}

// Each fault mode, switched on through the control language, as it shows on
// the line, and as the journal records it for a model.
TEST_F(SimulatedUpsBehaviour, FaultModesThroughTheirControlCommands) {
  struct Case {
    const char *command;
    std::size_t bytes;  // what arrives
    std::function<void(const std::vector<Piece> &)> check;
    bool clean;
  } cases[] = {
      {"faults off", 5, [](const auto &got) { EXPECT_EQ(joined(got), "100\r\n"); }, true},
      {"lineend lf", 4, [](const auto &got) { EXPECT_EQ(joined(got), "100\n"); }, false},
      {"garbage on", 1,  // one write of 1 to 26 bytes
       [](const auto &got) {
         EXPECT_NE(joined(got), "100\r\n");
         EXPECT_LE(joined(got).size(), 26u);
       },
       false},
      {"split 1 60", 5,
       [](const auto &got) {
         ASSERT_EQ(got.size(), 2u);
         EXPECT_EQ(got[0].bytes, "1");
         EXPECT_EQ(got[1].bytes, "00\r\n");
         EXPECT_GE(got[1].at - got[0].at, 50ms);
       },
       true},
      {"trickle 30", 5,
       [](const auto &got) {
         EXPECT_EQ(got.size(), 5u);
         EXPECT_EQ(joined(got), "100\r\n");
         EXPECT_GE(got.back().at - got.front().at, 100ms);
       },
       true},
      {"stall 250", 5,
       [](const auto &got) {
         ASSERT_EQ(got.size(), 2u);
         EXPECT_EQ(got[0].bytes, "10");
         EXPECT_GE(got[1].at - got[0].at, 200ms);
       },
       true},
      {"flood 300", 305,
       [](const auto &got) {
         EXPECT_EQ(joined(got).substr(0, 5), "100\r\n");
         EXPECT_EQ(joined(got).size(), 305u);
       },
       true},
      {"faults 0", 5, [](const auto &got) { EXPECT_EQ(joined(got), "100\r\n"); }, true},
  };
  sim.set_journal(true);
  for (const Case &c : cases) {
    if (std::string(c.command) != "faults 0") {
      run_control(sim, "faults off");
    } else {
      run_control(sim, "garbage on");
    }
    ASSERT_EQ(run_control(sim, c.command).answer, "ok") << c.command;
    // A command no reply follows closes the window of the case before: what
    // was written stray there no longer counts against this reply.
    const std::size_t before = sim.received_count();
    ASSERT_EQ(write(fd, "Z\n", 2), 2);
    ASSERT_TRUE(sim.wait_for_received(before + 1, 5s));
    sim.take_journal();
    ASSERT_EQ(write(fd, "B%\n", 3), 3);
    c.check(pieces(fd, c.bytes));
    bool clean = false, reply = false, stray = false;
    for (const LineEvent &event : sim.take_journal()) {
      if (event.kind == LineEvent::Kind::reply) {
        reply = true;
        clean = event.clean;
      }
      stray = stray || (event.kind == LineEvent::Kind::write && event.stray);
    }
    EXPECT_TRUE(reply) << c.command;
    EXPECT_EQ(clean, c.clean) << c.command;
    EXPECT_EQ(stray,
              std::string(c.command) == "garbage on" || std::string(c.command) == "flood 300")
        << c.command;
  }
}

TEST_F(SimulatedUpsBehaviour, NoiseComesWhateverIsAsked) {
  ASSERT_EQ(run_control(sim, "noise 400").answer, "ok");
  EXPECT_GE(joined(pieces(fd, 20)).size(), 20u);
  ASSERT_EQ(run_control(sim, "noise off").answer, "ok");
  std::this_thread::sleep_for(50ms);  // what was on its way
  tcflush(fd, TCIFLUSH);
  EXPECT_EQ(joined(pieces(fd, 1, 300ms)), "");
}

// A hang-up closes the pty under the daemon and opens a new one, which the
// link then names.
TEST(SimulatedUpsHangUp, TheOldLineHangsUpAndTheLinkNamesTheNewOne) {
  test::TempDir dir;
  const SimulatedUpsOptions options = linked_options(dir);
  SimulatedUps sim(options);
  sim.start();
  const int old_fd = openport(options.link_path.c_str());
  const std::string old_path = sim.slave_path();
  const std::string answer = run_control(sim, "hangup").answer;
  EXPECT_EQ(answer, "ok, now " + sim.slave_path());
  EXPECT_NE(sim.slave_path(), old_path);
  EXPECT_LT(write(old_fd, "L\n", 2), 0);
  close(old_fd);
  const int fd = openport(options.link_path.c_str());
  float value = -1.0f;
  EXPECT_EQ(get_linevoltage(fd, &value), 7);
  close(fd);
}

TEST(SimulatedUpsLog, KeepsTheNewestWithinItsLimitAndCountsAll) {
  SimulatedUpsOptions options = test::test_ups_options();
  options.log_limit = 3;
  SimulatedUps sim(options);
  sim.start();
  const int fd = openport(sim.slave_path().c_str());
  float value;
  for (int (*query)(int, float *) :
       {get_linevoltage, get_invvoltage, get_percentbatt, get_percentloadpower, get_freq}) {
    EXPECT_GT(query(fd, &value), 0);
  }
  EXPECT_EQ(sim.received_count(), 5u);
  EXPECT_EQ(test::last_commands(sim, 10), (std::vector<std::string>{"B%\n", "P\n", "F\n"}));
  sim.clear_received();
  EXPECT_EQ(sim.received_count(), 0u);
  EXPECT_FALSE(sim.wait_for_received(1, 10ms));
  close(fd);
}

TEST(SimulatedUpsBattery, FallsOnBatteryUntilLowBatteryIsMarked) {
  SimulatedUpsOptions options = test::test_ups_options();
  options.runtime_minutes = 0.05;  // a full battery lasts 3 seconds
  options.low_battery_percent = 90;
  test::SettableClock world;
  SimOnClock on_clock(world, options);
  on_clock.sim.set_mains(false);
  world.advance(500ms);
  float level = 100.0f;
  EXPECT_GT(get_percentbatt(on_clock.fd, &level), 0);
  EXPECT_LT(level, 90.0f);
  EXPECT_EQ(on_clock.sim.received().back().reply.at(0), '*');
}

// The switch-off as the daemon sends it, against both kinds of UPS: with the
// mains back by the time of the switch-off, a 0 would leave the host dark for
// good (ignored: the output never goes off; obeyed: it never comes back), the
// restart sleep cycles the power in both. On battery 0 is sent, and the output
// comes back with the mains.
TEST(SimulatedUpsSwitchOff, TheHostComesBackWhenTheMainsAreBackInTime) {
  struct Case {
    ZeroOnMains kind;
    bool mains;
    int sleep, restart;
    std::vector<std::string> commands;  // after the query, when there is one
    bool off_after_delay;
    int cycles_three_minutes_on;  // output cycles once the sleep is over
  };
  const std::string td = test::padded_control("TD=5\n");
  const Case cases[] = {
      {ZeroOnMains::ignore, true, 0, 3, {"L\n", td, test::padded_control("D=3\n")}, true, 1},
      {ZeroOnMains::obey, true, 0, 3, {"L\n", td, test::padded_control("D=3\n")}, true, 1},
      {ZeroOnMains::ignore, true, 0, 0, {td, test::padded_control("D=0\n")}, false, 0},
      {ZeroOnMains::obey, true, 0, 0, {td, test::padded_control("D=0\n")}, true, 0},
      {ZeroOnMains::obey, false, 0, 3, {"L\n", td, test::padded_control("D=0\n")}, true, 0},
      {ZeroOnMains::ignore, true, 2, 3, {td, test::padded_control("D=2\n")}, true, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "obey " << (c.kind == ZeroOnMains::obey) << ", mains " << c.mains << ", sleep "
                 << c.sleep << ", restart " << c.restart);
    test::SettableClock world;
    SimulatedUpsOptions options = test::test_ups_options();
    options.zero_on_mains = c.kind;
    options.mains = c.mains;
    SimOnClock on_clock(world, options);
    SimulatedUps &sim = on_clock.sim;
    const int sent = switch_off_ups(on_clock.fd, {5, c.sleep, c.restart});
    EXPECT_EQ(sent, c.mains && c.sleep == 0 ? c.restart : c.sleep);
    ASSERT_TRUE(sim.wait_for_received(c.commands.size(), 5s));
    EXPECT_EQ(test::last_commands(sim, c.commands.size()), c.commands);
    world.advance(4s);
    EXPECT_TRUE(sim.output_on());
    world.advance(2s);
    EXPECT_EQ(sim.output_on(), !c.off_after_delay);
    world.advance(3min);
    EXPECT_EQ(sim.output_cycles(), c.cycles_three_minutes_on);
    if (!c.mains) {
      sim.set_mains(true);
      EXPECT_TRUE(sim.output_on());
      EXPECT_EQ(sim.output_cycles(), 1);
    }
  }
}

TEST(SimulatedUpsPacing, RepliesTakeTheirTimeOnTheLine) {
  SimulatedUpsOptions options = test::test_ups_options();
  options.pacing = true;
  SimulatedUps sim(options);
  sim.start();
  const int fd = openport(sim.slave_path().c_str());
  float value;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(get_linevoltage(fd, &value), 7);
  // "L\n" and "230.5\r\n": 9 bytes at 480 bytes a second.
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 9.0 / 480.0);
  close(fd);
}

TEST(SimulatedUpsLink, PointsAtThePtyWhileRunningAndNeverReplacesAFile) {
  test::TempDir dir;
  const SimulatedUpsOptions options = linked_options(dir);
  {
    SimulatedUps sim(options);
    sim.start();
    char target[128] = {};
    ASSERT_GT(readlink(options.link_path.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.slave_path(), target);
  }
  struct stat st {};
  EXPECT_NE(lstat(options.link_path.c_str(), &st), 0);

  dir.write("ups", "precious");
  SimulatedUps sim(options);
  EXPECT_THROW(sim.start(), std::system_error);
  EXPECT_EQ(test::read_file(options.link_path), "precious");
}

// ---- Qx mode --------------------------------------------------------------

// Sends a Qx command and returns what came back up to and including its CR;
// whatever came when no CR came within `limit`.
std::string qx_ask(int fd, const std::string &command, std::chrono::milliseconds limit = 2s) {
  tcflush(fd, TCIFLUSH);
  EXPECT_EQ(write(fd, command.data(), command.size()), static_cast<ssize_t>(command.size()));
  std::string got;
  const Clock::time_point end = Clock::now() + limit;
  while (got.find('\r') == std::string::npos && Clock::now() < end) {
    struct pollfd p {
      fd, POLLIN, 0
    };
    char buf[128];
    if (poll(&p, 1, 20) > 0) {
      const ssize_t n = read(fd, buf, sizeof buf);
      got.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
  }
  return got;
}

// Sends a command the UPS does not answer and waits until it has it.
void qx_command(SimulatedUps &sim, int fd, const std::string &command) {
  const std::size_t before = sim.received_count();
  ASSERT_EQ(write(fd, command.data(), command.size()), static_cast<ssize_t>(command.size()));
  ASSERT_TRUE(sim.wait_for_received(before + 1, 5s)) << command;
}

SimulatedUpsOptions qx_options() {
  SimulatedUpsOptions options = test::test_ups_options();
  options.protocol = SimProtocol::qx;
  return options;
}

std::string status_bits(const std::string &reply) {
  const std::optional<qx::Status> status = qx::parse_status(reply);
  EXPECT_TRUE(status) << describe_bytes(reply);
  return status ? reply.substr(38, 8) : "malformed";
}

// The state in the status bits (b7 utility fail, b6 battery low, b4 failed,
// b2 test, b1 switch-off counting, b0 beeper), and the classic mark the
// journal records for each reply.
TEST(SimulatedUpsQx, StatusBitsFollowTheSimulatedState) {
  test::SettableClock world;
  SimulatedUpsOptions options = qx_options();
  options.self_test_seconds = 10;
  SimOnClock on_clock(world, options);
  SimulatedUps &sim = on_clock.sim;
  const int fd = on_clock.fd;
  struct Step {
    const char *what;
    std::function<void()> change;
    const char *bits;
    char mark;
  } steps[] = {
      {"mains on", [] {}, "00000000", '\0'},
      {"mains off", [&] { sim.set_mains(false); }, "10000001", '!'},
      {"beeper muted", [&] { qx_command(sim, fd, "Q\r"); }, "10000000", '!'},
      {"low battery", [&] { sim.set_low_battery(true); }, "11000000", '*'},
      {"mains back ends it", [&] { sim.set_mains(true); }, "00000000", '$'},
      {"low on mains", [&] { sim.set_low_battery(true); }, "01000000", '\0'},
      {"forced power fail", [&] { run_control(sim, "mark ! 1"); }, "10000000", '!'},
      {"forced mark spent", [&] { sim.set_low_battery(false); }, "00000000", '$'},
      {"self-test", [&] { qx_command(sim, fd, "T\r"); }, "00000100", '\0'},
      {"test over", [&] { world.advance(11s); }, "00000000", '\0'},
      {"failed test",
       [&] {
         run_control(sim, "teststatus NG");
         qx_command(sim, fd, "T\r");
         world.advance(11s);
       },
       "00010000", '\0'},
      {"switch-off counting", [&] { qx_command(sim, fd, "S01R0003\r"); }, "00010010", '\0'},
  };
  sim.set_journal(true);
  for (const Step &step : steps) {
    step.change();
    EXPECT_EQ(status_bits(qx_ask(fd, "Q1\r")), step.bits) << step.what;
    char mark = 'x';
    for (const LineEvent &event : sim.take_journal()) {
      mark = event.kind == LineEvent::Kind::reply ? event.mark : mark;
    }
    EXPECT_EQ(mark, step.mark) << step.what;
  }
}

// I and F as the daemon's parsers read them, the charge they let it estimate,
// and what a Qx UPS does with what it does not know.
TEST(SimulatedUpsQx, IdentifiesRatesAndEchoesWhatItDoesNotKnow) {
  SimulatedUps sim(qx_options());
  sim.start();
  const int fd = openport(sim.slave_path().c_str());
  run_control(sim, "model Volta 1000");
  const std::optional<qx::Identity> id = qx::parse_identity(qx_ask(fd, "I\r"));
  ASSERT_TRUE(id);
  EXPECT_EQ(id->manufacturer, "TXSIM");
  EXPECT_EQ(id->model, "Volta 1000");
  const std::optional<qx::Ratings> ratings = qx::parse_ratings(qx_ask(fd, "F\r"));
  ASSERT_TRUE(ratings);
  EXPECT_EQ(ratings->voltage, 230.0);
  EXPECT_EQ(ratings->frequency, 50.0);

  run_control(sim, "battery 40");
  const std::optional<qx::Status> status = qx::parse_status(qx_ask(fd, "Q1\r"));
  ASSERT_TRUE(status);
  EXPECT_EQ(status->input_voltage, 230.5);
  EXPECT_EQ(status->load_percent, 40.0);
  EXPECT_NEAR(*qx::estimate_charge(*status, ratings->battery_voltage, {}), 40.0, 1.0);

  EXPECT_EQ(qx_ask(fd, "Q9\r"), "Q9\r");  // echoed
  run_control(sim, "identify off");
  EXPECT_EQ(qx_ask(fd, "I\r", 300ms), "");
  EXPECT_EQ(qx_ask(fd, "F\r", 300ms), "");
  run_control(sim, "lineend crlf");
  EXPECT_FALSE(qx::parse_status(qx_ask(fd, "Q1\r")));
  run_control(sim, "lineend cr");  // its own: no fault
  EXPECT_TRUE(qx::parse_status(qx_ask(fd, "Q1\r")));
  run_control(sim, "garbage on");
  for (int i = 0; i < 20; ++i) {
    EXPECT_FALSE(qx::parse_status(qx_ask(fd, "Q1\r", 50ms)));
  }
  close(fd);
}

// S<n>R<m>: off after the delay, back once the minutes are over and the mains
// present; C cancels a pending one; battery low cuts the wait short.
TEST(SimulatedUpsQx, SwitchOffCountsDownAndComesBack) {
  struct Case {
    const char *what;
    std::vector<std::string> commands;
    bool mains;
    bool low_battery;
    bool on_after_29s, on_after_31s, on_after_4min;
  } cases[] = {
      {"S.5R0003", {"S.5R0003\r"}, true, false, true, false, true},
      {"on battery", {"S.5R0003\r"}, false, false, true, false, false},
      {"cancelled", {"S.5R0003\r", "C\r"}, true, false, true, true, true},
      {"battery low", {"S.5R0003\r"}, false, true, false, false, false},
      {"minutes", {"S01R0002\r"}, true, false, true, true, true},
      {"malformed", {"S1R0003\r"}, true, false, true, true, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    test::SettableClock world;
    SimulatedUpsOptions options = qx_options();
    options.mains = c.mains;
    SimOnClock on_clock(world, options);
    SimulatedUps &sim = on_clock.sim;
    for (const std::string &command : c.commands) {
      qx_command(sim, on_clock.fd, command);
    }
    sim.set_low_battery(c.low_battery);
    qx_ask(on_clock.fd, "Q1\r");  // the state moves on as the UPS is asked
    world.advance(29s);
    EXPECT_EQ(sim.output_on(), c.on_after_29s);
    world.advance(2s);
    EXPECT_EQ(sim.output_on(), c.on_after_31s);
    world.advance(4min);
    EXPECT_EQ(sim.output_on(), c.on_after_4min);
    if (!c.mains) {
      sim.set_mains(true);
      EXPECT_TRUE(sim.output_on());
    }
  }
}

TEST(SimulatedUpsQx, RepliesTakeTheirTimeAt2400Baud) {
  SimulatedUpsOptions options = qx_options();
  options.pacing = true;
  SimulatedUps sim(options);
  sim.start();
  const int fd = openport(sim.slave_path().c_str());
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(qx_ask(fd, "Q1\r").size(), qx::status_reply_size);
  // "Q1\r" and the 47 bytes of the status at 240 bytes a second.
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 50.0 / 240.0);
  close(fd);
}

}  // namespace
}  // namespace tornax
