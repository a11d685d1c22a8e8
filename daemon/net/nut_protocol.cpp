#include "daemon/net/nut_protocol.h"

#include <algorithm>
#include <cctype>
#include <span>
#include <string>
#include <string_view>

#include "tornax.h"

namespace tornax {
namespace {

using Words = std::vector<std::string>;

std::string error(const char *word) {
  return std::string("ERR ") + word + "\n";
}

std::string upper(std::string word) {
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return word;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

const NutVariable *find_variable(const NutView &view, const std::string &name) {
  for (const NutVariable &variable : view.variables) {
    if (variable.name == name) {
      return &variable;
    }
  }
  return nullptr;
}

// A block answer: "BEGIN LIST <what>", the lines, "END LIST <what>".
std::string block(const std::string &what, const std::vector<std::string> &lines) {
  std::string text = "BEGIN LIST " + what + "\n";
  for (const std::string &line : lines) {
    text += line + "\n";
  }
  return text + "END LIST " + what + "\n";
}

// Requests about the UPS name it: only ours is known, and only after the
// name has been checked is anything echoed back.
std::optional<std::string> unknown_ups(const NutView &view, const std::string &name) {
  if (name != view.ups_name) {
    return error("UNKNOWN-UPS");
  }
  return std::nullopt;
}

// A subcommand of LIST or GET, and the words a request with it has.
struct Subcommand {
  std::string_view name;
  std::size_t words;
};

// What LIST and GET answer for subcommand `what` (upper-cased, its words
// counted), from one view of the UPS.
using QueryAnswer = std::string (*)(const std::string &what, const Words &args,
                                    const NutView &view);

// LIST and GET: the subcommand `args` starts with must be one of `known`,
// with its number of words, before anything is looked at.
std::string answer_query(const Words &args, const NutServerSide &side,
                         std::span<const Subcommand> known, QueryAnswer answer) {
  if (args.empty()) {
    return error("INVALID-ARGUMENT");
  }
  const std::string what = upper(args[0]);
  for (const Subcommand &candidate : known) {
    if (what == candidate.name) {
      return args.size() == candidate.words ? answer(what, args, side.view())
                                            : error("INVALID-ARGUMENT");
    }
  }
  return error("INVALID-ARGUMENT");
}

// ---- LIST ---------------------------------------------------------------------

std::string list_ups(const NutView &view) {
  return block("UPS", {"UPS " + view.ups_name + " " + nut_quoted(view.description)});
}

std::string list_vars(const NutView &view) {
  if (view.stale) {
    return error("DATA-STALE");
  }
  std::vector<std::string> lines;
  for (const NutVariable &variable : view.variables) {
    lines.push_back("VAR " + view.ups_name + " " + variable.name + " " +
                    nut_quoted(variable.value));
  }
  return block("VAR " + view.ups_name, lines);
}

std::string list_clients(const NutView &view) {
  std::vector<std::string> lines;
  for (const std::string &address : view.clients) {
    lines.push_back("CLIENT " + view.ups_name + " " + address);
  }
  return block("CLIENT " + view.ups_name, lines);
}

constexpr Subcommand list_subcommands[] = {{"UPS", 1},    {"VAR", 2},  {"RW", 2},   {"CMD", 2},
                                           {"CLIENT", 2}, {"ENUM", 3}, {"RANGE", 3}};

std::string answer_list(const std::string &what, const Words &args, const NutView &view) {
  if (what == "UPS") {
    return list_ups(view);
  }
  if (auto refused = unknown_ups(view, args[1])) {
    return *refused;
  }
  if (what == "VAR") {
    return list_vars(view);
  }
  if (what == "CLIENT") {
    return list_clients(view);
  }
  if (args.size() == 2) {  // RW and CMD: nothing here can be written or commanded
    return block(what + " " + view.ups_name, {});
  }
  const NutVariable *variable = find_variable(view, args[2]);
  if (variable == nullptr) {
    return error("VAR-NOT-SUPPORTED");
  }
  return block(what + " " + view.ups_name + " " + variable->name, {});
}

// ---- GET ----------------------------------------------------------------------

std::string variable_type(const NutVariable &variable) {
  if (variable.string_length == 0) {
    return "NUMBER";
  }
  return "STRING:" + std::to_string(variable.string_length);
}

std::string get_variable_fact(const std::string &what, const NutView &view,
                              const std::string &name) {
  const bool told_anyway = view.forced_shutdown && name == "ups.status";
  if (what == "VAR" && view.stale && !told_anyway) {
    return error("DATA-STALE");
  }
  const NutVariable *variable = find_variable(view, name);
  if (variable == nullptr) {
    return error("VAR-NOT-SUPPORTED");
  }
  const std::string head = what + " " + view.ups_name + " " + variable->name + " ";
  if (what == "VAR") {
    return head + nut_quoted(variable->value) + "\n";
  }
  if (what == "TYPE") {
    return head + variable_type(*variable) + "\n";
  }
  return head + nut_quoted(variable->description) + "\n";
}

constexpr Subcommand get_subcommands[] = {{"VAR", 3},     {"TYPE", 3},    {"DESC", 3},
                                          {"CMDDESC", 3}, {"UPSDESC", 2}, {"NUMLOGINS", 2}};

std::string answer_get(const std::string &what, const Words &args, const NutView &view) {
  if (auto refused = unknown_ups(view, args[1])) {
    return *refused;
  }
  if (what == "UPSDESC") {
    return "UPSDESC " + view.ups_name + " " + nut_quoted(view.description) + "\n";
  }
  if (what == "NUMLOGINS") {
    return "NUMLOGINS " + view.ups_name + " " + std::to_string(view.numlogins) + "\n";
  }
  if (what == "CMDDESC") {
    return error("CMD-NOT-SUPPORTED");
  }
  return get_variable_fact(what, view, args[2]);
}

// ---- Accounts -------------------------------------------------------------------

std::string set_credential(const Words &args, std::optional<std::string> &slot,
                           const char *already) {
  if (args.size() != 1) {
    return error("INVALID-ARGUMENT");
  }
  if (slot) {
    return error(already);
  }
  slot = args[0];
  return "OK\n";
}

std::string answer_login(const Words &args, NutSession &session, const NutServerSide &side) {
  if (args.size() != 1) {
    return error("INVALID-ARGUMENT");
  }
  if (session.logged_in) {
    return error("ALREADY-LOGGED-IN");
  }
  if (!session.username) {
    return error("USERNAME-REQUIRED");
  }
  if (!session.password) {
    return error("PASSWORD-REQUIRED");
  }
  if (auto refused = unknown_ups(side.view(), args[0])) {
    return *refused;
  }
  if (!side.login(*session.username, *session.password)) {
    return error("ACCESS-DENIED");
  }
  session.logged_in = true;
  return "OK\n";
}

// Requests that would change the UPS: refused, and never acted on.
std::string refuse_change(const NutSession &session) {
  if (!session.username) {
    return error("USERNAME-REQUIRED");
  }
  if (!session.password) {
    return error("PASSWORD-REQUIRED");
  }
  return error("ACCESS-DENIED");
}

// Before the session is encrypted, a server that requires it takes no
// account: the same refusal a wrong one gets.
std::optional<std::string> refuse_in_clear(const NutSession &session, const NutServerSide &side) {
  if (side.tls_required && !session.tls) {
    return error("ACCESS-DENIED");
  }
  return std::nullopt;
}

std::string answer_starttls(const Words &args, NutSession &session, const NutServerSide &side) {
  if (!args.empty()) {
    return error("INVALID-ARGUMENT");
  }
  if (session.tls || session.starting_tls) {
    return error("ALREADY-SSL-MODE");
  }
  if (!side.tls_offered) {
    return error("FEATURE-NOT-CONFIGURED");
  }
  session.starting_tls = true;
  return "OK STARTTLS\n";
}

// ---- Dispatch -----------------------------------------------------------------

using Handler = std::string (*)(const Words &, NutSession &, const NutServerSide &);

std::string no_arguments(const Words &args, const std::string &answer) {
  return args.empty() ? answer : error("INVALID-ARGUMENT");
}

struct Command {
  const char *name;
  Handler handle;
};

// One table drives both the dispatch and HELP's line.
const Command commands[] = {
    {"HELP", [](const Words &a, NutSession &,
                const NutServerSide &) { return no_arguments(a, nut_help_line()); }},
    {"VER",
     [](const Words &a, NutSession &, const NutServerSide &) {
       return no_arguments(a, std::string(program_title) + " " + version_text + "\n");
     }},
    {"NETVER",
     [](const Words &a, NutSession &, const NutServerSide &) {
       return no_arguments(a, std::string(nut_protocol_version) + "\n");
     }},
    {"PROTVER",
     [](const Words &a, NutSession &, const NutServerSide &) {
       return no_arguments(a, std::string(nut_protocol_version) + "\n");
     }},
    {"LIST",
     [](const Words &a, NutSession &, const NutServerSide &side) {
       return answer_query(a, side, list_subcommands, answer_list);
     }},
    {"GET",
     [](const Words &a, NutSession &, const NutServerSide &side) {
       return answer_query(a, side, get_subcommands, answer_get);
     }},
    {"USERNAME",
     [](const Words &a, NutSession &s, const NutServerSide &side) {
       if (auto refused = refuse_in_clear(s, side)) {
         return *refused;
       }
       return set_credential(a, s.username, "ALREADY-SET-USERNAME");
     }},
    {"PASSWORD",
     [](const Words &a, NutSession &s, const NutServerSide &side) {
       if (auto refused = refuse_in_clear(s, side)) {
         return *refused;
       }
       return set_credential(a, s.password, "ALREADY-SET-PASSWORD");
     }},
    {"LOGIN",
     [](const Words &a, NutSession &s, const NutServerSide &side) {
       if (auto refused = refuse_in_clear(s, side)) {
         return *refused;
       }
       return answer_login(a, s, side);
     }},
    {"LOGOUT",
     [](const Words &a, NutSession &s, const NutServerSide &) {
       std::string answer = no_arguments(a, "OK Goodbye\n");
       s.closing = a.empty();
       return answer;
     }},
    {"STARTTLS", answer_starttls},
    {"SET", [](const Words &, NutSession &s, const NutServerSide &) { return refuse_change(s); }},
    {"INSTCMD",
     [](const Words &, NutSession &s, const NutServerSide &) { return refuse_change(s); }},
    {"PRIMARY",
     [](const Words &, NutSession &, const NutServerSide &) { return error("ACCESS-DENIED"); }},
    {"MASTER",
     [](const Words &, NutSession &, const NutServerSide &) { return error("ACCESS-DENIED"); }},
    {"FSD",
     [](const Words &, NutSession &, const NutServerSide &) { return error("ACCESS-DENIED"); }},
};

}  // namespace

std::optional<std::vector<std::string>> split_nut_words(std::string_view line) {
  Words words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (!quoted && is_blank(c)) {
      if (in_word) {
        words.push_back(std::move(word));
        word.clear();
        in_word = false;
      }
      continue;
    }
    in_word = true;
    if (c == '"') {
      quoted = !quoted;
    } else if (c == '\\') {
      if (++i == line.size()) {
        return std::nullopt;
      }
      word += line[i];
    } else {
      word += c;
    }
  }
  if (quoted) {
    return std::nullopt;
  }
  if (in_word) {
    words.push_back(std::move(word));
  }
  return words;
}

std::string nut_quoted(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
    }
    // A line end would split the answer; control characters are no text.
    quoted += std::iscntrl(static_cast<unsigned char>(c)) ? '?' : c;
  }
  return quoted + "\"";
}

bool NutLineSplitter::take(const char *data, std::size_t length, const Handler &handle) {
  for (std::size_t i = 0; i < length; ++i) {
    if (data[i] == '\n') {
      const bool go_on = skipping_ || handle(std::string_view(pending_));
      skipping_ = false;
      pending_.clear();
      if (!go_on) {
        return false;
      }
    } else if (skipping_) {
      continue;
    } else if (pending_.size() + 1 < nut_line_limit) {
      pending_ += data[i];
    } else {
      skipping_ = true;
      pending_.clear();
      if (!handle(std::nullopt)) {
        return false;
      }
    }
  }
  return true;
}

std::string nut_help_line() {
  std::string line = "Commands:";
  for (const Command &command : commands) {
    line += std::string(" ") + command.name;
  }
  return line + "\n";
}

std::string answer_nut_request(std::string_view line, NutSession &session,
                               const NutServerSide &side) {
  if (!line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  const std::optional<Words> words = split_nut_words(line);
  if (!words) {
    return error("INVALID-ARGUMENT");
  }
  if (words->empty()) {
    return "";
  }
  const std::string name = upper(words->front());
  const Words args(words->begin() + 1, words->end());
  for (const Command &command : commands) {
    if (name == command.name) {
      return command.handle(args, session, side);
    }
  }
  return error("UNKNOWN-COMMAND");
}

}  // namespace tornax
