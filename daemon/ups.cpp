#include "daemon/ups.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "daemon/clock.h"
#include "tornax.h"

namespace tornax {
namespace {

// One row of the query table: what is sent, whether stale input is discarded
// first, how much is read and what a failed write or read reports.
struct Query {
  const char *command;
  bool flush;
  int read_limit;
  const char *write_fail;
  const char *read_fail;
};

constexpr int reply_size = 16;
constexpr int teststatus_read_limit = 8;
constexpr int version_read_limit = 50;
constexpr int control_size = 16;
constexpr int control_bytes = 15;
constexpr unsigned int self_test_seconds = 15;
constexpr int line_end_length = 2;

constexpr Query linevoltage_query{"L\n", true, reply_size, "get_linevoltage():write() fail",
                                  "get_linevoltage():read() fail"};
constexpr Query invvoltage_query{"O\n", true, reply_size, "get_invvoltage():write() fail",
                                 "get_invvoltage():read() fail"};
constexpr Query percentbatt_query{"B%\n", false, reply_size, "get_percentbatt():write() fail",
                                  "get_percentbatt():read() fail"};
constexpr Query percentloadpower_query{"P\n", false, reply_size,
                                       "get_percentloadpower():write() fail",
                                       "get_percentloadpower():read() fail"};
constexpr Query freq_query{"F\n", false, reply_size, "get_freq():write() fail",
                           "get_freq():read() fail"};
constexpr Query loadcurrent_query{"I\n", false, reply_size, "get_loadcurrent():write() fail",
                                  "get_loadcurrent():read() fail"};
constexpr Query backuptime_query{"T\n", true, reply_size, "get_backuptime():write() fail",
                                 "get_backuptime():read() fail"};
constexpr Query teststatus_query{"S5\n", true, teststatus_read_limit,
                                 "get_upsteststatus():write(status_cmd) fail",
                                 "ups_upsteststatus():read() fail"};
constexpr Query linenormal_query{"LN\n", true, reply_size, "get_linenormal():write() fail",
                                 "get_linenormal():read() fail"};
constexpr Query loadpower_query{"PW\n", false, reply_size, "get_loadpower():write() fail",
                                "get_loadpower():read() fail"};
constexpr Query chargercurrent_query{"G\n", false, reply_size, "get_chargercurrent():write() fail",
                                     "get_chargercurrent():read() fail"};
constexpr Query battvolt_query{"B\n", false, reply_size, "get_battvolt():write() fail",
                               "get_battvolt():read() fail"};

bool is_mark(char c) {
  return c == ' ' || c == '!' || c == '$' || c == '*' || c == '@';
}

// Writes all bytes; a signal or a short write does not lose the rest.
ssize_t write_all(int fd, const char *bytes, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(fd, bytes + done, length - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// One read, resumed when a signal interrupts it before any byte arrived.
ssize_t read_once(int fd, char *buf, size_t limit) {
  ssize_t n;
  do {
    n = read(fd, buf, limit);
  } while (n < 0 && errno == EINTR);
  return n;
}

void send_command(int fd, const char *command, const char *fail) {
  if (write_all(fd, command, std::strlen(command)) < 0) {
    std::perror(fail);
  }
}

// The reply's text ends two bytes before the read's end, dropping the line
// end. A read of fewer than two bytes (nothing, one stray byte, or a failure)
// has no line end to drop and leaves an empty text.
int text_length(ssize_t bytes_read) {
  return bytes_read > line_end_length ? static_cast<int>(bytes_read) - line_end_length : 0;
}

// Sends the query and reads its reply once into `buf` (zero-filled, at least
// read_limit + 1 bytes), ended as text and with its marks handled. Returns
// the read's byte count.
int exchange(int fd, const Query &query, char *buf) {
  std::memset(buf, 0, static_cast<size_t>(query.read_limit) + 1);
  if (query.flush) {
    tcflush(fd, TCIFLUSH);
  }
  send_command(fd, query.command, query.write_fail);
  const ssize_t n = read_once(fd, buf, static_cast<size_t>(query.read_limit));
  if (n < 0) {
    std::perror(query.read_fail);
  }
  buf[text_length(n)] = '\0';
  clear_prefix(buf);
  return static_cast<int>(n);
}

// Length of the leading decimal number of `text` (after blanks): an optional
// sign, digits with an optional decimal point, an optional exponent. Hex,
// "inf" and "nan" are not numbers a UPS sends and count as no digits.
size_t decimal_prefix(const char *text) {
  size_t i = 0;
  while (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')) {
    ++i;
  }
  if (text[i] == '+' || text[i] == '-') {
    ++i;
  }
  size_t digits = 0;
  for (; text[i] >= '0' && text[i] <= '9'; ++i) {
    ++digits;
  }
  if (text[i] == '.') {
    for (++i; text[i] >= '0' && text[i] <= '9'; ++i) {
      ++digits;
    }
  }
  if (digits == 0) {
    return 0;
  }
  size_t end = i;
  if (text[i] == 'e' || text[i] == 'E') {
    size_t j = i + 1;
    if (text[j] == '+' || text[j] == '-') {
      ++j;
    }
    if (text[j] >= '0' && text[j] <= '9') {
      while (text[j] >= '0' && text[j] <= '9') {
        ++j;
      }
      end = j;
    }
  }
  return end;
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

// The text's leading decimal number; no digits give 0.
float parse_number(const char *text) {
  const size_t length = decimal_prefix(text);
  if (length == 0) {
    return 0.0f;
  }
  char number[version_read_limit + 1] = {};
  std::memcpy(number, text, length < sizeof number - 1 ? length : sizeof number - 1);
  return to_float(std::strtod(number, nullptr));
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
  char buf[reply_size + 1];
  const int n = exchange(fd, query, buf);
  *out = parse_number(buf);
  return n;
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

long elapsed_ms(const struct timespec &since) {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - since.tv_sec) * 1000L + (now.tv_nsec - since.tv_nsec) / 1000000L;
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

// The device is opened non-blocking so that a serial port without carrier
// does not hold the open; once the line ignores the modem control lines the
// descriptor goes back to blocking reads governed by the read time-out.
int openport(const char *device_filename) {
  const int fd = open(device_filename, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    std::perror("openport():open() fail");
    return fd;
  }
  struct termios tio {};
  tio.c_cflag = B4800 | CS8 | CREAD | CLOCAL;
  tio.c_iflag = IGNPAR;
  cfsetispeed(&tio, B4800);
  cfsetospeed(&tio, B4800);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 8;
  tcflush(fd, TCIFLUSH);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    std::perror("openport():tcsetattr() fail");
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
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
  char buf[reply_size + 1];
  const int n = exchange(fd, backuptime_query, buf);
  *out = parse_backuptime(buf);
  return n;
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

// The reply is read into a buffer of its own: up to 8 bytes do not fit the
// 4-character status field, so the text is cut to what fits.
int get_upsteststatus(int fd, char *status) {
  char buf[teststatus_read_limit + 1];
  const int n = exchange(fd, teststatus_query, buf);
  if (n > 0) {
    const size_t length = strnlen(buf, ups_teststatus_size - 1);
    std::memcpy(status, buf, length);
    status[length] = '\0';
  }
  return n;
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

int ups_test(int fd, char *status) {
  tcflush(fd, TCIFLUSH);
  send_command(fd, "XT\n", "ups_test():write(test_cmd) fail");
  sleep_full(self_test_seconds);
  return get_upsteststatus(fd, status);
}

}  // namespace tornax
