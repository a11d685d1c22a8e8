// A simulated UPS on a pseudo-terminal: the fixture of the daemon's tests and
// the stand-in for a real UPS in the demo. It owns the master side of a pty
// and answers the serial protocol there, while the daemon opens the slave side
// by its path as it would open a serial device.
//
// It speaks one of two protocols. Classic: replies are "<mark><value>\r\n".
// The mark follows the simulated state: none (or a blank, if asked for) while
// all is well, "!" on battery, "$" on the first reply after mains came back,
// "*" at low battery, or a mark forced by hand. The identification reply
// never carries a mark. Qx: commands end with CR; Q1 answers
// "(<readings> <8 status bits>\r", I and F answer "#...\r", the control
// commands (T, S<n>R<m>, C...) are not answered and an unknown command is
// echoed. The state shows in the status bits instead of marks (a forced mark
// sets the bits it stands for). Battery level and backup time fall while on
// battery and recover on mains.
//
// Everything received is kept as a log of commands with their arrival times,
// so tests can check the exact bytes of each command and benchmarks the period
// of the polling. One I/O thread serves the pty; every public member may be
// called from any thread.
//
// Fault modes turn it into the UPS a daemon meets on a bad day: line noise, a
// wrong line speed (garbage), replies split or trickled by a serial adapter,
// a stall in mid-reply, a flood of unsolicited bytes, a wrong line end, a
// hang-up. Each is a switch. While a journal is kept, every byte written is
// recorded with what the UPS meant to say, so that a test's model can judge a
// daemon by the UPS's intent rather than by the daemon's own reading.
#ifndef TORNAX_SIM_SIMULATED_UPS_H
#define TORNAX_SIM_SIMULATED_UPS_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tornax {

// What a switch-off of 0 ("D=0": off until the mains return) does while the
// mains are present. Real UPSes differ: some ignore it and keep the output on,
// others obey and switch off, to wait for a return of the mains that never
// comes. Either way a host halted on it stays dark.
enum class ZeroOnMains { ignore, obey };

// The protocol the simulator speaks.
enum class SimProtocol { classic, qx };

// What the Qx identification (I) answers.
struct QxIdentity {
  std::string manufacturer = "TXSIM";  // 15 characters at most
  std::string model = "Simline QX";    // 10
  std::string firmware = "QX1.0";      // 10
};

struct SimulatedUpsOptions {
  SimProtocol protocol = SimProtocol::classic;
  QxIdentity qx_identity;
  bool qx_identifies = true;  // Qx: answers I and F (some units answer neither)
  std::string identification = "TXSIM-1 Simline 1000VA";  // family name at offset 8
  double nominal_voltage = 230.0;
  double battery_percent = 100.0;
  double load_percent = 40.0;
  double runtime_minutes = 30.0;      // backup time of a full battery
  double low_battery_percent = 10.0;  // on battery the "*" mark starts here; 0: never
  int self_test_seconds = 10;         // how long "XT" keeps the test running
  bool mains = true;
  bool blank_mark = false;  // mark quiet replies with a blank instead of nothing
  bool pacing = false;      // deliver each reply after its time on the line (4800 baud; Qx 2400)
  std::string link_path;    // when set, start() makes a symlink to the slave here
  std::size_t log_limit = 100000;  // oldest log entries are dropped beyond this
  std::uint64_t seed = 1;          // the random bytes and choices of the fault modes
  ZeroOnMains zero_on_mains = ZeroOnMains::ignore;
  // The simulated world's clock: the battery's charge, a silence for a while
  // and the self-test run on it. Empty: the steady clock. Tests pass a clock
  // they move, so simulated minutes pass without sleeping. The line's own
  // timing (pacing, the fault modes) always runs on the steady clock.
  std::function<std::chrono::steady_clock::time_point()> clock;
};

// One event on the line, as a journal keeps it (see set_journal).
struct LineEvent {
  enum class Kind {
    command,  // a command received: `bytes`
    write,    // bytes written to the line in one write: `bytes`, `stray`
    reply,    // the last write of a reply went out: the command answered (`bytes`,
              // without its line end), `mark`, `clean`, `latency`, `spread`. A Qx
              // reply's `mark` is the classic mark its status bits stand for
              // ("!" on battery, "*" low on battery, "$" the first on mains again)
    hangup,   // the pty was closed and a new one opened
  };
  LineEvent() = default;
  explicit LineEvent(Kind k, std::string b = {}, bool s = false)
      : kind(k), bytes(std::move(b)), stray(s) {}

  Kind kind = Kind::command;
  std::string bytes;
  bool stray = false;  // write: no part of a reply as meant (noise, flood, garbage)
  char mark = '\0';    // reply: the mark the UPS's state called for ('\0' none)
  // reply: written exactly as meant (value, mark, line end), with nothing else
  // written from the receipt of the command before it until its last byte,
  // and no newer command received before it was complete.
  bool clean = false;
  std::chrono::microseconds latency{0};  // reply: from its command to its first byte
  std::chrono::microseconds spread{0};   // reply: from its first byte to its last
  std::string value;                     // reply: the value meant, without mark and line end
};

// One command as the UPS received it.
struct ReceivedCommand {
  std::string bytes;  // exactly as received: line end and NUL padding included
  std::string reply;  // the bytes answered; empty when nothing was answered
  std::chrono::steady_clock::time_point at;  // when the command was complete
};

class SimulatedUps {
 public:
  // Called on the I/O thread for each command once it is complete. The
  // callback must not call back into the simulator's log waits.
  using Observer = std::function<void(const ReceivedCommand &)>;

  explicit SimulatedUps(SimulatedUpsOptions options = {});
  ~SimulatedUps();  // stops the simulator
  SimulatedUps(const SimulatedUps &) = delete;
  SimulatedUps &operator=(const SimulatedUps &) = delete;

  // Opens the pty (keeping a slave descriptor open, so the master never sees a
  // hang-up between users), makes the link if asked and starts answering.
  // Throws std::system_error when the pty or the link cannot be made.
  void start();
  // Stops answering, closes the pty and removes the link. Idempotent.
  void stop();
  // The slave's path, e.g. "/dev/pts/3"; empty before start(). A hang-up
  // changes it.
  std::string slave_path() const;
  // Sets the observer; call before start().
  void set_observer(Observer observer) { observer_ = std::move(observer); }

  // Mains present or failed. Mains coming back ends a low battery and puts
  // "$" on the next reply.
  void set_mains(bool on);
  void set_low_battery(bool low);
  // The next `count` replies carry `mark`; a negative count keeps it until
  // clear_forced_mark().
  void force_mark(char mark, int count = -1);
  void clear_forced_mark();
  // Silent: commands are received and logged but not answered.
  void set_silent(bool silent);
  void set_silent_for(std::chrono::milliseconds duration);
  void set_battery(double percent);  // held to 0..100
  void set_load(double percent);     // held to 0..200
  void set_identification(std::string text);
  void set_nominal_voltage(double volts);
  // The self-test status text, now and as the outcome of later self-tests
  // (before any test it is "NO", while one runs "IP", after one "OK"). Ends a
  // running self-test.
  void set_test_status(std::string text);
  // Replaces the value text of a query (command without its line end, e.g.
  // "L"); the mark and the line end are still added (Qx: the line end).
  void set_reply(const std::string &command, std::string text);
  // Replaces the whole reply with exactly these bytes (no mark, no line end
  // added), for odd replies.
  void set_raw_reply(const std::string &command, std::string bytes);
  // Back to the simulated reply for this command.
  void clear_reply(const std::string &command);
  void set_pacing(bool on);
  void set_blank_mark(bool on);

  // Qx: the model of the I reply, and whether I and F are answered.
  void set_qx_model(std::string model);
  void set_qx_identifies(bool on);
  SimProtocol protocol() const { return options_.protocol; }

  // ---- The output -----------------------------------------------------------
  // "TD=<seconds>" sets the delay of the next switch-off; "D=<minutes>"
  // switches the output off once that delay has passed, for that many
  // minutes and then until the mains are present, or, for 0, until the mains
  // return (see ZeroOnMains). Qx: "S<n>R<m>" switches off after n (".2" to
  // ".9" tenths, "01" to "10" minutes; battery low cuts it short) for m
  // minutes, then once the mains are present; "S<n>" alone until they are;
  // "C" cancels, or ends the wait when the mains are present. Times run on
  // the simulated world's clock.
  void set_zero_on_mains(ZeroOnMains behaviour);
  // Whether the output is on now.
  bool output_on() const;
  // How many times the output went off and came back on (the host behind
  // it booted again).
  int output_cycles() const;

  // ---- Fault modes --------------------------------------------------------
  // The reply faults (garbage, line end, split, trickle, stall, flood) apply
  // to a random share of the replies, all by default; the identification
  // reply is never touched. Of split, trickle and stall the last named in
  // this list wins.
  void set_fault_share(double percent);  // held to 0..100
  // Random bytes at a rate, at random moments, whatever is asked; 0 off.
  void set_noise(double bytes_per_second);
  // Random bytes (1 to 24, half of them starting with a mark, half of them
  // followed by "\r\n") instead of a reply.
  void set_garbage(bool on);
  // The bytes a reply ends with (the protocol's own when all is well).
  void set_line_end(std::string line_end);
  // The protocol's own line end of replies: "\r\n", Qx "\r".
  std::string own_line_end() const;
  // The reply in two writes, the first `at_byte` bytes long, `gap` apart; 0 off.
  void set_split(int at_byte, std::chrono::milliseconds gap);
  // The reply one byte a write, `gap` apart; a negative gap is off.
  void set_trickle(std::chrono::milliseconds gap);
  // The reply stops after its first half for `pause`; 0 off. Commands that
  // come meanwhile are answered after it, as a UPS would.
  void set_stall(std::chrono::milliseconds pause);
  // `bytes` unsolicited random bytes right after the reply; 0 off.
  void set_flood(std::size_t bytes);
  // Every fault mode off.
  void clear_faults();
  // Closes the pty, opens a new one and points the link at it, as a UPS
  // that hangs up and comes back; the old slave sees a hang-up. Returns once
  // the new pty answers.
  void hang_up();

  // Keeps (or stops keeping) the journal of the line.
  void set_journal(bool on);
  // The journal since the last call, oldest first; empties it.
  std::vector<LineEvent> take_journal();
  // Waits, at most `timeout`, until the simulator has taken every byte
  // written to its line so far and sent the replies due at once; false on
  // time-out. Between the cycles of an unpaced daemon this stands for a
  // paced daemon's second: the last command of a cycle is then in that
  // cycle's journal, and its reply is not left to land in the next cycle
  // unless a fault mode holds it back.
  bool settle(std::chrono::milliseconds timeout);

  // The log, oldest first (at most log_limit entries).
  std::vector<ReceivedCommand> received() const;
  // Commands received since start or the last clear_received().
  std::size_t received_count() const;
  void clear_received();
  // Waits until received_count() >= count; false when the time ran out.
  bool wait_for_received(std::size_t count, std::chrono::milliseconds timeout) const;
  // One line describing the state: mains, battery, backup time, marks,
  // silence, fault modes.
  std::string describe() const;

 private:
  using Clock = std::chrono::steady_clock;

  // Faults set from any thread, read by the I/O thread under mutex_.
  struct Faults {
    double share = 100.0;
    double noise_rate = 0.0;
    bool garbage = false;
    std::optional<std::string> line_end;  // a wrong line end; empty: the protocol's own
    int split_at = 0;
    std::chrono::milliseconds split_gap{0};
    std::chrono::milliseconds trickle_gap{-1};
    std::chrono::milliseconds stall{0};
    std::size_t flood = 0;
  };
  // A piece of output waiting its turn: written `gap` after the write before
  // it, and not before `not_before`.
  struct Chunk {
    std::string bytes;
    Clock::time_point not_before;
    std::chrono::microseconds gap{0};
    bool stray = false;
    long reply = 0;  // the reply it belongs to, 0 for none
    bool last = false;
  };
  // A reply on its way out.
  struct Outgoing {
    long id = 0;
    std::string key;
    char mark = '\0';
    std::string value;
    bool clean = false;
    Clock::time_point received, first;
    bool started = false;
  };
  // A reply as the UPS's state makes it: mark, value and line end.
  struct Meant {
    std::string bytes;
    std::string key;
    char mark = '\0';
    bool faultless = false;  // the identification, which no fault touches
    std::string value;       // the value text alone
  };

  void open_pty();
  void make_link();
  void remove_link();
  void serve();
  int poll_timeout(Clock::time_point now) const;
  void wake();
  void take_input(const char *bytes, std::size_t length);
  void take_byte(char byte);
  void complete_line();
  void finish_pending();
  void publish(const ReceivedCommand &command);
  void note_command(const std::string &bytes);
  void answer(const std::string &command);
  std::string plan_delivery(const Meant &meant, const Faults &faults, std::size_t command_size);
  void deliver_due(Clock::time_point now);
  void write_chunk(const Chunk &chunk, Clock::time_point now);
  void emit_noise(Clock::time_point now);
  void schedule_noise(Clock::time_point now);
  void reopen();
  void note_if_settled();
  void journal(LineEvent event);
  std::string random_bytes(std::size_t count);
  std::optional<Meant> reply_to(const std::string &key, const std::string &bytes);
  std::optional<std::string> value_text(const std::string &key);
  std::optional<char> next_mark();
  void advance(Clock::time_point now);
  bool silent_now(Clock::time_point now) const;
  // Now on the simulated world's clock (options_.clock).
  Clock::time_point model_now() const;
  std::string test_status(Clock::time_point now) const;
  double backup_minutes() const;
  std::string describe_faults() const;
  void obey_control(const std::string &key);
  bool qx() const { return options_.protocol == SimProtocol::qx; }
  void obey_qx_control(const std::string &key);
  std::optional<Meant> qx_reply_to(const std::string &key, const std::string &bytes);
  std::string qx_status(char &mark);
  std::string qx_ratings() const;
  std::string qx_identification() const;
  std::optional<char> take_forced_mark();
  std::string describe_output(Clock::time_point now) const;
  bool output_back(Clock::time_point now) const;

  SimulatedUpsOptions options_;
  Observer observer_;
  std::string slave_path_;
  int master_fd_ = -1;
  int slave_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  std::thread thread_;

  // Parser and output state, I/O thread only.
  std::string line_;
  std::optional<ReceivedCommand> pending_;  // a control command awaiting its padding
  Clock::time_point pending_deadline_;
  std::deque<Chunk> outbox_;
  Clock::time_point last_write_;
  std::deque<Outgoing> outgoing_;  // replies not yet written whole, oldest first
  long last_reply_id_ = 0;         // the reply to the newest command, 0 for none
  long reply_counter_ = 0;
  bool foreign_before_ = false;  // foreign bytes written between the last two commands
  bool foreign_now_ = false;     // foreign bytes written since the newest command
  Clock::time_point next_noise_;
  std::mt19937_64 random_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  bool hangup_requested_ = false;
  long hangups_ = 0;
  long settle_asked_ = 0, settle_done_ = 0;  // settle() calls, and those answered
  Faults faults_;
  bool journal_on_ = false;
  std::vector<LineEvent> journal_;
  bool low_battery_ = false;
  bool return_pending_ = false;
  std::optional<char> forced_mark_;
  int forced_count_ = 0;
  bool silent_ = false;
  Clock::time_point silent_until_;
  Clock::time_point last_update_;
  Clock::time_point test_until_;
  std::string test_result_ = "NO";   // before any self-test
  std::string test_outcome_ = "OK";  // what a self-test ends with
  // A switch-off under way: when the output goes off, and when it may come
  // back (empty: when the mains return after it went off).
  struct SwitchOff {
    Clock::time_point off_at;
    std::optional<Clock::time_point> back_at;
    bool mains_returned = false;
  };
  int shutdown_delay_ = 0;          // seconds, from the last "TD="
  bool qx_was_on_battery_ = false;  // Qx: the last status said so
  bool qx_beeper_muted_ = false;    // Qx: "Q" toggles it
  std::optional<SwitchOff> switch_off_;
  int output_cycles_ = 0;
  std::map<std::string, std::string> replies_;
  std::map<std::string, std::string> raw_replies_;
  std::deque<ReceivedCommand> log_;
  std::size_t received_count_ = 0;
};

// The bytes as a quoted C-like text, trailing NUL bytes counted instead:
// "TD=5\n" followed by ten NULs reads `"TD=5\n" + 10 NUL`.
std::string describe_bytes(const std::string &bytes);

}  // namespace tornax

#endif  // TORNAX_SIM_SIMULATED_UPS_H
