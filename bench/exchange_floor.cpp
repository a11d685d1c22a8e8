#include "bench/exchange_floor.h"

#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "sim/simulated_ups.h"

namespace tornax::bench {
namespace {

// The cycle's queries; stale input is flushed before each, as the daemon does.
constexpr const char *queries[] = {"L\n", "O\n", "B%\n", "P\n", "F\n", "I\n", "T\n", "S5\n"};

double thread_runtime_seconds() {
  std::ifstream in("/proc/thread-self/schedstat");
  double nanoseconds = 0;
  in >> nanoseconds;
  return nanoseconds / 1e9;
}

// Raw line, a read returns what arrived or gives up after 0.8 s: as the
// daemon sets its serial line.
int open_line(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios settings{};
  if (fd < 0 || tcgetattr(fd, &settings) != 0) {
    throw std::runtime_error("cannot open the floor's pty");
  }
  cfmakeraw(&settings);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 8;
  tcsetattr(fd, TCSANOW, &settings);
  return fd;
}

void bare_cycle(int fd) {
  for (const char *query : queries) {
    char reply[17];
    tcflush(fd, TCIFLUSH);
    [[maybe_unused]] const ssize_t written = write(fd, query, std::strlen(query));
    [[maybe_unused]] const ssize_t got = read(fd, reply, 16);
  }
}

void sleep_until_next_second(timespec *next) {
  next->tv_sec += 1;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, next, nullptr) == EINTR) {
  }
}

}  // namespace

double run_bare_cycles(const std::string &path, int cycles) {
  const int fd = open_line(path);
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  bare_cycle(fd);  // warm-up, not counted
  const double start = thread_runtime_seconds();
  for (int i = 0; i < cycles; ++i) {
    sleep_until_next_second(&next);
    bare_cycle(fd);
  }
  const double used = thread_runtime_seconds() - start;
  close(fd);
  return used / cycles;
}

double exchange_floor_per_cycle(int cycles, const std::string &program) {
  SimulatedUpsOptions options;
  options.pacing = true;
  SimulatedUps ups(options);
  ups.start();
  const std::string command =
      "'" + program + "' --floor-loop '" + ups.slave_path() + "' " + std::to_string(cycles);
  FILE *child = popen(command.c_str(), "r");
  if (child == nullptr) {
    throw std::runtime_error("cannot start the bare cycles");
  }
  double per_cycle = -1;
  const int read = std::fscanf(child, "%lf", &per_cycle);
  if (pclose(child) != 0 || read != 1) {
    throw std::runtime_error("the bare cycles failed");
  }
  return per_cycle;
}

}  // namespace tornax::bench
