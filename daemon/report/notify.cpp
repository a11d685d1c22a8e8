#include "daemon/report/notify.h"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <cmath>
#include <cstdio>

#include "daemon/net/thread-server.h"
#include "tornax.h"

namespace tornax {

void SystemdNotifier::notify(const std::string &message) {
  sd_notify(0, message.c_str());
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
