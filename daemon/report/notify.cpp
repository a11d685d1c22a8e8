#include "daemon/report/notify.h"

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon/net/thread-server.h"
#include "tornax.h"

namespace tornax {

std::optional<std::pair<sockaddr_un, socklen_t>> notify_address(const std::string &text) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (text.size() < 2 || (text[0] != '/' && text[0] != '@') ||
      text.size() > sizeof address.sun_path - (text[0] == '/' ? 1 : 0) ||
      text.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  std::memcpy(address.sun_path, text.data(), text.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size());
  if (text[0] == '@') {
    address.sun_path[0] = '\0';  // abstract: the name is exactly the bytes after it
  } else {
    ++length;  // a path's terminating NUL counts
  }
  return std::make_pair(address, length);
}

std::string without_watchdog(const std::string &message) {
  std::string kept;
  std::size_t start = 0;
  while (start <= message.size()) {
    std::size_t end = message.find('\n', start);
    if (end == std::string::npos) {
      end = message.size();
    }
    const std::string line = message.substr(start, end - start);
    if (line != "WATCHDOG=1" && !line.empty()) {
      kept += (kept.empty() ? "" : "\n") + line;
    }
    start = end + 1;
  }
  return kept;
}

namespace {

std::string take_environment(const char *name) {
  const char *value = std::getenv(name);
  std::string text = value != nullptr ? value : "";
  unsetenv(name);
  return text;
}

}  // namespace

SystemdNotifier::SystemdNotifier() : owner_(getpid()) {
  if (const auto address = notify_address(take_environment("NOTIFY_SOCKET"))) {
    address_ = address->first;
    length_ = address->second;
  }
  const std::string watchdog_pid = take_environment("WATCHDOG_PID");
  take_environment("WATCHDOG_USEC");
  watchdog_ours_ = watchdog_pid.empty() || watchdog_pid == std::to_string(owner_);
}

// A socket for each message, made close-on-exec: no descriptor of it is
// ever left for a program the daemon starts.
void SystemdNotifier::notify(const std::string &message) {
  if (length_ == 0 || getpid() != owner_) {
    return;
  }
  const std::string text = watchdog_ours_ ? message : without_watchdog(message);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || text.empty()) {
    if (fd >= 0) {
      close(fd);
    }
    return;
  }
  // A manager that is gone or does not listen is no error of the daemon's.
  [[maybe_unused]] const ssize_t sent =
      sendto(fd, text.data(), text.size(), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr *>(&address_), length_);
  close(fd);
}

std::string service_status_text(const ServiceState &state) {
  const std::string clients =
      std::to_string(state.clients) + (state.clients == 1 ? " client" : " clients");
  if (!state.answering) {
    return "UPS not answering, " + clients;
  }
  // The reading comes from the UPS: keep an absurd one printable.
  const float percent = std::isfinite(state.battery_percent)
                            ? std::fmin(std::fmax(state.battery_percent, 0.0f), 999.0f)
                            : 0.0f;
  char text[128];
  std::snprintf(text, sizeof text, "%s, battery %.0f%%, %u min left, %s",
                state.on_battery ? "on battery" : "on line", static_cast<double>(percent),
                state.minutes_left, clients.c_str());
  return text;
}

ServiceState current_service_state() {
  ServiceState state;
  state.answering = status[COMM_ERROR] == 0;
  state.on_battery = status[POWERFAIL] != 0;
  state.battery_percent = ups_percentbatt;
  state.minutes_left = remain_time;
  state.clients = client.load();
  return state;
}

void ServiceReports::cycle_completed(const ServiceState &state) {
  if (!notifier_.listening()) {
    return;
  }
  std::string message = "WATCHDOG=1";
  if (!ready_) {
    ready_ = true;
    message += "\nREADY=1";
  }
  std::string text = service_status_text(state);
  if (text != status_) {
    status_ = text;
    message += "\nSTATUS=" + text;
  }
  notifier_.notify(message);
}

void ServiceReports::reloading() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const unsigned long long usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ull +
                                  static_cast<unsigned long long>(now.tv_nsec) / 1000ull;
  notifier_.notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void ServiceReports::reloaded() {
  notifier_.notify("READY=1");
}

void ServiceReports::stopping() {
  notifier_.notify("STOPPING=1");
}

void ServiceReports::shutting_down() {
  notifier_.notify("WATCHDOG=1\nWATCHDOG_USEC=86400000000\nSTATUS=shutting the host down");
}

}  // namespace tornax
