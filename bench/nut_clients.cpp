#include "bench/nut_clients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bench/cycles.h"
#include "bench/sandboxed.h"

namespace tornax::bench {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string read_text(const std::string &path) {
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

int count_of(const std::string &text, const std::string &word) {
  int n = 0;
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    ++n;
  }
  return n;
}

void write_private(const std::string &path, const std::string &content, mode_t mode) {
  std::ofstream(path) << content;
  chmod(path.c_str(), mode);
}

// Seconds until `record` holds `count` lines with `word`; -1 after `limit`.
double time_until(const std::string &record, const std::string &word, int count,
                  Clock::time_point since, milliseconds limit) {
  while (Clock::now() - since < limit) {
    if (count_of(read_text(record), word) >= count) {
      return std::chrono::duration<double>(Clock::now() - since).count();
    }
    std::this_thread::sleep_for(milliseconds(2));
  }
  return -1;
}

std::string upsmon_config(const std::string &dir, int port) {
  return "MONITOR tornax@127.0.0.1:" + std::to_string(port) + " 1 " + nut_bench_user + " " +
         nut_bench_password +
         " secondary\nMINSUPPLIES 1\n"
         "SHUTDOWNCMD \"" +
         dir + "/record-stub\"\nNOTIFYCMD \"" + dir +
         "/record-stub\"\n"
         "NOTIFYFLAG ONBATT EXEC\nNOTIFYFLAG ONLINE EXEC\n"
         "POLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 15\n";
}

int connect_to(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One request and its one-line answer; the round trip in ms, or -1.
double ask_status(int fd) {
  static const std::string request = "GET VAR tornax ups.status\n";
  const auto sent = Clock::now();
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return -1;
  }
  std::string answer;
  char chunk[256];
  while (answer.find('\n') == std::string::npos) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, 5000) <= 0) {
      return -1;
    }
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      return -1;
    }
    answer.append(chunk, static_cast<std::size_t>(n));
  }
  if (answer.rfind("VAR tornax ups.status ", 0) != 0) {
    return -1;
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
}

}  // namespace

UpsmonLatency measure_upsmon(const std::string &source_dir, const std::string &work, int port,
                             int outages, const std::function<void(bool)> &set_mains,
                             const std::function<int()> &pause_ms) {
  const std::string dir = work + "/upsmon";
  const std::string record = dir + "/record";
  std::filesystem::create_directories(dir);
  write_private(dir + "/record-stub", "#!/bin/sh\necho \"$NOTIFYTYPE\" >> " + record + "\n", 0755);
  write_private(dir + "/upsmon.conf", upsmon_config(dir, port), 0600);
  // Its pid file goes to /run/nut, which the sandbox does not separate from
  // the host: a tmpfs of the sandbox's own takes it.
  Sandboxed upsmon(source_dir, dir,
                   {"sh", "-c",
                    "mkdir -p /run/nut && mount -t tmpfs tmpfs /run/nut && exec /lib/nut/upsmon "
                    "-F -p"},
                   {"NUT_CONFPATH=" + dir, "NUT_STATEPATH=" + dir});
  const pid_t pid = upsmon.find("upsmon", 0, std::chrono::seconds(10));
  UpsmonLatency result;
  std::this_thread::sleep_for(std::chrono::seconds(3));  // logged in, first polls behind
  for (int i = 1; i <= outages; ++i) {
    std::this_thread::sleep_for(milliseconds(pause_ms()));
    set_mains(false);
    const double off = time_until(record, "ONBATT", i, Clock::now(), std::chrono::seconds(10));
    std::this_thread::sleep_for(milliseconds(pause_ms()));
    set_mains(true);
    const double on = time_until(record, "ONLINE", i, Clock::now(), std::chrono::seconds(10));
    for (const auto &[value, list] : {std::pair{off, &result.on_battery}, {on, &result.on_line}}) {
      if (value < 0) {
        ++result.missing;
      } else {
        list->push_back(value);
      }
    }
  }
  upsmon.stop(pid, std::chrono::seconds(10));
  return result;
}

PollingResult measure_polling(pid_t daemon, int port, int clients, int seconds) {
  PollingResult result;
  result.clients = clients;
  std::vector<int> fds;
  for (int i = 0; i < clients; ++i) {
    fds.push_back(connect_to(port));
  }
  const ProcessSample before = sample_process(daemon, false);
  std::vector<double> times;
  const auto start = Clock::now();
  for (int second = 0; second < seconds; ++second) {
    for (int i = 0; i < clients; ++i) {
      // Spread over the second, as clients started at different times are.
      std::this_thread::sleep_until(start + std::chrono::seconds(second) +
                                    milliseconds(1000 * i / clients));
      const double ms = fds[i] >= 0 ? ask_status(fds[i]) : -1;
      if (ms < 0) {
        ++result.failures;
      } else {
        times.push_back(ms);
      }
    }
    const ProcessSample now = sample_process(daemon, false);
    result.peak_rss_kib = std::max(result.peak_rss_kib, now.rss_kib);
    result.peak_threads = std::max(result.peak_threads, now.threads);
  }
  result.cpu = sample_process(daemon, false).cpu_seconds - before.cpu_seconds;
  result.answers = static_cast<int>(times.size());
  if (!times.empty()) {
    result.median_ms = median(times);
    result.max_ms = *std::max_element(times.begin(), times.end());
  }
  for (const int fd : fds) {
    if (fd >= 0) {
      close(fd);
    }
  }
  return result;
}

}  // namespace tornax::bench
