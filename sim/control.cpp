#include "sim/control.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <sstream>
#include <utility>
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

// The commands that only hand their argument to `set` (a setter of
// SimulatedUps, or a function taking one), one instance a setter, so that the
// command table names the setter alone.

// A command with one on/off argument (on when it is missing).
template <auto set>
ControlResult switch_command(const Words &words, SimulatedUps &ups) {
  if (words.list.size() > 2) {
    return error(words.list[0] + " takes on or off");
  }
  const std::optional<bool> on = words.list.size() == 2 ? on_off(words.list[1]) : true;
  if (!on) {
    return error(words.list[0] + " takes on or off, not '" + words.list[1] + "'");
  }
  std::invoke(set, ups, *on);
  return ok();
}

// A command with one number argument within [low, high].
template <auto set, int low, int high>
ControlResult number_command(const Words &words, SimulatedUps &ups) {
  const std::optional<double> value = words.list.size() == 2 ? number(words.list[1]) : std::nullopt;
  if (!value || *value < low || *value > high) {
    std::ostringstream why;
    why << words.list[0] << " takes one number from " << low << " to " << high;
    return error(why.str());
  }
  std::invoke(set, ups, *value);
  return ok();
}

// A command whose argument is the rest of the line.
template <auto set>
ControlResult text_command(const Words &words, SimulatedUps &ups) {
  if (words.rest_after_first.empty()) {
    return error(words.list[0] + " takes a text");
  }
  std::invoke(set, ups, words.rest_after_first);
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
  ups.set_identification("TXSIM-1 " + std::move(name) + " 1000VA");
}

// ---- Fault modes ------------------------------------------------------------

using std::chrono::milliseconds;

// "off", or a whole number within [low, high].
std::optional<long> count_or_off(const Words &words, std::size_t at, long low, long high) {
  if (words.list.size() <= at) {
    return std::nullopt;
  }
  if (words.list[at] == "off") {
    return 0;
  }
  const std::optional<double> value = number(words.list[at]);
  if (!value || *value != std::floor(*value) || *value < low || *value > high) {
    return std::nullopt;
  }
  return static_cast<long>(*value);
}

ControlResult noise_command(const Words &words, SimulatedUps &ups) {
  const std::optional<double> rate = words.list.size() != 2   ? std::nullopt
                                     : words.list[1] == "off" ? std::optional<double>(0)
                                                              : number(words.list[1]);
  if (!rate || *rate < 0 || *rate > 100000) {
    return error("noise takes bytes a second (up to 100000), or off");
  }
  ups.set_noise(*rate);
  return ok();
}

ControlResult lineend_command(const Words &words, SimulatedUps &ups) {
  static const std::pair<const char *, const char *> ends[] = {
      {"crlf", "\r\n"}, {"lf", "\n"}, {"cr", "\r"}, {"lfcr", "\n\r"}, {"none", ""}};
  for (const auto &[name, bytes] : ends) {
    if (words.list.size() == 2 && words.list[1] == name) {
      ups.set_line_end(bytes);
      return ok();
    }
  }
  return error("lineend takes crlf, lf, cr, lfcr or none");
}

ControlResult split_command(const Words &words, SimulatedUps &ups) {
  const std::optional<long> at = count_or_off(words, 1, 1, 64);
  const std::optional<long> gap =
      words.list.size() == 3 ? count_or_off(words, 2, 0, 60000) : std::optional<long>(20);
  if (!at || !gap || words.list.size() > 3) {
    return error("split takes the byte to split at (1 to 64), then optionally a gap in ms; or off");
  }
  ups.set_split(static_cast<int>(*at), milliseconds(*gap));
  return ok();
}

// A fault mode with one argument: a whole number within [low, high] for
// `apply`, or off, which hands it `off`; `takes` says what the number is.
ControlResult count_command(const Words &words, long low, long high, long off, const char *takes,
                            void (*apply)(SimulatedUps &, long), SimulatedUps &ups) {
  const std::optional<long> count =
      words.list.size() == 2 ? count_or_off(words, 1, low, high) : std::nullopt;
  if (!count) {
    return error(words.list[0] + " takes " + takes);
  }
  apply(ups, words.list[1] == "off" ? off : *count);
  return ok();
}

ControlResult trickle_command(const Words &words, SimulatedUps &ups) {
  return count_command(
      words, 0, 60000, -1, "the gap between bytes in ms (0 to 60000), or off",
      [](SimulatedUps &u, long gap) { u.set_trickle(milliseconds(gap)); }, ups);
}

ControlResult stall_command(const Words &words, SimulatedUps &ups) {
  return count_command(
      words, 1, 600000, 0, "a pause in ms (1 to 600000), or off",
      [](SimulatedUps &u, long pause) { u.set_stall(milliseconds(pause)); }, ups);
}

ControlResult flood_command(const Words &words, SimulatedUps &ups) {
  return count_command(
      words, 1, 4096, 0, "a number of bytes (1 to 4096), or off",
      [](SimulatedUps &u, long bytes) { u.set_flood(static_cast<std::size_t>(bytes)); }, ups);
}

ControlResult faults_command(const Words &words, SimulatedUps &ups) {
  if (words.list.size() == 2 && words.list[1] == "off") {
    ups.clear_faults();
    return ok();
  }
  return number_command<&SimulatedUps::set_fault_share, 0, 100>(words, ups);
}

// ---- The command table ------------------------------------------------------

// One command of the language: its name and arguments as help shows them,
// what it does, and how.
struct Command {
  const char *name;
  const char *arguments;
  const char *help;  // lines after the first are indented under it
  ControlResult (*run)(const Words &, SimulatedUps &);
};

const Command commands[] = {
    {"mains", "on|off",
     "mains present or failed (replies marked \"!\" while off,\n"
     "\"$\" on the first reply after it comes back; qx: the utility-fail bit)",
     switch_command<&SimulatedUps::set_mains>},
    {"lowbatt", "[on|off]", "low battery (replies marked \"*\"; qx: the battery-low bit)",
     switch_command<&SimulatedUps::set_low_battery>},
    {"battery", "PCT", "battery level, 0 to 100 (falls while on battery)",
     number_command<&SimulatedUps::set_battery, 0, 100>},
    {"load", "PCT", "load, 0 to 200", number_command<&SimulatedUps::set_load, 0, 200>},
    {"nominal", "VOLTS", "nominal line voltage (answer to LN)",
     number_command<&SimulatedUps::set_nominal_voltage, 1, 1000>},
    {"silent", "[SECONDS]", "stop answering, for a while or until 'talk'", silent_command},
    {"talk", "", "answer again",
     [](const Words &, SimulatedUps &u) {
       u.set_silent(false);
       return ok();
     }},
    {"mark", "C [COUNT]",
     "force mark C (! $ * @ space) on the next COUNT replies,\n"
     "or on all until 'mark off'",
     mark_command},
    {"blank", "on|off", "mark quiet replies with a blank",
     switch_command<&SimulatedUps::set_blank_mark>},
    {"id", "TEXT", "identification text (answer to V?)",
     text_command<&SimulatedUps::set_identification>},
    {"family", "NAME", "identification with NAME at offset 8, e.g. 'family Kyrel'",
     text_command<set_family>},
    {"model", "TEXT", "qx: the model in the answer to I (10 characters)",
     text_command<&SimulatedUps::set_qx_model>},
    {"identify", "on|off", "qx: whether I and F are answered",
     switch_command<&SimulatedUps::set_qx_identifies>},
    {"teststatus", "TEXT", "self-test status text (answer to S5; qx: NG sets the failed bit)",
     text_command<&SimulatedUps::set_test_status>},
    {"reply", "CMD TEXT|off", "answer CMD (e.g. L) with TEXT instead of the simulated value",
     reply_command},
    {"pacing", "on|off", "deliver replies after their time at 4800 baud (qx 2400)",
     switch_command<&SimulatedUps::set_pacing>},
    {"noise", "RATE|off", "random bytes on the line, RATE a second, whatever is asked",
     noise_command},
    {"garbage", "on|off", "random bytes instead of replies (a wrong line speed)",
     switch_command<&SimulatedUps::set_garbage>},
    {"lineend", "END",
     "what replies end with: crlf (right), lf, cr (right for qx), lfcr\n"
     "or none",
     lineend_command},
    {"split", "N [MS]|off", "send replies in two writes, split after byte N, MS apart (20)",
     split_command},
    {"trickle", "MS|off", "send replies one byte a write, MS apart", trickle_command},
    {"stall", "MS|off", "stop MS in the middle of each reply", stall_command},
    {"flood", "BYTES|off", "BYTES unsolicited random bytes right after each reply", flood_command},
    {"faults", "PCT|off",
     "the share of replies the reply faults (garbage to flood) apply to,\n"
     "100 at first; 'faults off' turns every fault mode off",
     faults_command},
    {"zero", "ignore|obey",
     "what a switch-off of 0 (D=0) does while the mains are present:\n"
     "ignored (the output stays on) or obeyed (off for good)",
     [](const Words &w, SimulatedUps &u) {
       const std::string word = w.list.size() == 2 ? w.list[1] : "";
       if (word != "ignore" && word != "obey") {
         return error("say 'zero ignore' or 'zero obey'");
       }
       u.set_zero_on_mains(word == "obey" ? ZeroOnMains::obey : ZeroOnMains::ignore);
       return ok();
     }},
    {"hangup", "", "close the pty and open a new one (the link follows it)",
     [](const Words &, SimulatedUps &u) {
       u.hang_up();
       return ControlResult{"ok, now " + u.slave_path(), false};
     }},
    {"status", "", "show the simulated state",
     [](const Words &, SimulatedUps &u) {
       return ControlResult{u.describe(), false};
     }},
    {"log", "[N]", "show the last N commands received (default 10)", log_command},
    {"help", "", "this list",
     [](const Words &, SimulatedUps &) {
       return ControlResult{control_help(), false};
     }},
    {"quit", "", "end the simulator",
     [](const Words &, SimulatedUps &) {
       return ControlResult{"bye", true};
     }},
};

std::string help_text() {
  constexpr std::size_t column = 20;
  std::string text;
  for (const Command &command : commands) {
    std::string head =
        std::string(command.name) + (*command.arguments ? " " : "") + command.arguments;
    head.resize(std::max(column, head.size() + 1), ' ');
    std::string help = command.help;
    for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += column + 1) {
      help.insert(at + 1, column, ' ');
    }
    text += text.empty() ? "" : "\n";
    text += head;
    text += help;
  }
  return text;
}

}  // namespace

ControlResult run_control(SimulatedUps &ups, const std::string &line) {
  const Words words = split(line);
  if (words.list.empty() || words.list[0][0] == '#') {
    return {"", false};
  }
  const std::string &name = words.list[0] == "exit" ? std::string("quit") : words.list[0];
  for (const Command &command : commands) {
    if (name == command.name) {
      return command.run(words, ups);
    }
  }
  return error("unknown command '" + words.list[0] + "' (try help)");
}

const char *control_help() {
  static const std::string text = help_text();
  return text.c_str();
}

}  // namespace tornax

namespace tornax {

// Qx commands end with CR: its self-tests, switch-offs and cancels start
// with T, S or C (the classic backup-time query "T\n" does not end so).
bool is_control_command(const ReceivedCommand &command) {
  const std::string &b = command.bytes;
  const bool qx =
      !b.empty() && b.find('\r') != std::string::npos && b.find('\n') == std::string::npos;
  if (qx) {
    return b[0] == 'T' || b[0] == 'S' || b[0] == 'C';
  }
  return b.rfind("TD=", 0) == 0 || b.rfind("D=", 0) == 0 || b.rfind("XT", 0) == 0;
}

std::string received_line(const ReceivedCommand &command) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local {};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  const std::size_t n = std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", now.tv_nsec / 1000000L);
  std::string line = std::string(stamp) + " received " + describe_bytes(command.bytes);
  if (!command.reply.empty()) {
    line += ", answered " + describe_bytes(command.reply);
  }
  return line;
}

}  // namespace tornax
