#include "daemon/thread-server.h"

#include <arpa/inet.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "daemon/error.h"
#include "daemon/logger.h"
#include "daemon/signals.h"
#include "tornax.h"

namespace tornax {

std::atomic<int> client{0};
std::atomic<int> status_interval_ms{1000};

namespace {

// Hundreds of mostly sleeping connection threads should cost little memory;
// formatting one line needs only a few KiB of stack.
constexpr std::size_t thread_stack_size = 64 * 1024;
constexpr int listen_backlog = 5;
constexpr long schedule_countdown = 600;

// Measurements beyond this magnitude are sent as the bound: no UPS reports
// them, and the eleven fields must fit one 99-character line.
constexpr float measurement_bound = 999999.0f;

// Longest location that fits between its quotes before the line end.
constexpr std::size_t location_room = line_buffer_size - 4;

std::atomic<int> bound_port{0};

// Cycles announced so far. Connection threads wait for it to move with a
// futex (no lock besides tornax_mutex), so every line goes out right after a
// cycle has published its values instead of at a phase of its own, which
// could lag a change by most of a second.
alignas(std::atomic_ref<unsigned int>::required_alignment) unsigned int cycles_announced = 0;

std::atomic_ref<unsigned int> cycle_count() {
  return std::atomic_ref<unsigned int>(cycles_announced);
}

struct timespec deadline_after(int ms) {
  struct timespec deadline {};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += (ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}

float bounded(float value) {
  if (std::isnan(value)) {
    return value;
  }
  return std::clamp(value, -measurement_bound, measurement_bound);
}

// Field 10 must stay one token: an empty text becomes "NA", and a blank or
// control character (which would split the field or the line) becomes "?".
void copy_teststatus(const char *text, char (&field)[4]) {
  std::size_t n = 0;
  for (; n < 3 && text[n] != '\0'; ++n) {
    const auto c = static_cast<unsigned char>(text[n]);
    field[n] = std::isgraph(c) ? static_cast<char>(c) : '?';
  }
  field[n] = '\0';
  if (n == 0) {
    std::strcpy(field, "NA");
  }
}

// A line end inside a header text would end the header line early and shift
// every line after it.
int copy_line_text(const char *text, std::size_t length, char *buffer) {
  for (std::size_t n = 0; n < length; ++n) {
    buffer[n] = text[n] == '\n' ? ' ' : text[n];
  }
  return static_cast<int>(length);
}

// One send of the text; returns the count that went out (short, or -1 on
// failure). MSG_NOSIGNAL makes a vanished peer an error rather than a
// SIGPIPE, whatever the process does with that signal.
ssize_t send_text(int fd, const char *text, std::size_t length) {
  ssize_t sent;
  do {
    sent = send(fd, text, length, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

// Returns once a cycle after `seen` has been announced, or when a quarter
// more than the status interval has passed without one.
void wait_for_cycle(unsigned int seen) {
  const int interval = std::max(status_interval_ms.load(), 0);
  const struct timespec deadline = deadline_after(interval + interval / 4);
  while (cycle_count().load() == seen) {
    const long result = syscall(SYS_futex, &cycles_announced, FUTEX_WAIT_BITSET_PRIVATE, seen,
                                &deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    if (result != 0 && errno == ETIMEDOUT) {
      return;
    }
  }
}

int current_client_limit() {
  pthread_mutex_lock(&tornax_mutex);
  const int limit = settings.max_client;
  pthread_mutex_unlock(&tornax_mutex);
  return limit;
}

// Takes a place when one is free, in one atomic step, so two connections
// arriving together can't both take the last place.
bool take_client_place(int limit) {
  int current = client.load();
  while (current < limit) {
    if (client.compare_exchange_weak(current, current + 1)) {
      return true;
    }
  }
  return false;
}

void send_header(int fd) {
  char buffer[line_buffer_size];
  send_text(fd, greeting_line, std::strlen(greeting_line));
  // The identification is read again, under the mutex, when the UPS line is
  // opened only after start-up.
  pthread_mutex_lock(&tornax_mutex);
  const int version_length = format_version_line(ups_version, buffer);
  const std::optional<std::string> location = settings.ups_location;
  pthread_mutex_unlock(&tornax_mutex);
  send_text(fd, buffer, static_cast<std::size_t>(version_length));
  send_text(fd, buffer, static_cast<std::size_t>(format_location_line(location, buffer)));
}

void send_status_lines(int fd) {
  char buffer[line_buffer_size];
  for (;;) {
    const unsigned int seen = cycle_count().load();
    const int length = format_status_line(take_status_snapshot(), buffer);
    const ssize_t byte_w = send_text(fd, buffer, static_cast<std::size_t>(length));
    if (byte_w != length) {
      return;
    }
    wait_for_cycle(seen);
  }
}

// The daemon's signals are meant for the main thread, whose wait returns
// when one of their handlers has run.
void block_daemon_signals(sigset_t *previous) {
  const sigset_t blocked = daemon_signals();
  pthread_sigmask(SIG_BLOCK, &blocked, previous);
}

// Starts `entry` in a detached thread with a small stack and the daemon's
// signals blocked (the new thread inherits the mask in force here). Returns
// 0 or the error number of the failure.
int start_thread(void *(*entry)(void *), void *argument) {
  pthread_attr_t attributes;
  if (const int error = pthread_attr_init(&attributes); error != 0) {
    return error;
  }
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(
      &attributes, std::max(thread_stack_size, static_cast<std::size_t>(PTHREAD_STACK_MIN)));
  sigset_t previous;
  block_daemon_signals(&previous);
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, entry, argument);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  return result;
}

void report_listener_failure(const char *step, int port, int error) {
  char text[160];
  std::snprintf(text, sizeof text, "Status server not started: cannot %s port %d (%s)", step, port,
                std::strerror(error));
  tornax_warn(text);
  writelog(text);
}

// Returns the listening descriptor, or -1 after reporting the failed step.
int open_listener(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    report_listener_failure("open a socket for", port, errno);
    return -1;
  }
  const int set_opt = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &set_opt, sizeof set_opt);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const char *step = nullptr;
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    step = "bind to";
  } else if (listen(fd, listen_backlog) != 0) {
    step = "listen on";
  }
  if (step != nullptr) {
    const int error = errno;
    close(fd);
    report_listener_failure(step, port, error);
    return -1;
  }
  return fd;
}

int local_port(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

// A failing accept (descriptors or memory exhausted) would otherwise spin.
void pause_after_failed_accept() {
  struct timespec pause {
    0, 100 * 1000000L
  };
  nanosleep(&pause, nullptr);
}

}  // namespace

StatusSnapshot take_status_snapshot() {
  StatusSnapshot values;
  pthread_mutex_lock(&tornax_mutex);
  values.linevoltage = ups_linevoltage;
  values.invvoltage = ups_invvoltage;
  values.percentbatt = ups_percentbatt;
  values.percentloadpower = ups_percentloadpower;
  values.freq = ups_freq;
  values.loadcurrent = ups_loadcurrent;
  values.remain_time = remain_time;
  values.temp = ups_temp;
  std::memcpy(values.teststatus, ups_teststatus, sizeof values.teststatus);
  values.schedule_down_timer = schedule_down_timer;
  pthread_mutex_unlock(&tornax_mutex);
  // The cycle publishes the status word right after it releases the mutex:
  // read it only now, so a line that had to wait for the poll does not pair
  // the new measurements with the word of the cycle before.
  values.ext_status = ext_status.load();
  values.teststatus[sizeof values.teststatus - 1] = '\0';
  return values;
}

int schedule_minutes(long schedule_down_timer) {
  if (schedule_down_timer == 0) {
    return -1;
  }
  const long timer = std::clamp(schedule_down_timer, 1L, schedule_countdown);
  return static_cast<int>((schedule_countdown - timer) / 60);
}

int format_status_line(const StatusSnapshot &values, char *buffer) {
  char teststatus[4];
  copy_teststatus(values.teststatus, teststatus);
  const int remain = static_cast<int>(std::min<unsigned int>(values.remain_time, INT_MAX));
  const int length = std::snprintf(
      buffer, line_buffer_size, "%x %.1f %.1f %.0f %.0f %.1f %.1f %d %.0f %s %d\n",
      static_cast<unsigned int>(values.ext_status), bounded(values.linevoltage),
      bounded(values.invvoltage), bounded(values.percentbatt), bounded(values.percentloadpower),
      bounded(values.freq), bounded(values.loadcurrent), remain, bounded(values.temp), teststatus,
      schedule_minutes(values.schedule_down_timer));
  return std::clamp(length, 0, static_cast<int>(line_buffer_size) - 1);
}

int format_version_line(const char *ups_version_text, char *buffer) {
  const std::size_t length = strnlen(ups_version_text, ups_version_size - 1);
  const int n = copy_line_text(ups_version_text, length, buffer);
  buffer[n] = '\n';
  buffer[n + 1] = '\0';
  return n + 1;
}

int format_location_line(const std::optional<std::string> &location, char *buffer) {
  if (!location) {
    std::strcpy(buffer, "NA\n");
    return 3;
  }
  const std::size_t length = std::min(strnlen(location->c_str(), location->size()), location_room);
  buffer[0] = '"';
  const int n = 1 + copy_line_text(location->c_str(), length, buffer + 1);
  buffer[n] = '"';
  buffer[n + 1] = '\n';
  buffer[n + 2] = '\0';
  return n + 2;
}

void *serveClient(void *socket) {
  const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(socket));
  if (!take_client_place(current_client_limit())) {
    send_text(fd, refusal_line, std::strlen(refusal_line));
    close(fd);
    return nullptr;
  }
  send_header(fd);
  send_status_lines(fd);
  client.fetch_sub(1);
  close(fd);
  return nullptr;
}

void *serverWatch(void *listener) {
  const int srv_socket = static_cast<int>(reinterpret_cast<std::intptr_t>(listener));
  for (;;) {
    const int accepted_socket = accept4(srv_socket, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted_socket < 0) {
      if (errno != EINTR && errno != ECONNABORTED) {
        pause_after_failed_accept();
      }
      continue;
    }
    void *argument = reinterpret_cast<void *>(static_cast<std::intptr_t>(accepted_socket));
    if (start_thread(serveClient, argument) != 0) {
      // Never leave a peer connected to nobody.
      close(accepted_socket);
      tornax_warn("Status server: cannot start a client thread, connection closed");
    }
  }
}

bool start_status_server() {
  pthread_mutex_lock(&tornax_mutex);
  const int port = settings.port & 0xffff;  // only the low 16 bits count
  pthread_mutex_unlock(&tornax_mutex);
  const int fd = open_listener(port);
  if (fd < 0) {
    return false;
  }
  bound_port = local_port(fd);
  void *argument = reinterpret_cast<void *>(static_cast<std::intptr_t>(fd));
  if (const int error = start_thread(serverWatch, argument); error != 0) {
    close(fd);
    bound_port = 0;
    report_listener_failure("start the listener thread for", port, error);
    return false;
  }
  return true;
}

void announce_cycle() {
  cycle_count().fetch_add(1);
  // A waiting connection has taken its place in `client` before it read the
  // count, so with no client there is no one to wake.
  if (client.load() > 0) {
    syscall(SYS_futex, &cycles_announced, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
  }
}

int status_server_port() {
  return bound_port.load();
}

}  // namespace tornax
