#include "daemon/ups/ups.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "daemon/core/clock.h"
#include "daemon/ups/line.h"
#include "tornax.h"

namespace tornax {
namespace {

// One row of the query table: what is sent, how much is read, what the reply
// holds and what a failed write or read reports.
struct Query {
  const char *command;
  int read_limit;
  ReplyKind kind;
  const char *write_fail;
  const char *read_fail;
};

constexpr int version_read_limit = 50;
constexpr int control_size = 16;
constexpr int control_bytes = 15;
constexpr unsigned int self_test_seconds = 15;
constexpr int line_end_length = 2;

constexpr ReplyKind number = ReplyKind::number;
constexpr Query linevoltage_query{"L\n", reply_size, number, "get_linevoltage():write() fail",
                                  "get_linevoltage():read() fail"};
constexpr Query invvoltage_query{"O\n", reply_size, number, "get_invvoltage():write() fail",
                                 "get_invvoltage():read() fail"};
constexpr Query percentbatt_query{"B%\n", reply_size, number, "get_percentbatt():write() fail",
                                  "get_percentbatt():read() fail"};
constexpr Query percentloadpower_query{"P\n", reply_size, number,
                                       "get_percentloadpower():write() fail",
                                       "get_percentloadpower():read() fail"};
constexpr Query freq_query{"F\n", reply_size, number, "get_freq():write() fail",
                           "get_freq():read() fail"};
constexpr Query loadcurrent_query{"I\n", reply_size, number, "get_loadcurrent():write() fail",
                                  "get_loadcurrent():read() fail"};
constexpr Query backuptime_query{"T\n", reply_size, ReplyKind::backup_time,
                                 "get_backuptime():write() fail", "get_backuptime():read() fail"};
constexpr Query teststatus_query{"S5\n", teststatus_read_limit, ReplyKind::test_status,
                                 "get_upsteststatus():write(status_cmd) fail",
                                 "ups_upsteststatus():read() fail"};
constexpr Query linenormal_query{"LN\n", reply_size, number, "get_linenormal():write() fail",
                                 "get_linenormal():read() fail"};
constexpr Query loadpower_query{"PW\n", reply_size, number, "get_loadpower():write() fail",
                                "get_loadpower():read() fail"};
constexpr Query chargercurrent_query{"G\n", reply_size, number, "get_chargercurrent():write() fail",
                                     "get_chargercurrent():read() fail"};
constexpr Query battvolt_query{"B\n", reply_size, number, "get_battvolt():write() fail",
                               "get_battvolt():read() fail"};

bool is_mark(char c) {
  return c == ' ' || c == '!' || c == '$' || c == '*' || c == '@';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool send_command(int fd, const char *command, const char *fail) {
  if (write_all(fd, command, std::strlen(command)) < 0) {
    std::perror(fail);
    return false;
  }
  return true;
}

// The reply's text ends two bytes before the read's end, dropping the line
// end. A read of fewer than two bytes (nothing, one stray byte, or a failure)
// has no line end to drop and leaves an empty text.
int text_length(ssize_t bytes_read) {
  return bytes_read > line_end_length ? static_cast<int>(bytes_read) - line_end_length : 0;
}

long elapsed_ms(const struct timespec &since) {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - since.tv_sec) * 1000L + (now.tv_nsec - since.tv_nsec) / 1000000L;
}

// What one query brought: its result for the caller (the reply's length, 0,
// or negative) and the reply, when one was accepted. `refused` tells a reply
// that came but was not well formed from no reply at all.
struct Answer {
  int result = 0;
  std::optional<ParsedReply> reply;
  bool refused = false;
};

// Sends the query and reads its reply. Input already waiting is discarded
// first: nothing sent before the command can be its answer. A command that
// could not be sent is no exchange at all, whatever the read returns.
Answer exchange(int fd, const Query &query) {
  tcflush(fd, TCIFLUSH);
  const bool sent = send_command(fd, query.command, query.write_fail);
  char buf[reply_size];
  const ssize_t n = read_reply(fd, buf, static_cast<size_t>(query.read_limit), '\n');
  if (n < 0) {
    std::perror(query.read_fail);
  }
  if (n < 0 || !sent) {
    return {-1, std::nullopt, false};
  }
  if (n == 0) {
    return {};
  }
  const void *line_feed = std::memchr(buf, '\n', static_cast<size_t>(n));
  const size_t length = line_feed != nullptr
                            ? static_cast<size_t>(static_cast<const char *>(line_feed) - buf) + 1
                            : static_cast<size_t>(n);
  Answer answer{static_cast<int>(length), parse_reply({buf, length}, query.kind), false};
  if (!answer.reply) {
    return {0, std::nullopt, true};
  }
  if (answer.reply->mark != '\0') {
    append_prefixqueue(answer.reply->mark);
  }
  note_reply_accepted();
  return answer;
}

// Length of a number at the start of `text`: an optional sign, digits and at
// most one decimal point, at least one digit.
size_t number_length(std::string_view text) {
  size_t i = text.empty() || (text[0] != '+' && text[0] != '-') ? 0 : 1;
  size_t digits = 0;
  bool point = false;
  for (; i < text.size(); ++i) {
    if (is_digit(text[i])) {
      ++digits;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  return digits == 0 ? 0 : i;
}

bool is_number(std::string_view text) {
  return !text.empty() && number_length(text) == text.size();
}

// Hours, then optionally ":" and minutes ("1:30", "2", ":45").
bool is_backup_time(std::string_view text) {
  const size_t colon = text.find(':');
  const std::string_view hours = text.substr(0, colon);
  if (colon == std::string_view::npos) {
    return is_number(hours) && hours.find('.') == std::string_view::npos;
  }
  const std::string_view minutes = text.substr(colon + 1);
  const auto whole = [](std::string_view part) {
    return part.find_first_not_of("0123456789") == std::string_view::npos;
  };
  const bool signed_hours = !hours.empty() && (hours[0] == '-' || hours[0] == '+');
  return whole(signed_hours ? hours.substr(1) : hours) && whole(minutes) &&
         hours.size() + minutes.size() > (signed_hours ? 1u : 0u);
}

bool is_status_text(std::string_view text) {
  for (const char c : text) {
    if (c < ' ' || c > '~') {
      return false;
    }
  }
  return true;
}

// A double as a float, held inside the float range so that a huge reading
// becomes the largest float instead of an undefined conversion.
float to_float(double value) {
  if (std::isnan(value)) {
    return 0.0f;
  }
  if (value > FLT_MAX) {
    return FLT_MAX;
  }
  if (value < -FLT_MAX) {
    return -FLT_MAX;
  }
  return static_cast<float>(value);
}

// "h:m" in minutes. Each part is a decimal integer that stays 0 when absent;
// strtol saturates, so no reading overflows.
float parse_backuptime(const char *text) {
  char *end = nullptr;
  const long hours = std::strtol(text, &end, 10);
  long minutes = 0;
  if (*end == ':') {
    minutes = std::strtol(end + 1, nullptr, 10);
  }
  return to_float(static_cast<double>(hours) * 60.0 + static_cast<double>(minutes));
}

int number_query(int fd, const Query &query, float *out) {
  const Answer answer = exchange(fd, query);
  if (answer.reply) {
    *out = answer.reply->value;
  } else if (!answer.refused) {
    *out = 0.0f;
  }
  return answer.result;
}

// Switches canonical input on or off, discarding pending input first.
void set_canonical(int fd, bool on) {
  struct termios tio {};
  if (tcgetattr(fd, &tio) != 0) {
    return;
  }
  if (on) {
    tio.c_lflag |= ICANON;
  } else {
    tio.c_lflag &= ~static_cast<tcflag_t>(ICANON);
  }
  tcflush(fd, TCIFLUSH);
  tcsetattr(fd, TCSANOW, &tio);
}

// Waits up to identification_timeout_ms for input (in canonical mode: a whole
// line). Returns > 0 when a read will not block, 0 on time-out, -1 on failure.
int wait_for_line(int fd) {
  if (fd < 0) {
    return 1;  // poll() would skip it; let the read report the bad descriptor
  }
  struct timespec start {};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    const long left = identification_timeout_ms - elapsed_ms(start);
    if (left <= 0) {
      return 0;
    }
    struct pollfd p {
      fd, POLLIN, 0
    };
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready >= 0 || errno != EINTR) {
      return ready;
    }
  }
}

void send_control(int fd, const char (&text)[control_size], const char *fail) {
  if (write_all(fd, text, control_bytes) < 0) {
    std::perror(fail);
  }
}

}  // namespace

int openport(const char *device_filename) {
  return open_line(device_filename, B4800);
}

std::optional<ParsedReply> parse_reply(std::string_view bytes, ReplyKind kind) {
  const size_t limit = kind == ReplyKind::test_status ? teststatus_read_limit : reply_size;
  if (bytes.size() < 2 || bytes.size() > limit || bytes.substr(bytes.size() - 2) != "\r\n") {
    return std::nullopt;
  }
  ParsedReply reply;
  const size_t length = bytes.size() - 2;
  std::memcpy(reply.text, bytes.data(), length);
  if (length > 0 && is_mark(reply.text[0])) {
    reply.mark = reply.text[0];
  }
  for (size_t i = 0; i < length; ++i) {
    if (is_mark(reply.text[i])) {
      reply.text[i] = '0';
    }
  }
  // The leading mark became a "0" like the others (the text keeps its
  // length); the value is what follows it, so a sign after a mark still counts.
  const std::string_view value(reply.text + (reply.mark ? 1 : 0), length - (reply.mark ? 1 : 0));
  switch (kind) {
    case ReplyKind::number:
      if (!is_number(value)) {
        return std::nullopt;
      }
      reply.value = to_float(std::strtod(value.data(), nullptr));
      break;
    case ReplyKind::backup_time:
      if (!is_backup_time(value)) {
        return std::nullopt;
      }
      reply.value = parse_backuptime(value.data());
      break;
    case ReplyKind::test_status:
      if (!is_status_text(value)) {
        return std::nullopt;
      }
      break;
  }
  return reply;
}

void append_prefixqueue(char prefix) {
  if (last_prefixqueue < 0 || last_prefixqueue >= prefixqueue_size) {
    return;
  }
  if (last_prefixqueue > 0 && prefixqueue[last_prefixqueue] == prefix) {
    return;
  }
  if (last_prefixqueue == prefixqueue_size - 1) {
    return;
  }
  prefixqueue[++last_prefixqueue] = prefix;
}

void clear_prefix(char *buf) {
  if (is_mark(buf[0])) {
    append_prefixqueue(buf[0]);
  }
  for (char *c = buf; *c != '\0'; ++c) {
    if (is_mark(*c)) {
      *c = '0';
    }
  }
}

int get_linevoltage(int fd, float *out) {
  return number_query(fd, linevoltage_query, out);
}

int get_invvoltage(int fd, float *out) {
  return number_query(fd, invvoltage_query, out);
}

int get_percentbatt(int fd, float *out) {
  return number_query(fd, percentbatt_query, out);
}

int get_percentloadpower(int fd, float *out) {
  return number_query(fd, percentloadpower_query, out);
}

int get_freq(int fd, float *out) {
  return number_query(fd, freq_query, out);
}

int get_loadcurrent(int fd, float *out) {
  return number_query(fd, loadcurrent_query, out);
}

int get_backuptime(int fd, float *out) {
  return number_query(fd, backuptime_query, out);
}

int get_linenormal(int fd, float *out) {
  return number_query(fd, linenormal_query, out);
}

int get_loadpower(int fd, float *out) {
  return number_query(fd, loadpower_query, out);
}

int get_chargercurrent(int fd, float *out) {
  return number_query(fd, chargercurrent_query, out);
}

int get_battvolt(int fd, float *out) {
  return number_query(fd, battvolt_query, out);
}

// Up to 6 characters of text do not fit the 4-character status field, so the
// text is cut to what fits.
int get_upsteststatus(int fd, char *test_status) {
  const Answer answer = exchange(fd, teststatus_query);
  if (answer.reply) {
    const size_t length = strnlen(answer.reply->text, ups_teststatus_size - 1);
    std::memcpy(test_status, answer.reply->text, length);
    test_status[length] = '\0';
    const std::size_t own = answer.reply->mark != '\0' ? 1 : 0;
    const std::size_t own_length = strnlen(answer.reply->text + own, ups_teststatus_size - 1);
    std::memcpy(ups_test_result, answer.reply->text + own, own_length);
    ups_test_result[own_length] = '\0';
  }
  return answer.result;
}

int get_version(int fd, char *buf) {
  std::memset(buf, 0, version_read_limit);
  set_canonical(fd, true);
  send_command(fd, "V?\n", "get_version():write() fail");
  const int ready = wait_for_line(fd);
  ssize_t n = ready;
  if (ready > 0) {
    n = read_once(fd, buf, version_read_limit);
  }
  if (n < 0) {
    std::perror("get_version():read() fail");
  }
  buf[text_length(n)] = '\0';
  set_canonical(fd, false);
  return static_cast<int>(n);
}

void set_shutdowndelay(int fd, int delay) {
  char text[control_size] = {};
  std::snprintf(text, sizeof text, "TD=%d\n", delay);
  send_control(fd, text, "set_shutdowndelay():write() fail");
}

void shutdown_ups(int fd, int sleep_time) {
  char text[control_size] = {};
  std::snprintf(text, sizeof text, "D=%d\n", sleep_time);
  send_control(fd, text, "shutdown_ups():write() fail");
}

bool ups_on_mains(int fd) {
  const Answer answer = exchange(fd, linevoltage_query);
  if (!answer.reply) {
    return false;
  }
  const char mark = answer.reply->mark;
  return mark != '!' && mark != '@' && mark != '*';
}

int switch_off_ups(int fd, const SwitchOff &intent) {
  int minutes = intent.sleep_minutes;
  if (minutes == 0 && intent.restart_sleep > 0 && ups_on_mains(fd)) {
    minutes = intent.restart_sleep;
  }
  set_shutdowndelay(fd, intent.delay);
  shutdown_ups(fd, minutes);
  return minutes;
}

int ups_test(int fd, char *test_status) {
  tcflush(fd, TCIFLUSH);
  send_command(fd, "XT\n", "ups_test():write(test_cmd) fail");
  sleep_full(self_test_seconds);
  return get_upsteststatus(fd, test_status);
}

}  // namespace tornax
