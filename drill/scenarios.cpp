#include "drill/scenarios.h"

#include <ctime>
#include <vector>

#include "drill/drill.h"
#include "drill/text.h"

namespace tornax::drill {
namespace {

// The schedule's countdown starts this many seconds before its down-time.
constexpr int schedule_lookahead = 600;

void mains_fail(Drill &d, int nth) {
  d.ups("mains off");
  d.watch_until(15, [&] { return d.saw_powerfail(nth); });
}

void play_outage(Drill &d) {
  d.say("1. the mains fail");
  mains_fail(d, 1);
  d.watch_for(7);
  d.say("2. the power returns");
  d.ups("mains on");
  d.watch_until(15, [&] { return d.saw_return(); });
  d.watch_for(5);
  d.say("3. the mains fail again");
  mains_fail(d, 2);
  d.watch_for(8);
  d.say("4. the battery runs low");
  d.ups("lowbatt");
}

void play_silent(Drill &d) {
  d.say("1. the mains fail");
  mains_fail(d, 1);
  d.watch_for(3);
  d.say("2. the UPS stops answering (a pulled cable, a dead adapter)");
  d.ups("silent");
}

std::optional<std::string> prepare_timeout(Drill &d) {
  d.replace_statement("BACKUPTIME", "BACKUPTIME " + std::to_string(d.options().backuptime),
                      "BACKUPTIME");
  return std::nullopt;
}

void play_timeout(Drill &d) {
  d.say("BACKUPTIME is " + std::to_string(d.options().backuptime) +
        " min in this drill (the configuration: " + d.config().row("BACKUPTIME") + ")");
  d.say("1. the mains fail and stay off");
  d.ups("mains off");
}

// "11 DEC 22:30": the form of a manual shutdown range's ends.
std::string range_end(std::time_t when) {
  static const char *const months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                       "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  struct tm local {};
  localtime_r(&when, &local);
  char minute[3];
  std::strftime(minute, sizeof minute, "%M", &local);
  return std::to_string(local.tm_mday) + " " + months[local.tm_mon] + " " +
         std::to_string(local.tm_hour) + ":" + minute;
}

// The next scheduled shutdown moved to now: its down-time the minute that
// starts the countdown within a minute, its up-time as far after as the
// schedule's own.
std::optional<std::string> prepare_schedule(Drill &d) {
  const nlohmann::json &next = d.config().at("/schedule/next_shutdown");
  if (!next.is_object()) {
    return "no scheduled shutdown to start: Next scheduled shutdown: " +
           d.config().row("Next scheduled shutdown");
  }
  const int sleep_minutes = next.at("sleep_minutes").get<int>();
  std::time_t down = std::time(nullptr) + schedule_lookahead + 60;
  down -= down % 60;
  const std::time_t up = down + static_cast<std::time_t>(sleep_minutes) * 60;
  d.replace_statement("SHUTDOWN", "SHUTDOWN MANUAL " + range_end(down) + " to " + range_end(up),
                      "Next scheduled shutdown");
  struct tm local {};
  localtime_r(&down, &local);
  char at[8];
  std::strftime(at, sizeof at, "%H:%M", &local);
  d.note("the next scheduled shutdown (" + d.config().row("Next scheduled shutdown") +
         ") is moved to now: down at " + at + ", up " + std::to_string(sleep_minutes) +
         " min later");
  return std::nullopt;
}

void play_schedule(Drill &d) {
  d.say("1. the scheduled shutdown counts down ten minutes, as on the real host");
}

int minutes(const Drill &d, const char *pointer) {
  return d.config().number(pointer) / 60;
}

const Scenario scenario_table[] = {
    {"outage", "the mains fail, return, fail again, the battery runs\nlow (the default)", nullptr,
     play_outage, [](const Drill &) { return 60; }},
    {"silent", "the mains fail, then the UPS stops answering", nullptr, play_silent,
     [](const Drill &d) {
       const int silent = d.config().number("/shutdown/silent_shutdown_s");
       const int backup = d.config().number("/shutdown/backuptime_s");
       return (silent > 0   ? minutes(d, "/shutdown/silent_shutdown_s")
               : backup > 0 ? minutes(d, "/shutdown/backuptime_s")
                            : 1) *
                  60 +
              60;
     }},
    {"timeout", "the mains fail and stay off, with BACKUPTIME\nshortened (see --backuptime)",
     prepare_timeout, play_timeout,
     [](const Drill &d) { return d.options().backuptime * 60 + 60; }},
    {"schedule",
     "the next scheduled shutdown starts at once: its\nten-minute countdown, then the halt and "
     "the UPS\nasked to sleep as long as the schedule says",
     prepare_schedule, play_schedule, [](const Drill &) { return schedule_lookahead + 180; }},
};

}  // namespace

const Scenario *find_scenario(const std::string &name) {
  for (const Scenario &scenario : scenario_table) {
    if (name == scenario.name) {
      return &scenario;
    }
  }
  return nullptr;
}

std::string scenario_names() {
  std::vector<std::string> names;
  for (const Scenario &scenario : scenario_table) {
    names.emplace_back(scenario.name);
  }
  return one_of(names);
}

std::string scenario_help() {
  std::string text;
  for (const Scenario &scenario : scenario_table) {
    std::string name = scenario.name;
    name.resize(9, ' ');
    std::string help = scenario.help;
    for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += 10) {
      help.insert(at + 1, std::string(9, ' '));
    }
    text.append(text.empty() ? "" : "\n").append(name).append(help);
  }
  return text;
}

}  // namespace tornax::drill
