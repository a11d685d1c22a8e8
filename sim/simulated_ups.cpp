#include "sim/simulated_ups.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace tornax {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t control_command_bytes = 15;
constexpr std::size_t max_line = 64;
constexpr auto padding_grace = std::chrono::milliseconds(100);
// A start and a stop bit: 480 bytes a second at 4800 baud, 240 at 2400 (Qx).
constexpr double seconds_per_byte = 10.0 / 4800.0;
constexpr double qx_seconds_per_byte = 10.0 / 2400.0;
constexpr double cell_volts_empty = 1.9;
constexpr double cell_volts_span = 0.25;  // to 2.15 V a cell, full
constexpr double qx_battery_volts = 24.0;
constexpr auto qx_restore_grace = std::chrono::seconds(10);
constexpr double rated_watts = 800.0;
constexpr double empty_battery_volts = 21.0;
constexpr double full_battery_span = 6.4;
constexpr double charge_slowdown = 2.0;  // charging takes twice the backup time

[[noreturn]] void fail(const char *what) {
  throw std::system_error(errno, std::generic_category(), what);
}

__attribute__((format(printf, 1, 2))) std::string format(const char *fmt, ...) {
  char text[64];
  va_list arguments;
  va_start(arguments, fmt);
  std::vsnprintf(text, sizeof text, fmt, arguments);
  va_end(arguments);
  return text;
}

// The command without its line end, as the protocol names it ("L", "B%").
std::string command_key(const std::string &bytes) {
  std::string key = bytes.substr(0, bytes.find('\n'));
  if (!key.empty() && key.back() == '\r') {
    key.pop_back();
  }
  return key;
}

bool is_control_command(const std::string &key) {
  return key.rfind("TD=", 0) == 0 || key.rfind("D=", 0) == 0;
}

bool all_digits(const std::string &text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The delay of a Qx "S<n>": ".2" to ".9" tenths of a minute, "01" to "10"
// minutes. Nothing for any other text.
std::optional<int> qx_delay_seconds(const std::string &n) {
  if (n.size() == 2 && n[0] == '.' && n[1] >= '2' && n[1] <= '9') {
    return (n[1] - '0') * 6;
  }
  if (n.size() == 2 && all_digits(n) && std::stoi(n) >= 1 && std::stoi(n) <= 10) {
    return std::stoi(n) * 60;
  }
  return std::nullopt;
}

// A Qx "S<n>" or "S<n>R<mmmm>": the delay in seconds and the minutes off
// (empty: until the mains are present).
struct QxShutdown {
  int delay_seconds = 0;
  std::optional<int> minutes_off;
};
std::optional<QxShutdown> qx_shutdown(const std::string &key) {
  if (key.size() < 3 || key[0] != 'S') {
    return std::nullopt;
  }
  const std::optional<int> delay = qx_delay_seconds(key.substr(1, 2));
  if (!delay) {
    return std::nullopt;
  }
  if (key.size() == 3) {
    return QxShutdown{*delay, std::nullopt};
  }
  const std::string rest = key.substr(3);
  if (rest.size() != 5 || rest[0] != 'R' || !all_digits(rest.substr(1))) {
    return std::nullopt;
  }
  return QxShutdown{*delay, std::stoi(rest.substr(1))};
}

// The commands a Qx UPS takes without answering.
bool is_qx_control(const std::string &key) {
  if (key == "T" || key == "TL" || key == "Q" || key == "C" || key == "CT") {
    return true;
  }
  if (key.size() == 3 && key[0] == 'T' && all_digits(key.substr(1)) && key != "T00") {
    return true;
  }
  return qx_shutdown(key).has_value();
}

// A number in a fixed-width field, zero-padded, at most what the width holds.
std::string fixed(int width, int decimals, double value, double largest) {
  return format("%0*.*f", width, decimals, std::clamp(value, 0.0, largest));
}

void close_fd(int &fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

}  // namespace

SimulatedUps::SimulatedUps(SimulatedUpsOptions options)
    : options_(std::move(options)), random_(options_.seed), last_update_(model_now()) {}

SimulatedUps::~SimulatedUps() {
  stop();
}

void SimulatedUps::start() {
  if (thread_.joinable()) {
    return;
  }
  open_pty();
  if (pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    fail("pipe2");
  }
  make_link();
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { serve(); });
}

void SimulatedUps::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) {
    wake();
    thread_.join();
  }
  remove_link();
  close_fd(master_fd_);
  close_fd(slave_fd_);
  close_fd(wake_pipe_[0]);
  close_fd(wake_pipe_[1]);
}

std::string SimulatedUps::slave_path() const {
  std::lock_guard lock(mutex_);
  return slave_path_;
}

void SimulatedUps::open_pty() {
  master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_fd_ < 0) {
    fail("posix_openpt");
  }
  char path[128];
  if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0 ||
      ptsname_r(master_fd_, path, sizeof path) != 0) {
    fail("pty set-up");
  }
  {
    std::lock_guard lock(mutex_);
    slave_path_ = path;
  }
  slave_fd_ = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_fd_ < 0) {
    fail("open pty slave");
  }
  // Raw from the start: with the default echo the simulator would read its
  // own replies back as commands until a user configures the line.
  struct termios tio {};
  tcgetattr(slave_fd_, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave_fd_, TCSANOW, &tio);
  fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
}

// The link is replaced in one step (a new symlink renamed over it), so a
// daemon that opens it after a hang-up never finds it missing.
void SimulatedUps::make_link() {
  const std::string &link = options_.link_path;
  if (link.empty()) {
    return;
  }
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    errno = EEXIST;
    fail(("link path is not a symlink: " + link).c_str());
  }
  const std::string fresh = link + ".new";
  unlink(fresh.c_str());
  if (symlink(slave_path().c_str(), fresh.c_str()) != 0 ||
      rename(fresh.c_str(), link.c_str()) != 0) {
    fail(("symlink " + link).c_str());
  }
}

// Removes the link only while it still points at this simulator's pty, so a
// newer simulator's link survives an older one's exit.
void SimulatedUps::remove_link() {
  const std::string &link = options_.link_path;
  const std::string slave = slave_path();
  if (link.empty() || slave.empty()) {
    return;
  }
  char target[256];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slave) {
    unlink(link.c_str());
  }
}

void SimulatedUps::wake() {
  const char byte = 0;
  [[maybe_unused]] const ssize_t ignored = write(wake_pipe_[1], &byte, 1);
}

void SimulatedUps::serve() {
  char buf[256];
  for (;;) {
    struct pollfd fds[2] = {{master_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, poll_timeout(Clock::now())) < 0 && errno != EINTR) {
      return;
    }
    if (fds[1].revents != 0) {
      while (read(wake_pipe_[0], buf, sizeof buf) > 0) {
      }
      std::unique_lock lock(mutex_);
      if (stopping_) {
        return;
      }
      if (hangup_requested_) {
        hangup_requested_ = false;
        lock.unlock();
        reopen();
        continue;
      }
    }
    const Clock::time_point now = Clock::now();
    if (pending_ && now >= pending_deadline_) {
      finish_pending();
    }
    if ((fds[0].revents & POLLIN) != 0) {
      const ssize_t n = read(master_fd_, buf, sizeof buf);
      if (n > 0) {
        take_input(buf, static_cast<std::size_t>(n));
      }
    }
    deliver_due(Clock::now());
    emit_noise(Clock::now());
    note_if_settled();
  }
}

// Answers a waiting settle() once no input is waiting: every command
// written so far is in the journal, and the replies due at once have gone
// out (deliver_due ran after the input was taken). Polling the master also
// pushes through the bytes still on their way from the slave, so a command
// written before settle() was called is seen here. A reply that a fault mode
// holds back stays queued: it is marked unclean once a newer command comes.
void SimulatedUps::note_if_settled() {
  long asked = 0;
  {
    std::lock_guard lock(mutex_);
    if (settle_done_ >= settle_asked_) {
      return;
    }
    asked = settle_asked_;
  }
  struct pollfd input {
    master_fd_, POLLIN, 0
  };
  if (poll(&input, 1, 0) > 0 && (input.revents & POLLIN) != 0) {
    return;
  }
  {
    std::lock_guard lock(mutex_);
    settle_done_ = asked;
  }
  changed_.notify_all();
}

// Until the next thing due: a control command's padding, the next piece of
// output, the next noise byte. -1 when nothing is.
int SimulatedUps::poll_timeout(Clock::time_point now) const {
  std::optional<Clock::time_point> due;
  const auto consider = [&due](Clock::time_point at) { due = due ? std::min(*due, at) : at; };
  if (pending_) {
    consider(pending_deadline_);
  }
  if (!outbox_.empty()) {
    consider(std::max(outbox_.front().not_before, last_write_ + outbox_.front().gap));
  }
  if (next_noise_ != Clock::time_point{}) {
    consider(next_noise_);
  }
  if (!due) {
    return -1;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - now);
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
}

void SimulatedUps::take_input(const char *bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    take_byte(bytes[i]);
  }
}

// A control command is 15 bytes: its text and NUL padding. NUL bytes that
// follow any other command are padding of that command too.
void SimulatedUps::take_byte(char byte) {
  if (qx()) {
    line_ += byte;
    if (byte == '\r') {
      complete_line();
    } else if (line_.size() >= max_line) {
      publish({std::exchange(line_, {}), {}, Clock::now()});
    }
    return;
  }
  if (pending_) {
    if (byte == '\0' && pending_->bytes.size() < control_command_bytes) {
      pending_->bytes += byte;
      if (pending_->bytes.size() == control_command_bytes) {
        finish_pending();
      }
      return;
    }
    finish_pending();
  }
  if (byte == '\0' && line_.empty()) {
    std::lock_guard lock(mutex_);
    if (!log_.empty()) {
      log_.back().bytes += byte;
      return;
    }
  }
  line_ += byte;
  if (byte == '\n') {
    complete_line();
  } else if (line_.size() >= max_line) {
    publish({std::exchange(line_, {}), {}, Clock::now()});
  }
}

void SimulatedUps::complete_line() {
  std::string bytes = std::exchange(line_, {});
  const std::string key = command_key(bytes);
  if (qx() && is_qx_control(key)) {
    note_command(bytes);
    obey_qx_control(key);
    publish({std::move(bytes), {}, Clock::now()});
    return;
  }
  if (qx()) {
    answer(bytes);
    return;
  }
  if (is_control_command(key)) {
    note_command(bytes);
    obey_control(key);
  }
  if (is_control_command(key) && bytes.size() < control_command_bytes) {
    pending_ = ReceivedCommand{std::move(bytes), {}, Clock::now()};
    pending_deadline_ = Clock::now() + padding_grace;
    return;
  }
  if (is_control_command(key)) {
    publish({std::move(bytes), {}, Clock::now()});
    return;
  }
  answer(bytes);
}

// "TD=<seconds>" or "D=<minutes>". A number that does not read counts as 0,
// as does a negative one.
void SimulatedUps::obey_control(const std::string &key) {
  const bool delay = key.rfind("TD=", 0) == 0;
  const long value = std::max(0L, std::strtol(key.c_str() + (delay ? 3 : 2), nullptr, 10));
  std::lock_guard lock(mutex_);
  const Clock::time_point now = model_now();
  advance(now);
  if (delay) {
    shutdown_delay_ = static_cast<int>(std::min(value, 86400L));
    return;
  }
  if (value == 0 && options_.mains && options_.zero_on_mains == ZeroOnMains::ignore) {
    return;
  }
  SwitchOff plan{now + std::chrono::seconds(shutdown_delay_), std::nullopt, false};
  if (value > 0) {
    plan.back_at = plan.off_at + std::chrono::minutes(std::min(value, 100000L));
  }
  switch_off_ = plan;
}

// A Qx control command: a self-test, the beeper, a switch-off or its cancel.
void SimulatedUps::obey_qx_control(const std::string &key) {
  std::lock_guard lock(mutex_);
  const Clock::time_point now = model_now();
  advance(now);
  if (key[0] == 'T') {
    const auto length = key == "T"    ? std::chrono::seconds(options_.self_test_seconds)
                        : key == "TL" ? std::chrono::seconds(86400)
                                      : std::chrono::seconds(std::stoi(key.substr(1)) * 60);
    test_until_ = now + length;
    test_result_ = test_outcome_;
  } else if (key == "CT") {
    test_until_ = now;
  } else if (key == "Q") {
    qx_beeper_muted_ = !qx_beeper_muted_;
  } else if (key == "C") {
    if (switch_off_ && (now < switch_off_->off_at || options_.mains)) {
      output_cycles_ += now < switch_off_->off_at ? 0 : 1;
      switch_off_.reset();
    }
  } else if (const std::optional<QxShutdown> s = qx_shutdown(key)) {
    SwitchOff plan{now + std::chrono::seconds(s->delay_seconds), std::nullopt, false};
    // The output returns once the mains are present: after the minutes off,
    // or, without R, the grace after the switch-off.
    plan.back_at =
        plan.off_at +
        (s->minutes_off
             ? std::chrono::duration_cast<Clock::duration>(std::chrono::minutes(*s->minutes_off))
             : std::chrono::duration_cast<Clock::duration>(qx_restore_grace));
    switch_off_ = plan;
  }
}

void SimulatedUps::finish_pending() {
  publish(*pending_);
  pending_.reset();
}

void SimulatedUps::publish(const ReceivedCommand &command) {
  {
    std::lock_guard lock(mutex_);
    log_.push_back(command);
    while (log_.size() > options_.log_limit && !log_.empty()) {
      log_.pop_front();
    }
    ++received_count_;
  }
  changed_.notify_all();
  if (observer_) {
    observer_(command);
  }
}

// A new command means the daemon is done with every reply before it: what of
// them is still to come will land on the new exchange.
void SimulatedUps::note_command(const std::string &bytes) {
  foreign_before_ = foreign_now_;
  foreign_now_ = false;
  for (Outgoing &reply : outgoing_) {
    reply.clean = false;
  }
  last_reply_id_ = 0;
  journal(LineEvent(LineEvent::Kind::command, bytes));
}

// The command is logged before its reply goes out, so a caller that got the
// reply always finds the command in the log.
void SimulatedUps::answer(const std::string &command) {
  const Clock::time_point at = Clock::now();
  note_command(command);
  std::optional<Meant> meant;
  Faults faults;
  {
    std::lock_guard lock(mutex_);
    meant = reply_to(command_key(command), command);
    faults = faults_;
  }
  if (!meant) {
    publish({command, "", at});
    return;
  }
  publish({command, plan_delivery(*meant, faults, command.size()), at});
}

// Queues the reply behind what is still to go out, as the fault modes shape
// it when this reply is one they apply to. Returns the reply's bytes.
std::string SimulatedUps::plan_delivery(const Meant &meant, const Faults &faults,
                                        std::size_t command_size) {
  const bool hit =
      !meant.faultless && std::uniform_real_distribution<double>(0, 100)(random_) < faults.share;
  std::string bytes = meant.bytes;
  bool exact = true;
  if (hit && faults.garbage) {
    // Half of it starts with a mark: the worst a daemon can meet.
    // Qx: half of it starts as a status reply does.
    static constexpr char marks[] = " !$*@";
    const std::string end = qx() ? "\r" : "\r\n";
    bytes = random_bytes(1 + random_() % (qx() ? 48 : 24)) + (random_() % 2 == 0 ? end : "");
    if (random_() % 2 == 0) {
      bytes[0] = qx() ? '(' : marks[random_() % 5];
    }
    exact = false;
  } else if (hit && faults.line_end && !meant.faultless) {
    const std::size_t own = qx() ? 1 : 2;
    bytes.replace(bytes.size() - std::min(own, bytes.size()), own, *faults.line_end);
    exact = false;
  }
  const Clock::time_point now = Clock::now();
  const long id = ++reply_counter_;
  outgoing_.push_back(
      {id, meant.key, meant.mark, meant.value, exact && !foreign_before_, now, {}, false});
  last_reply_id_ = id;

  Clock::time_point not_before = now;
  {
    std::lock_guard lock(mutex_);
    if (options_.pacing) {
      const double seconds = static_cast<double>(command_size + bytes.size()) *
                             (qx() ? qx_seconds_per_byte : seconds_per_byte);
      not_before +=
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
  }
  using us = std::chrono::microseconds;
  std::vector<std::pair<std::string, us>> pieces;
  if (hit && faults.stall.count() > 0 && bytes.size() > 1) {
    const std::size_t half = bytes.size() / 2;
    pieces = {{bytes.substr(0, half), us{}}, {bytes.substr(half), faults.stall}};
  } else if (hit && faults.trickle_gap.count() >= 0) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      pieces.push_back({bytes.substr(i, 1), i == 0 ? us{} : us{faults.trickle_gap}});
    }
  } else if (hit && faults.split_at > 0 &&
             static_cast<std::size_t>(faults.split_at) < bytes.size()) {
    const auto at = static_cast<std::size_t>(faults.split_at);
    pieces = {{bytes.substr(0, at), us{}}, {bytes.substr(at), faults.split_gap}};
  } else {
    pieces = {{bytes, us{}}};
  }
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    outbox_.push_back({pieces[i].first, i == 0 ? not_before : Clock::time_point{}, pieces[i].second,
                       !exact && faults.garbage, id, i + 1 == pieces.size()});
  }
  if (hit && faults.flood > 0) {
    outbox_.push_back({random_bytes(faults.flood), {}, us{}, true, 0, false});
  }
  return bytes;
}

void SimulatedUps::deliver_due(Clock::time_point now) {
  while (!outbox_.empty()) {
    const Chunk &head = outbox_.front();
    if (now < head.not_before || now < last_write_ + head.gap) {
      return;
    }
    write_chunk(head, now);
    outbox_.pop_front();
  }
}

// The master is non-blocking: when nobody reads the slave and its buffer is
// full, the bytes are dropped instead of stalling the simulator.
void SimulatedUps::write_chunk(const Chunk &chunk, Clock::time_point now) {
  last_write_ = now;
  // Bytes other than the newest command's own reply may land in its exchange.
  if (chunk.stray || chunk.reply != last_reply_id_) {
    foreign_now_ = true;
  }
  std::vector<LineEvent> events{LineEvent(LineEvent::Kind::write, chunk.bytes, chunk.stray)};
  if (chunk.reply != 0 && !outgoing_.empty() && outgoing_.front().id == chunk.reply) {
    Outgoing &reply = outgoing_.front();
    if (!reply.started) {
      reply.started = true;
      reply.first = now;
    }
    if (chunk.last) {
      LineEvent done(LineEvent::Kind::reply, reply.key);
      done.mark = reply.mark;
      done.value = reply.value;
      done.clean = reply.clean && reply.id == last_reply_id_ && !foreign_now_;
      done.latency =
          std::chrono::duration_cast<std::chrono::microseconds>(reply.first - reply.received);
      done.spread = std::chrono::duration_cast<std::chrono::microseconds>(now - reply.first);
      events.push_back(std::move(done));
      outgoing_.pop_front();
    }
  }
  // The bytes and their record go together: a journal taken at any moment
  // holds both or neither, so a reader that saw the bytes finds the record.
  std::lock_guard lock(mutex_);
  [[maybe_unused]] const ssize_t ignored =
      write(master_fd_, chunk.bytes.data(), chunk.bytes.size());
  if (journal_on_) {
    for (LineEvent &event : events) {
      journal_.push_back(std::move(event));
    }
  }
}

// Noise comes one byte at a time at random moments (a Poisson stream).
void SimulatedUps::emit_noise(Clock::time_point now) {
  double rate;
  {
    std::lock_guard lock(mutex_);
    rate = faults_.noise_rate;
  }
  if (rate <= 0) {
    next_noise_ = {};
    return;
  }
  if (next_noise_ == Clock::time_point{}) {
    schedule_noise(now);
    return;
  }
  while (now >= next_noise_) {
    write_chunk({random_bytes(1), {}, {}, true, 0, false}, now);
    next_noise_ += std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::exponential_distribution<double>(rate)(random_)));
  }
}

void SimulatedUps::schedule_noise(Clock::time_point now) {
  double rate;
  {
    std::lock_guard lock(mutex_);
    rate = faults_.noise_rate;
  }
  next_noise_ = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                          std::exponential_distribution<double>(rate)(random_)));
}

// The hang-up: the old slave sees its other side close, then a new pty is
// there under the link. What was still to go out is lost with the old line.
void SimulatedUps::reopen() {
  close_fd(master_fd_);
  close_fd(slave_fd_);
  open_pty();
  make_link();
  line_.clear();
  pending_.reset();
  outbox_.clear();
  outgoing_.clear();
  last_reply_id_ = 0;
  foreign_before_ = foreign_now_ = false;
  journal(LineEvent(LineEvent::Kind::hangup));
  {
    std::lock_guard lock(mutex_);
    ++hangups_;
  }
  changed_.notify_all();
}

void SimulatedUps::journal(LineEvent event) {
  std::lock_guard lock(mutex_);
  if (journal_on_) {
    journal_.push_back(std::move(event));
  }
}

std::string SimulatedUps::random_bytes(std::size_t count) {
  std::string bytes(count, '\0');
  for (char &byte : bytes) {
    byte = static_cast<char>(random_() & 0xff);
  }
  return bytes;
}

// Caller holds mutex_. The reply the UPS's state makes, or nothing (silent,
// an unknown command, the self-test command).
std::optional<SimulatedUps::Meant> SimulatedUps::reply_to(const std::string &key,
                                                          const std::string &bytes) {
  const Clock::time_point now = model_now();
  advance(now);
  if (silent_now(now)) {
    return std::nullopt;
  }
  if (const auto raw = raw_replies_.find(key); raw != raw_replies_.end()) {
    return Meant{raw->second, key, '\0', true, {}};
  }
  if (qx()) {
    return qx_reply_to(key, bytes);
  }
  if (key == "XT") {
    test_until_ = now + std::chrono::seconds(options_.self_test_seconds);
    test_result_ = test_outcome_;
    return std::nullopt;
  }
  std::optional<std::string> text = value_text(key);
  if (!text) {
    return std::nullopt;
  }
  if (key == "V?") {
    return Meant{*text + "\r\n", key, '\0', true, *text};
  }
  const std::optional<char> mark = next_mark();
  return Meant{(mark ? std::string(1, *mark) : std::string()) + *text + "\r\n", key,
               mark.value_or('\0'), false, *text};
}

// Caller holds mutex_. The value part of a reply; nothing for an unknown
// command.
std::optional<std::string> SimulatedUps::value_text(const std::string &key) {
  if (const auto text = replies_.find(key); text != replies_.end()) {
    return text->second;
  }
  const double nominal = options_.nominal_voltage;
  const double level = options_.battery_percent;
  const double load = options_.load_percent;
  const bool mains = options_.mains;
  if (key == "L")
    return format("%.1f", mains ? nominal + 0.5 : 0.0);
  if (key == "O")
    return format("%.1f", nominal);
  if (key == "B%")
    return format("%.0f", level);
  if (key == "P")
    return format("%.0f", load);
  if (key == "F")
    return format("%.1f", nominal < 150.0 ? 60.0 : 50.0);
  if (key == "I")
    return format("%.1f", load / 100.0 * rated_watts / nominal);
  if (key == "T") {
    const long minutes = std::lround(backup_minutes());
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", minutes / 60, minutes % 60);
    return text;
  }
  if (key == "S5")
    return test_status(model_now());
  if (key == "LN")
    return format("%.0f", nominal);
  if (key == "V?")
    return options_.identification;
  if (key == "PW")
    return format("%.0f", load / 100.0 * rated_watts);
  if (key == "G")
    return format("%.1f", mains && level < 100.0 ? 1.2 : 0.0);
  if (key == "B")
    return format("%.1f", empty_battery_volts + full_battery_span * level / 100.0);
  return std::nullopt;
}

// Caller holds mutex_. A forced mark first, then the news of mains coming
// back, then the lasting conditions.
std::optional<char> SimulatedUps::next_mark() {
  if (const std::optional<char> forced = take_forced_mark()) {
    return forced;
  }
  if (return_pending_) {
    return_pending_ = false;
    return '$';
  }
  if (low_battery_)
    return '*';
  if (!options_.mains)
    return '!';
  if (options_.blank_mark)
    return ' ';
  return std::nullopt;
}

// Caller holds mutex_. The forced mark for the next reply, if any.
std::optional<char> SimulatedUps::take_forced_mark() {
  if (!forced_mark_) {
    return std::nullopt;
  }
  const char mark = *forced_mark_;
  if (forced_count_ > 0 && --forced_count_ == 0) {
    forced_mark_.reset();
  }
  return mark;
}

// Caller holds mutex_. A Qx reply: Q1, I, F, or the echo of a command the
// UPS does not know (an unsupported query is no data).
std::optional<SimulatedUps::Meant> SimulatedUps::qx_reply_to(const std::string &key,
                                                             const std::string &bytes) {
  if (const auto text = replies_.find(key); text != replies_.end()) {
    return Meant{text->second + "\r", key, '\0', false, text->second};
  }
  std::string text;
  char mark = '\0';
  if (key == "Q1") {
    text = qx_status(mark);
  } else if ((key == "I" || key == "F") && !options_.qx_identifies) {
    return std::nullopt;
  } else if (key == "I") {
    return Meant{qx_identification() + "\r", key, '\0', true, qx_identification()};
  } else if (key == "F") {
    return Meant{qx_ratings() + "\r", key, '\0', true, qx_ratings()};
  } else {
    return Meant{bytes, key, '\0', false, key};
  }
  return Meant{text + "\r", key, mark, false, text};
}

// Caller holds mutex_. The Q1 status; `mark` is set to the classic mark its
// bits stand for. A forced mark sets the bits it means.
std::string SimulatedUps::qx_status(char &mark) {
  const Clock::time_point now = model_now();
  bool on_battery = !options_.mains;
  bool low = low_battery_;
  return_pending_ = false;  // the cleared bit is the news itself
  if (const std::optional<char> forced = take_forced_mark()) {
    on_battery =
        *forced == '!' || *forced == '@' || *forced == '*' || (on_battery && *forced == ' ');
    low = *forced == '*' || (low && *forced == ' ');
  }
  const bool testing = now < test_until_;
  const bool failed = !testing && test_result_ != "OK" && test_result_ != "NO";
  const bool counting = switch_off_ && now < switch_off_->off_at;
  const bool output = !switch_off_ || now < switch_off_->off_at || output_back(now);
  const std::string bits = std::string(on_battery ? "1" : "0") + (low ? "1" : "0") + "0" +
                           (failed ? "1" : "0") + "0" + (testing ? "1" : "0") +
                           (counting ? "1" : "0") + (on_battery && !qx_beeper_muted_ ? "1" : "0");
  mark = on_battery && low ? '*' : on_battery ? '!' : qx_was_on_battery_ ? '$' : '\0';
  qx_was_on_battery_ = on_battery;
  const double nominal = options_.nominal_voltage;
  const double input = options_.mains ? nominal + 0.5 : 0.0;
  const double cell = cell_volts_empty + cell_volts_span * options_.battery_percent / 100.0;
  return "(" + fixed(5, 1, input, 999.9) + " " + fixed(5, 1, input, 999.9) + " " +
         fixed(5, 1, output ? nominal : 0.0, 999.9) + " " +
         fixed(3, 0, options_.load_percent, 999) + " " +
         fixed(4, 1, nominal < 150.0 ? 60.0 : 50.0, 99.9) + " " + fixed(4, 2, cell, 9.99) +
         " 25.0 " + bits;
}

// Caller holds mutex_. "#" and the three fields of I, padded to their widths.
std::string SimulatedUps::qx_identification() const {
  const auto field = [](std::string text, std::size_t width) {
    text.resize(width, ' ');
    return text;
  };
  const QxIdentity &id = options_.qx_identity;
  return "#" + field(id.manufacturer, 15) + " " + field(id.model, 10) + " " +
         field(id.firmware, 10);
}

// Caller holds mutex_. "#" rated voltage, current, battery voltage, frequency.
std::string SimulatedUps::qx_ratings() const {
  const double nominal = options_.nominal_voltage;
  return "#" + fixed(5, 1, nominal, 999.9) + " " + fixed(3, 0, rated_watts / nominal, 999) + " " +
         fixed(5, 2, qx_battery_volts, 99.99) + " " +
         fixed(4, 1, nominal < 150.0 ? 60.0 : 50.0, 99.9);
}

// Caller holds mutex_. Drains the battery on battery power, recharges it on
// mains, and raises low battery when the level falls through the threshold.
void SimulatedUps::advance(Clock::time_point now) {
  if (output_back(now)) {
    switch_off_.reset();
    ++output_cycles_;
  }
  const double seconds = std::chrono::duration<double>(now - last_update_).count();
  last_update_ = now;
  const double full_seconds = std::max(options_.runtime_minutes, 0.01) * 60.0;
  double &level = options_.battery_percent;
  if (options_.mains) {
    level = std::min(100.0, level + seconds * 100.0 / (full_seconds * charge_slowdown));
    return;
  }
  const double before = level;
  level = std::max(0.0, level - seconds * 100.0 / full_seconds);
  const double threshold = options_.low_battery_percent;
  if (threshold > 0.0 && before > threshold && level <= threshold) {
    low_battery_ = true;
  }
  // A Qx UPS cuts the wait of a switch-off short at battery low.
  if (qx() && low_battery_ && switch_off_ && now < switch_off_->off_at) {
    switch_off_->back_at = *switch_off_->back_at - (switch_off_->off_at - now);
    switch_off_->off_at = now;
  }
}

// Caller holds mutex_.
SimulatedUps::Clock::time_point SimulatedUps::model_now() const {
  return options_.clock ? options_.clock() : Clock::now();
}

bool SimulatedUps::silent_now(Clock::time_point now) const {
  return silent_ || now < silent_until_;
}

// Caller holds mutex_.
std::string SimulatedUps::test_status(Clock::time_point now) const {
  return now < test_until_ ? "IP" : test_result_;
}

// Caller holds mutex_.
double SimulatedUps::backup_minutes() const {
  return options_.runtime_minutes * options_.battery_percent / 100.0;
}

void SimulatedUps::set_mains(bool on) {
  std::lock_guard lock(mutex_);
  advance(model_now());
  const Clock::time_point now = model_now();
  if (on && !options_.mains) {
    return_pending_ = true;
    low_battery_ = false;
    if (switch_off_ && now >= switch_off_->off_at) {
      switch_off_->mains_returned = true;
    }
  }
  options_.mains = on;
  advance(now);
}

void SimulatedUps::set_zero_on_mains(ZeroOnMains behaviour) {
  std::lock_guard lock(mutex_);
  options_.zero_on_mains = behaviour;
}

// Caller holds mutex_. Whether a switch-off under way has run its course.
bool SimulatedUps::output_back(Clock::time_point now) const {
  return switch_off_ && now >= switch_off_->off_at && options_.mains &&
         (switch_off_->back_at ? now >= *switch_off_->back_at : switch_off_->mains_returned);
}

bool SimulatedUps::output_on() const {
  std::lock_guard lock(mutex_);
  const Clock::time_point now = model_now();
  return !switch_off_ || now < switch_off_->off_at || output_back(now);
}

int SimulatedUps::output_cycles() const {
  std::lock_guard lock(mutex_);
  return output_cycles_ + (output_back(model_now()) ? 1 : 0);
}

// Caller holds mutex_.
std::string SimulatedUps::describe_output(Clock::time_point now) const {
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  if (!switch_off_ || output_back(now)) {
    return "output on";
  }
  if (now < switch_off_->off_at) {
    return format(
        "output on, off in %lld s",
        static_cast<long long>(duration_cast<seconds>(switch_off_->off_at - now).count()));
  }
  if (!switch_off_->back_at) {
    return options_.mains ? "output off for good (the mains it waits for are already back)"
                          : "output off until the mains return";
  }
  if (now < *switch_off_->back_at) {
    return format(
        "output off, back in %lld s",
        static_cast<long long>(duration_cast<seconds>(*switch_off_->back_at - now).count()));
  }
  return "output off until the mains return";
}

void SimulatedUps::set_low_battery(bool low) {
  std::lock_guard lock(mutex_);
  low_battery_ = low;
}

void SimulatedUps::force_mark(char mark, int count) {
  std::lock_guard lock(mutex_);
  if (count == 0) {
    forced_mark_.reset();
    return;
  }
  forced_mark_ = mark;
  forced_count_ = count < 0 ? -1 : count;
}

void SimulatedUps::clear_forced_mark() {
  force_mark('\0', 0);
}

void SimulatedUps::set_silent(bool silent) {
  std::lock_guard lock(mutex_);
  silent_ = silent;
  silent_until_ = Clock::time_point{};
}

void SimulatedUps::set_silent_for(std::chrono::milliseconds duration) {
  std::lock_guard lock(mutex_);
  silent_ = false;
  silent_until_ = model_now() + duration;
}

void SimulatedUps::set_battery(double percent) {
  std::lock_guard lock(mutex_);
  advance(model_now());
  options_.battery_percent = std::clamp(percent, 0.0, 100.0);
}

void SimulatedUps::set_load(double percent) {
  std::lock_guard lock(mutex_);
  options_.load_percent = std::clamp(percent, 0.0, 200.0);
}

void SimulatedUps::set_identification(std::string text) {
  std::lock_guard lock(mutex_);
  options_.identification = std::move(text);
}

void SimulatedUps::set_nominal_voltage(double volts) {
  std::lock_guard lock(mutex_);
  options_.nominal_voltage = volts > 0.0 ? volts : options_.nominal_voltage;
}

void SimulatedUps::set_test_status(std::string text) {
  std::lock_guard lock(mutex_);
  test_result_ = text;
  test_outcome_ = std::move(text);
  test_until_ = Clock::time_point{};
}

void SimulatedUps::set_reply(const std::string &command, std::string text) {
  std::lock_guard lock(mutex_);
  replies_[command] = std::move(text);
}

void SimulatedUps::set_raw_reply(const std::string &command, std::string bytes) {
  std::lock_guard lock(mutex_);
  raw_replies_[command] = std::move(bytes);
}

void SimulatedUps::clear_reply(const std::string &command) {
  std::lock_guard lock(mutex_);
  replies_.erase(command);
  raw_replies_.erase(command);
}

void SimulatedUps::set_pacing(bool on) {
  std::lock_guard lock(mutex_);
  options_.pacing = on;
}

void SimulatedUps::set_blank_mark(bool on) {
  std::lock_guard lock(mutex_);
  options_.blank_mark = on;
}

void SimulatedUps::set_fault_share(double percent) {
  std::lock_guard lock(mutex_);
  faults_.share = std::clamp(percent, 0.0, 100.0);
}

void SimulatedUps::set_noise(double bytes_per_second) {
  {
    std::lock_guard lock(mutex_);
    faults_.noise_rate = std::max(0.0, bytes_per_second);
  }
  if (thread_.joinable()) {
    wake();  // the I/O thread's wait depends on the rate
  }
}

void SimulatedUps::set_garbage(bool on) {
  std::lock_guard lock(mutex_);
  faults_.garbage = on;
}

void SimulatedUps::set_line_end(std::string line_end) {
  std::lock_guard lock(mutex_);
  if (line_end == own_line_end()) {
    faults_.line_end.reset();
  } else {
    faults_.line_end = std::move(line_end);
  }
}

std::string SimulatedUps::own_line_end() const {
  return qx() ? "\r" : "\r\n";
}

void SimulatedUps::set_qx_model(std::string model) {
  std::lock_guard lock(mutex_);
  options_.qx_identity.model = std::move(model);
}

void SimulatedUps::set_qx_identifies(bool on) {
  std::lock_guard lock(mutex_);
  options_.qx_identifies = on;
}

void SimulatedUps::set_split(int at_byte, std::chrono::milliseconds gap) {
  std::lock_guard lock(mutex_);
  faults_.split_at = std::max(0, at_byte);
  faults_.split_gap = gap;
}

void SimulatedUps::set_trickle(std::chrono::milliseconds gap) {
  std::lock_guard lock(mutex_);
  faults_.trickle_gap = gap;
}

void SimulatedUps::set_stall(std::chrono::milliseconds pause) {
  std::lock_guard lock(mutex_);
  faults_.stall = pause;
}

void SimulatedUps::set_flood(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  faults_.flood = bytes;
}

void SimulatedUps::clear_faults() {
  {
    std::lock_guard lock(mutex_);
    faults_ = Faults{};
  }
  if (thread_.joinable()) {
    wake();
  }
}

void SimulatedUps::hang_up() {
  std::unique_lock lock(mutex_);
  if (!thread_.joinable()) {
    return;
  }
  const long target = hangups_ + 1;
  hangup_requested_ = true;
  wake();
  changed_.wait(lock, [&] { return hangups_ >= target || stopping_; });
}

void SimulatedUps::set_journal(bool on) {
  std::lock_guard lock(mutex_);
  journal_on_ = on;
  if (!on) {
    journal_.clear();
  }
}

bool SimulatedUps::settle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!thread_.joinable()) {
    return true;
  }
  const long ticket = ++settle_asked_;
  wake();
  return changed_.wait_for(lock, timeout, [&] { return settle_done_ >= ticket || stopping_; });
}

std::vector<LineEvent> SimulatedUps::take_journal() {
  std::lock_guard lock(mutex_);
  return std::exchange(journal_, {});
}

std::vector<ReceivedCommand> SimulatedUps::received() const {
  std::lock_guard lock(mutex_);
  return {log_.begin(), log_.end()};
}

std::size_t SimulatedUps::received_count() const {
  std::lock_guard lock(mutex_);
  return received_count_;
}

void SimulatedUps::clear_received() {
  std::lock_guard lock(mutex_);
  log_.clear();
  received_count_ = 0;
}

bool SimulatedUps::wait_for_received(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return received_count_ >= count; });
}

std::string SimulatedUps::describe() const {
  std::lock_guard lock(mutex_);
  const Clock::time_point now = model_now();
  const long backup = std::lround(backup_minutes());
  char text[512];
  std::snprintf(text, sizeof text,
                "%smains %s, battery %.0f%%, backup %ld:%02ld, low battery %s, mark %s, %s, "
                "self-test %s, %s, faults %s, received %zu",
                qx() ? "protocol qx, " : "", options_.mains ? "on" : "off",
                options_.battery_percent, backup / 60, backup % 60, low_battery_ ? "yes" : "no",
                forced_mark_ ? describe_bytes(std::string(1, *forced_mark_)).c_str() : "auto",
                silent_now(now) ? "silent" : "talking", test_status(now).c_str(),
                describe_output(now).c_str(), describe_faults().c_str(), received_count_);
  return text;
}

// Caller holds mutex_.
std::string SimulatedUps::describe_faults() const {
  const Faults &f = faults_;
  std::string text;
  const auto add = [&text](const std::string &part) { text += (text.empty() ? "" : " ") + part; };
  if (f.noise_rate > 0) {
    add("noise " + format("%g", f.noise_rate) + "/s");
  }
  if (f.garbage) {
    add("garbage");
  }
  if (f.line_end) {
    add("lineend " + describe_bytes(*f.line_end));
  }
  if (f.split_at > 0) {
    add("split " + std::to_string(f.split_at) + "/" + std::to_string(f.split_gap.count()) + "ms");
  }
  if (f.trickle_gap.count() >= 0) {
    add("trickle " + std::to_string(f.trickle_gap.count()) + "ms");
  }
  if (f.stall.count() > 0) {
    add("stall " + std::to_string(f.stall.count()) + "ms");
  }
  if (f.flood > 0) {
    add("flood " + std::to_string(f.flood));
  }
  if (text.empty()) {
    return "none";
  }
  return f.share < 100 ? text + " share " + format("%g", f.share) + "%" : text;
}

std::string describe_bytes(const std::string &bytes) {
  std::size_t end = bytes.size();
  while (end > 0 && bytes[end - 1] == '\0') {
    --end;
  }
  std::string text = "\"";
  for (std::size_t i = 0; i < end; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '\n':
        text += "\\n";
        break;
      case '\r':
        text += "\\r";
        break;
      case '\t':
        text += "\\t";
        break;
      case '"':
        text += "\\\"";
        break;
      case '\\':
        text += "\\\\";
        break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          text += hex;
        } else {
          text += static_cast<char>(c);
        }
    }
  }
  text += "\"";
  if (end < bytes.size()) {
    text += " + " + std::to_string(bytes.size() - end) + " NUL";
  }
  return text;
}

}  // namespace tornax
