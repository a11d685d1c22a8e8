#include "drill/report.h"

#include <cstdio>
#include <set>

#include "drill/text.h"

namespace tornax::drill {
namespace {

using Findings = std::vector<std::string>;

bool holds(const std::string &text, const char *part) {
  return text.find(part) != std::string::npos;
}

bool any_status_line(const Evidence &e, const char *meaning) {
  for (const Entry &entry : e.timeline) {
    if (entry.tag == "status" && holds(entry.text, "<-") && holds(entry.text, meaning)) {
      return true;
    }
  }
  return false;
}

// ---- Findings ----------------------------------------------------------------

Findings told_to_nobody(const Evidence &e) {
  const nlohmann::json &powerfail = e.config.event("POWERFAIL");
  const nlohmann::json &hook = powerfail.at("hook");
  const bool told =
      powerfail.at("alert").at("scope") != "none" ||
      (powerfail.at("page").at("enabled").get<bool>() && e.config.text("/modem_device")) ||
      (hook.is_object() && hook.at("refusal").is_null()) || e.config.status_server_on() ||
      e.config.nut_server_on();
  if (told) {
    return {};
  }
  return {
      "a power failure is told to nobody: no POWERFAIL_ALERT, page, hook, status server or "
      "network UPS server"};
}

// A runtime threshold on a UPS that tells no runtime guards nothing, and is
// not advised.
Findings only_low_battery(const Evidence &e) {
  const bool runtime = !e.config.lacks("runtime");
  if (e.config.number("/shutdown/backuptime_s") != 0 ||
      (runtime && e.config.number("/shutdown/runtime_below_s") != 0) ||
      e.config.number("/shutdown/charge_below_percent") != 0) {
    return {};
  }
  Findings found = {std::string("only the UPS's own low-battery mark shuts the host down: an "
                                "aged battery can run empty first; set ") +
                    (runtime ? "BACKUPTIME, SHUTDOWN_RUNTIME or SHUTDOWN_CHARGE"
                             : "BACKUPTIME or SHUTDOWN_CHARGE (this UPS tells no runtime)")};
  if (e.config.number("/shutdown/silent_shutdown_s") == 0) {
    found.emplace_back(
        "a UPS that goes silent on battery leaves the host up until the battery is empty: set "
        "SILENT_SHUTDOWN or BACKUPTIME");
  }
  return found;
}

Findings script_not_executable(const Evidence &e) {
  if (e.config.at("/shutdown/script") != "not_executable") {
    return {};
  }
  return {"the shutdown script " + e.run.home + "/shutdown.sh is not executable: it is not run"};
}

Findings ups_left_on(const Evidence &e) {
  if (e.config.yes("/ups/switch_off")) {
    return {};
  }
  return {
      "TURNOFF_UPS is off: after the halt the UPS runs on until its battery is empty, and the "
      "host does not come back by itself when the mains return"};
}

Findings pages_without_modem(const Evidence &e) {
  if (!e.config.pages_configured() || e.config.pages_possible()) {
    return {};
  }
  return {"pages are configured but no MODEM_DEVICE is set: none is sent"};
}

Findings hooks_not_run(const Evidence &e) {
  Findings found;
  for (const Hook &hook : e.config.hooks()) {
    if (hook.refusal) {
      found.push_back("the hook " + hook.event + "_EXEC " + hook.path +
                      " (not run: " + *hook.refusal + ")");
    }
  }
  return found;
}

Findings broadcast_missing(const Evidence &e) {
  const std::optional<std::string> command = e.config.text("/broadcast_command");
  if (!command) {
    return {};
  }
  const std::string program = command->substr(0, command->find(' '));
  if (on_path(program)) {
    return {};
  }
  return {"the broadcast command " + program +
          (program.rfind('/', 0) == 0 ? " does not exist" : " is not found") +
          ": users are not warned"};
}

// The daemon halted its sandbox, or asked systemd for the power-off.
bool went_down(const Evidence &e) {
  return e.run.daemon_status == 130 || e.run.init_power_off;
}

Findings not_brought_down(const Evidence &e) {
  if (!e.run.batch || went_down(e)) {
    return {};
  }
  return {"in this drill the daemon did not bring the host down (scenario " + e.run.scenario + ")"};
}

Findings low_battery_never_read(const Evidence &e) {
  if (!e.run.batch || !went_down(e) || e.run.scenario == "schedule" ||
      !e.config.status_server_on() || !any_status_line(e, "") ||
      any_status_line(e, "low battery")) {
    return {};
  }
  return {
      "remote hosts never read a low-battery line before this host went down: a tornaxalert "
      "shuts its host down on that line, or with -p once the minutes left fall below it"};
}

// The configuration's findings first, then the run's.
constexpr Findings (*finding_table[])(const Evidence &) = {
    told_to_nobody,    only_low_battery,    script_not_executable,
    ups_left_on,       pages_without_modem, hooks_not_run,
    broadcast_missing, not_brought_down,    low_battery_never_read,
};

// ---- The summary ---------------------------------------------------------------

// The log's stamp ("[12/07/26] 22:35:40 : ") taken off.
std::string without_stamp(const std::string &text) {
  const std::size_t close = text.rfind('[', 0) == 0 ? text.find("] ") : std::string::npos;
  if (close == std::string::npos) {
    return text;
  }
  const std::size_t clock = text.find_first_not_of("0123456789:", close + 2);
  return clock != std::string::npos && text.compare(clock, 3, " : ") == 0 ? text.substr(clock + 3)
                                                                          : text;
}

void shutdown_steps(const Evidence &e) {
  const auto starts = [](const std::string &text) {
    for (const char *start :
         {"Power-fail shutdown", "Schedule shutdown", "Execute shutdown script", "TERM signal"}) {
      if (holds(text, start)) {
        return true;
      }
    }
    return false;
  };
  static const std::set<std::string> tags = {"log",    "wall", "console", "page", "daemon",
                                             "script", "hook", "halt",    "ups"};
  std::size_t first = 0;
  while (first < e.timeline.size() && !starts(e.timeline[first].text)) {
    ++first;
  }
  std::vector<const Entry *> steps;
  for (std::size_t i = first; i < e.timeline.size(); ++i) {
    const Entry &entry = e.timeline[i];
    if (tags.count(entry.tag) != 0 && entry.text.rfind("the daemon", 0) != 0 &&
        entry.text.rfind("on a real host", 0) != 0) {
      steps.push_back(&entry);
    }
  }
  std::printf("Shutdown steps (seconds from the first; how long until the next):\n");
  if (steps.empty()) {
    std::printf("  none: the host was not brought down\n");
  }
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const std::string at = "+" + seconds_text(steps[i]->tenths - steps[0]->tenths) + "s";
    const std::string took =
        i + 1 < steps.size() ? seconds_text(steps[i + 1]->tenths - steps[i]->tenths) + "s" : "";
    std::printf("  %7s %6s  %-9s %s\n", at.c_str(), took.c_str(),
                ("[" + steps[i]->tag + "]").c_str(), without_stamp(steps[i]->text).c_str());
  }
}

void ups_commands(const Evidence &e) {
  std::printf("Commands the UPS received:\n");
  bool any = false;
  for (const Entry &entry : e.timeline) {
    if (entry.tag == "ups" && holds(entry.text, "received \"")) {
      std::printf("  %s\n", entry.text.c_str());
      any = true;
    }
  }
  if (!any) {
    std::printf("  none\n");
  }
}

// The part's title; false, after saying so, when its server is off.
bool part_title(const char *title, bool on, const char *off) {
  std::printf("%s\n", title);
  if (!on) {
    std::printf("  none is told: %s\n", off);
  }
  return on;
}

void remote_hosts(const Evidence &e) {
  if (!part_title("Remote hosts (tornaxalert on other hosts):", e.config.status_server_on(),
                  "the status server is off (MAX_CLIENT 0)")) {
    return;
  }
  std::printf("  status server: %s; each client read:\n", e.config.row("Status server").c_str());
  std::string last;
  for (const Entry &entry : e.timeline) {
    const std::size_t arrow = entry.tag == "status" ? entry.text.find("<- ") : std::string::npos;
    if (arrow != std::string::npos && entry.text.substr(arrow + 3) != last) {
      last = entry.text.substr(arrow + 3);
      std::printf("  %6ss  %s\n", seconds_text(entry.tenths).c_str(), last.c_str());
    }
  }
  if (any_status_line(e, "low battery")) {
    std::printf("  a client shuts its own host down on the low-battery line\n");
  }
  if (e.run.client) {
    std::printf("  the drill's client ran its shutdown command %d times\n", e.run.client_shutdowns);
  }
}

void secondaries(const Evidence &e) {
  if (!part_title("Secondary hosts (network UPS protocol):", e.config.nut_server_on(),
                  "the network UPS server is off (NUT_PORT 0)")) {
    return;
  }
  std::printf("  network UPS server: %s\n", e.config.row("Network UPS server").c_str());
  const std::string marker = " : Shutdown: ";
  for (const Entry &entry : e.timeline) {
    const std::size_t at = entry.tag == "log" ? entry.text.rfind(marker) : std::string::npos;
    if (at != std::string::npos) {
      std::string told = entry.text.substr(at + marker.size());
      told.erase(told.find_last_not_of(' ') + 1);
      std::printf("  in the drill: %s\n", told.c_str());
    }
  }
  if (e.run.numlogins.empty()) {
    std::printf("  no daemon running on this host answers on that port now\n");
  } else {
    std::printf(
        "  the daemon running on this host answers \"%s\": those hosts would be told (FSD) "
        "and waited for\n",
        e.run.numlogins.c_str());
  }
}

}  // namespace

std::vector<std::string> findings(const Evidence &evidence) {
  std::vector<std::string> all;
  for (const auto check : finding_table) {
    for (std::string &found : check(evidence)) {
      all.push_back(std::move(found));
    }
  }
  return all;
}

int print_summary(const Evidence &e) {
  std::printf("\n==== Summary of the drill (%s) on %s\n", e.run.scenario.c_str(),
              e.run.home.c_str());
  shutdown_steps(e);
  ups_commands(e);
  remote_hosts(e);
  secondaries(e);
  std::printf("Findings about the configuration:\n");
  const std::vector<std::string> found = findings(e);
  for (const std::string &finding : found) {
    std::printf("  - %s\n", finding.c_str());
  }
  if (found.empty()) {
    std::printf("  none\n");
  }
  std::printf("The run's files are in %s\n", e.run.dir.c_str());
  std::fflush(stdout);
  return static_cast<int>(found.size());
}

void print_one_finding(const std::string &finding) {
  std::printf("Findings about the configuration:\n  - %s\n", finding.c_str());
  std::fflush(stdout);
}

}  // namespace tornax::drill
