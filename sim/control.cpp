#include "sim/control.h"

#include <cmath>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <vector>

namespace tornax {
namespace {

constexpr int default_log_lines = 10;

struct Words {
  std::vector<std::string> list;
  std::string rest_after_first;   // the line after the command word
  std::string rest_after_second;  // the line after the second word
};

std::string trim(const std::string &text) {
  const auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) {
    return "";
  }
  const auto end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

// The rest of the line after `count` words, blanks around it removed.
std::string rest_after(const std::string &line, int count) {
  std::size_t pos = line.find_first_not_of(" \t");
  for (int i = 0; i < count && pos != std::string::npos; ++i) {
    pos = line.find_first_of(" \t", pos);
    pos = pos == std::string::npos ? pos : line.find_first_not_of(" \t", pos);
  }
  return pos == std::string::npos ? "" : trim(line.substr(pos));
}

Words split(const std::string &line) {
  Words words;
  std::istringstream in(line);
  for (std::string word; in >> word;) {
    words.list.push_back(word);
  }
  words.rest_after_first = rest_after(line, 1);
  words.rest_after_second = rest_after(line, 2);
  return words;
}

std::optional<double> number(const std::string &text) {
  char *end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

std::optional<bool> on_off(const std::string &text) {
  if (text == "on" || text == "yes")
    return true;
  if (text == "off" || text == "no")
    return false;
  return std::nullopt;
}

std::optional<char> mark_named(const std::string &text) {
  if (text == "space" || text == "blank")
    return ' ';
  if (text == "!" || text == "$" || text == "*" || text == "@")
    return text[0];
  return std::nullopt;
}

ControlResult ok() {
  return {"ok", false};
}

ControlResult error(const std::string &why) {
  return {"error: " + why, false};
}

// A command with one on/off argument (the default when it is missing).
ControlResult switch_command(const Words &words, bool fallback, void (*apply)(SimulatedUps &, bool),
                             SimulatedUps &ups) {
  if (words.list.size() > 2) {
    return error(words.list[0] + " takes on or off");
  }
  const std::optional<bool> on = words.list.size() == 2 ? on_off(words.list[1]) : fallback;
  if (!on) {
    return error(words.list[0] + " takes on or off, not '" + words.list[1] + "'");
  }
  apply(ups, *on);
  return ok();
}

// A command with one number argument within [low, high].
ControlResult number_command(const Words &words, double low, double high,
                             void (*apply)(SimulatedUps &, double), SimulatedUps &ups) {
  const std::optional<double> value = words.list.size() == 2 ? number(words.list[1]) : std::nullopt;
  if (!value || *value < low || *value > high) {
    std::ostringstream why;
    why << words.list[0] << " takes one number from " << low << " to " << high;
    return error(why.str());
  }
  apply(ups, *value);
  return ok();
}

ControlResult silent_command(const Words &words, SimulatedUps &ups) {
  if (words.list.size() == 1) {
    ups.set_silent(true);
    return ok();
  }
  const std::optional<double> seconds =
      words.list.size() == 2 ? number(words.list[1]) : std::nullopt;
  if (!seconds || *seconds < 0 || *seconds > 86400) {
    return error("silent takes a number of seconds (up to 86400), or nothing for until 'talk'");
  }
  ups.set_silent_for(std::chrono::milliseconds(std::llround(*seconds * 1000)));
  return ok();
}

ControlResult mark_command(const Words &words, SimulatedUps &ups) {
  if (words.list.size() == 2 && (words.list[1] == "off" || words.list[1] == "auto")) {
    ups.clear_forced_mark();
    return ok();
  }
  const std::optional<char> mark =
      words.list.size() >= 2 ? mark_named(words.list[1]) : std::nullopt;
  const std::optional<double> count =
      words.list.size() == 3 ? number(words.list[2]) : std::optional<double>(-1);
  if (!mark || words.list.size() > 3 || !count || *count != std::floor(*count) || *count == 0 ||
      *count < -1 || *count > 1e6) {
    return error("mark takes one of ! $ * @ space, then optionally a count; or 'mark off'");
  }
  ups.force_mark(*mark, static_cast<int>(*count));
  return ok();
}

ControlResult reply_command(const Words &words, SimulatedUps &ups) {
  if (words.list.size() < 3) {
    return error("reply takes a command and its value text, or 'off'");
  }
  if (words.list.size() == 3 && words.list[2] == "off") {
    ups.clear_reply(words.list[1]);
  } else {
    ups.set_reply(words.list[1], words.rest_after_second);
  }
  return ok();
}

ControlResult text_command(const Words &words, void (*apply)(SimulatedUps &, std::string),
                           SimulatedUps &ups) {
  if (words.rest_after_first.empty()) {
    return error(words.list[0] + " takes a text");
  }
  apply(ups, words.rest_after_first);
  return ok();
}

ControlResult log_command(const Words &words, SimulatedUps &ups) {
  const std::optional<double> count =
      words.list.size() == 2 ? number(words.list[1]) : std::optional<double>(default_log_lines);
  if (!count || *count < 1 || words.list.size() > 2) {
    return error("log takes a number of entries");
  }
  const std::vector<ReceivedCommand> log = ups.received();
  const std::size_t shown = std::min(log.size(), static_cast<std::size_t>(*count));
  std::string answer;
  for (std::size_t i = log.size() - shown; i < log.size(); ++i) {
    // Appended piece by piece: gcc's optimiser warns falsely about the
    // temporaries of "text" + string at -O3.
    if (!answer.empty()) {
      answer += '\n';
    }
    answer += describe_bytes(log[i].bytes);
    if (!log[i].reply.empty()) {
      answer += " -> ";
      answer += describe_bytes(log[i].reply);
    }
  }
  return {answer.empty() ? "nothing received" : answer, false};
}

// The identification with the family name at offset 8, as the daemon reads it.
void set_family(SimulatedUps &ups, std::string name) {
  ups.set_identification("TXSIM-1 " + name + " 1000VA");
}

}  // namespace

ControlResult run_control(SimulatedUps &ups, const std::string &line) {
  const Words words = split(line);
  if (words.list.empty() || words.list[0][0] == '#') {
    return {"", false};
  }
  const std::string &command = words.list[0];
  if (command == "mains") {
    return switch_command(
        words, true, [](SimulatedUps &u, bool on) { u.set_mains(on); }, ups);
  }
  if (command == "lowbatt") {
    return switch_command(
        words, true, [](SimulatedUps &u, bool on) { u.set_low_battery(on); }, ups);
  }
  if (command == "blank") {
    return switch_command(
        words, true, [](SimulatedUps &u, bool on) { u.set_blank_mark(on); }, ups);
  }
  if (command == "pacing") {
    return switch_command(
        words, true, [](SimulatedUps &u, bool on) { u.set_pacing(on); }, ups);
  }
  if (command == "battery") {
    return number_command(
        words, 0, 100, [](SimulatedUps &u, double v) { u.set_battery(v); }, ups);
  }
  if (command == "load") {
    return number_command(
        words, 0, 200, [](SimulatedUps &u, double v) { u.set_load(v); }, ups);
  }
  if (command == "nominal") {
    return number_command(
        words, 1, 1000, [](SimulatedUps &u, double v) { u.set_nominal_voltage(v); }, ups);
  }
  if (command == "silent")
    return silent_command(words, ups);
  if (command == "talk") {
    ups.set_silent(false);
    return ok();
  }
  if (command == "mark")
    return mark_command(words, ups);
  if (command == "reply")
    return reply_command(words, ups);
  if (command == "id") {
    return text_command(
        words, [](SimulatedUps &u, std::string t) { u.set_identification(std::move(t)); }, ups);
  }
  if (command == "family")
    return text_command(words, set_family, ups);
  if (command == "teststatus") {
    return text_command(
        words, [](SimulatedUps &u, std::string t) { u.set_test_status(std::move(t)); }, ups);
  }
  if (command == "status")
    return {ups.describe(), false};
  if (command == "log")
    return log_command(words, ups);
  if (command == "help")
    return {control_help(), false};
  if (command == "quit" || command == "exit")
    return {"bye", true};
  return error("unknown command '" + command + "' (try help)");
}

const char *control_help() {
  return "mains on|off        mains present or failed (replies marked \"!\" while off,\n"
         "                    \"$\" on the first reply after it comes back)\n"
         "lowbatt [on|off]    low battery (replies marked \"*\")\n"
         "battery PCT         battery level, 0 to 100 (falls while on battery)\n"
         "load PCT            load, 0 to 200\n"
         "nominal VOLTS       nominal line voltage (answer to LN)\n"
         "silent [SECONDS]    stop answering, for a while or until 'talk'\n"
         "talk                answer again\n"
         "mark C [COUNT]      force mark C (! $ * @ space) on the next COUNT replies,\n"
         "                    or on all until 'mark off'\n"
         "blank on|off        mark quiet replies with a blank\n"
         "id TEXT             identification text (answer to V?)\n"
         "family NAME         identification with NAME at offset 8, e.g. 'family Kyrel'\n"
         "teststatus TEXT     self-test status text (answer to S5)\n"
         "reply CMD TEXT|off  answer CMD (e.g. L) with TEXT instead of the simulated value\n"
         "pacing on|off       deliver replies after their time at 4800 baud\n"
         "status              show the simulated state\n"
         "log [N]             show the last N commands received (default 10)\n"
         "help                this list\n"
         "quit                end the simulator";
}

}  // namespace tornax
