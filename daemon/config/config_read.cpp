#include "daemon/config/config_read.h"

#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/private_file.h"
#include "common/status_auth.h"
#include "daemon/core/error.h"
#include "daemon/core/util.h"
#include "daemon/net/access_policy.h"
#include "daemon/net/descriptors.h"
#include "daemon/net/tls_certificate.h"
#include "daemon/ups/driver.h"

namespace tornax {

token_value yylval;

const char *token_name(token kind) {
  static const char *const names[] = {"END",
                                      "ALERT_TAG",
                                      "LOG_TAG",
                                      "PAGER_TAG",
                                      "EXEC_TAG",
                                      "SCOPE",
                                      "YESNO",
                                      "SHUTDOWN",
                                      "DAILY",
                                      "WEEKLY",
                                      "MANUAL",
                                      "UPSTEST",
                                      "BACKUPTIME",
                                      "SILENT_SHUTDOWN",
                                      "SHUTDOWN_RUNTIME",
                                      "SHUTDOWN_CHARGE",
                                      "EXEC_TIMEOUT",
                                      "WALLPATH",
                                      "UPS_TYPE",
                                      "UPS_SHUTDOWN_DELAY",
                                      "UPS_DEVICE",
                                      "MODEM_DEVICE",
                                      "TURNOFF_UPS",
                                      "LOGSIZE",
                                      "UPS_LOCATION",
                                      "MAX_CLIENT",
                                      "PORT",
                                      "LISTEN",
                                      "ALLOW",
                                      "MAX_CLIENT_PER_HOST",
                                      "STATUS_KEY",
                                      "NUT_PORT",
                                      "NUT_UPSNAME",
                                      "NUT_MAX_CLIENT",
                                      "NUT_USER",
                                      "NUT_HOSTSYNC",
                                      "NUT_CERTFILE",
                                      "NUT_REQUIRE_TLS",
                                      "RESTART_SLEEP",
                                      "UPS_PROTOCOL",
                                      "HOST_SHUTDOWN",
                                      "SHUTDOWN_DEADLINE",
                                      "BATTERY_VOLTAGE_LOW",
                                      "BATTERY_VOLTAGE_HIGH",
                                      "HTTP_PORT",
                                      "ON",
                                      "TO",
                                      "WEEKDAY",
                                      "DATE_TIME",
                                      "TIME",
                                      "WEEK_TIME",
                                      "NUMBER",
                                      "STRING",
                                      "EOL"};
  static_assert(std::size(names) == static_cast<std::size_t>(token::EOL) + 1,
                "one name for each token");
  const auto index = static_cast<std::size_t>(kind);
  return index < std::size(names) ? names[index] : "?";
}
int config_lineno = 0;
unsigned int settings_generation = 0;

namespace {

// ---- Names ------------------------------------------------------------------

constexpr const char *event_stems[event_count] = {
    "POWERFAIL",  "POWERRETURN",  "LOWBATT",       "POWERFAIL_DOWN",
    "COMM_ERROR", "COMM_CONNECT", "SCHEDULE_DOWN", "OVERLOAD",
};

constexpr const char *month_names[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                         "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr const char *weekday_names[7] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};

// The statement keywords: the tokens from SHUTDOWN to HTTP_PORT, each spelt
// as its name, upper case only.
constexpr token first_keyword = token::SHUTDOWN;
constexpr token last_keyword = token::HTTP_PORT;

// The per-event statements: the event's stem and a suffix ("POWERFAIL_ALERT").
struct EventTag {
  token kind;
  const char *suffix;
};
constexpr EventTag event_tags[] = {{token::ALERT_TAG, "_ALERT"},
                                   {token::LOG_TAG, "_LOG"},
                                   {token::PAGER_TAG, "_PAGER"},
                                   {token::EXEC_TAG, "_EXEC"}};

struct ValueWord {
  const char *name;
  token kind;
  int value;
};

// Any mixture of upper and lower case.
constexpr ValueWord value_words[] = {
    {"none", token::SCOPE, scope_none},
    {"console", token::SCOPE, scope_console},
    {"all", token::SCOPE, scope_all},
    {"yes", token::YESNO, 1},
    {"no", token::YESNO, 0},
    {"on", token::ON, 0},
    {"to", token::TO, 0},
};

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

template <std::size_t N>
int index_of(const char *const (&names)[N], std::string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (name == names[i]) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace

const char *event_stem(int e) {
  return event_stems[e];
}

int to_mon(const char *month_string) {
  return month_string == nullptr ? -1 : index_of(month_names, month_string);
}

int to_wday(const char *wday_string) {
  return wday_string == nullptr ? -1 : index_of(weekday_names, wday_string);
}

namespace {

// ---- Scanner input ----------------------------------------------------------

// The longest token, run of blanks or comment the scanner accepts.
constexpr std::size_t max_token_length = 8191;

[[noreturn]] void token_too_large() {
  const char *reported = "token too large, exceeds YYLMAX";
  std::fprintf(stderr, "%s\n", reported);
  std::fflush(stderr);
  throw ConfigFailure{2, "", reported};
}

// The text the administrator has always seen, and on the next line which
// file it was and why, which that text alone never said.
ConfigFailure cannot_open(int error) {
  return ConfigFailure{1, "Cannot open Configuration file", "",
                       std::string(config_filename) + ": " + std::strerror(error)};
}

void check_length(std::size_t length) {
  if (length > max_token_length) {
    token_too_large();
  }
}

// The unread part of the stream, with enough look-ahead for one token. It
// never holds much more than one token, however long the file or its lines.
class Source {
 public:
  void reset(std::FILE *stream) {
    stream_ = stream;
    pending_.clear();
    next_ = 0;
  }

  // The character `offset` places ahead, or EOF.
  int peek(std::size_t offset) {
    while (next_ + offset >= pending_.size()) {
      const int c = stream_ == nullptr ? EOF : std::getc(stream_);
      if (c == EOF) {
        if (stream_ != nullptr && std::ferror(stream_)) {
          throw cannot_open(errno);
        }
        return EOF;
      }
      if (c == '\0') {
        // Values end up in C strings, which would cut them at the NUL and
        // act on what comes before it: only a damaged file holds one.
        yyerror("a NUL byte, which no statement may hold");
      }
      pending_.push_back(static_cast<char>(c));
    }
    return static_cast<unsigned char>(pending_[next_ + offset]);
  }

  std::string take(std::size_t length) {
    std::string text = pending_.substr(next_, length);
    skip(length);
    return text;
  }

  void skip(std::size_t length) {
    next_ += length;
    if (next_ >= pending_.size()) {
      pending_.clear();
      next_ = 0;
    } else if (next_ > 2 * max_token_length) {
      pending_.erase(0, next_);
      next_ = 0;
    }
  }

  // Length of the run of characters from `from` on that satisfy `accept`,
  // counted no further than one past the token limit.
  template <typename Accept>
  std::size_t run(std::size_t from, Accept accept) {
    std::size_t length = 0;
    while (length <= max_token_length && accept(peek(from + length))) {
      ++length;
    }
    return length;
  }

 private:
  std::FILE *stream_ = nullptr;
  std::string pending_;
  std::size_t next_ = 0;
};

Source source;
bool line_start = true;

bool is_blank(int c) {
  return c == ' ' || c == '\t' || c == '\r';
}
bool is_word_char(int c) {
  return c != EOF && c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '"';
}
bool is_digit(int c) {
  return c >= '0' && c <= '9';
}
bool is_not_line_end(int c) {
  return c != EOF && c != '\n';
}

// Keeps config_lineno + 1, the line yyerror names, inside an int.
void count_line() {
  if (config_lineno < INT_MAX - 1) {
    ++config_lineno;
  }
}

// ---- Token forms ------------------------------------------------------------

// A run of digits as an int; a value that does not fit is a configuration error.
int to_number(std::string_view digits) {
  long long value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > INT_MAX) {
      yyerror("number too large, the largest is 2147483647");
    }
  }
  return static_cast<int>(value);
}

// Length of "digits:digits" at the start of `text`, or 0.
std::size_t clock_length(std::string_view text) {
  std::size_t hour = 0;
  while (hour < text.size() && is_digit(text[hour])) {
    ++hour;
  }
  if (hour == 0 || hour >= text.size() || text[hour] != ':') {
    return 0;
  }
  std::size_t end = hour + 1;
  while (end < text.size() && is_digit(text[end])) {
    ++end;
  }
  return end > hour + 1 ? end : 0;
}

// Reads "hour:minute" into `time`.
void read_clock(std::string_view text, struct tm &time) {
  const std::size_t colon = text.find(':');
  time.tm_hour = to_number(text.substr(0, colon));
  time.tm_min = to_number(text.substr(colon + 1));
}

// Length of "digits MON digits:digits" at the current position (one blank
// each side of an upper-case month name), or 0.
std::size_t date_time_length() {
  const std::size_t day = source.run(0, is_digit);
  if (day == 0 || day > max_token_length || source.peek(day) != ' ') {
    return 0;
  }
  std::string month;
  for (std::size_t i = 1; i <= 3; ++i) {
    const int c = source.peek(day + i);
    if (c == EOF) {
      return 0;
    }
    month.push_back(static_cast<char>(c));
  }
  if (to_mon(month.c_str()) < 0 || source.peek(day + 4) != ' ') {
    return 0;
  }
  const std::size_t hour = source.run(day + 5, is_digit);
  if (hour == 0 || hour > max_token_length || source.peek(day + 5 + hour) != ':') {
    return 0;
  }
  const std::size_t minute = source.run(day + 6 + hour, is_digit);
  return minute == 0 ? 0 : day + 6 + hour + minute;
}

token date_time_token(std::size_t length) {
  const std::string text = source.take(length);
  const std::size_t blank = text.find(' ');
  yylval.time.tm_mday = to_number(std::string_view(text).substr(0, blank));
  yylval.time.tm_mon = to_mon(text.substr(blank + 1, 3).c_str());
  read_clock(std::string_view(text).substr(blank + 5), yylval.time);
  return token::DATE_TIME;
}

std::optional<token> keyword_token(const std::string &word) {
  for (int e = 0; e < event_count; ++e) {
    for (const EventTag &tag : event_tags) {
      if (word == event_stems[e] + std::string(tag.suffix)) {
        yylval.number = e;
        return tag.kind;
      }
    }
  }
  for (const ValueWord &v : value_words) {
    if (same_ignoring_case(word, v.name)) {
      yylval.number = v.value;
      return v.kind;
    }
  }
  for (int k = static_cast<int>(first_keyword); k <= static_cast<int>(last_keyword); ++k) {
    if (word == token_name(static_cast<token>(k))) {
      return static_cast<token>(k);
    }
  }
  return std::nullopt;
}

// The time forms that a whole word can be: WEEKDAY, TIME, WEEK_TIME.
std::optional<token> time_token(const std::string &word) {
  if (const int wday = to_wday(word.c_str()); wday >= 0) {
    yylval.time.tm_wday = wday;
    return token::WEEKDAY;
  }
  const std::size_t clock = clock_length(word);
  if (clock == 0) {
    return std::nullopt;
  }
  if (clock == word.size()) {
    read_clock(word, yylval.time);
    return token::TIME;
  }
  const int wday = to_wday(word.substr(clock + 1).c_str());
  if (word[clock] != '#' || wday < 0) {
    return std::nullopt;
  }
  read_clock(std::string_view(word).substr(0, clock), yylval.time);
  yylval.time.tm_wday = wday;
  return token::WEEK_TIME;
}

// A run of word characters, or a date and time that starts with one: the
// longest match wins, and of two equally long ones the keyword or time form.
token word_token() {
  const std::size_t word_length = source.run(0, is_word_char);
  check_length(word_length);
  if (const std::size_t length = date_time_length(); length > word_length) {
    check_length(length);
    return date_time_token(length);
  }
  std::string word = source.take(word_length);
  if (const auto kind = keyword_token(word)) {
    return *kind;
  }
  if (const auto kind = time_token(word)) {
    return *kind;
  }
  if (word.find_first_not_of("0123456789") == std::string::npos) {
    yylval.text = word;  // a password may be all digits, leading zeros and all
    yylval.number = to_number(word);
    return token::NUMBER;
  }
  yylval.text = std::move(word);
  return token::STRING;
}

// Length of the quoted text that starts here, quotes included, or 0 when it
// does not close on this line. A quote right after a backslash does not close.
std::size_t quoted_length() {
  for (std::size_t i = 1;; ++i) {
    const int c = source.peek(i);
    if (c == EOF || c == '\r' || c == '\n') {
      return 0;
    }
    check_length(i + 1);
    if (c == '"' && source.peek(i - 1) != '\\') {
      return i + 1;
    }
  }
}

// Skips what is no token (comments, blanks, continuations, stray quotes) and
// returns the kind of a token that starts here, or nothing.
std::optional<token> scan_one() {
  const int c = source.peek(0);
  if (c == '\n') {
    source.skip(1);
    count_line();
    line_start = true;
    return token::EOL;
  }
  if (c == '\\' && source.peek(1) == '\n') {
    source.skip(2);
    count_line();
    line_start = true;
    return std::nullopt;
  }
  const bool comment = line_start && c == '#';
  line_start = false;
  if (comment || is_blank(c)) {
    const std::size_t length = source.run(0, comment ? is_not_line_end : is_blank);
    check_length(length);
    source.skip(length);
    return std::nullopt;
  }
  if (c == '"') {
    if (const std::size_t length = quoted_length(); length > 0) {
      yylval.text = source.take(length).substr(1, length - 2);
      return token::STRING;
    }
    std::putchar('"');
    source.skip(1);
    return std::nullopt;
  }
  return word_token();
}

}  // namespace

void config_scan_from(std::FILE *stream) {
  source.reset(stream);
  line_start = true;
}

token yylex() {
  yylval = token_value{};
  while (source.peek(0) != EOF) {
    if (const auto kind = scan_one()) {
      return *kind;
    }
  }
  // Ready for the next stream: a fresh line start, nothing carried over.
  config_scan_from(nullptr);
  return token::END;
}

// ---- Parser -----------------------------------------------------------------

namespace {

// The largest minute count whose seconds still fit an int.
constexpr int max_minutes = INT_MAX / 60;

struct Token {
  token kind = token::END;
  token_value value;
  int line = 0;  // the line the token stands on
};

std::vector<StatementPlace> places;

// Recursive descent over the statements. A token is read only when the
// parser needs it to go on, and the first token that fits no statement is
// the error, so config_lineno names its line (or the line after a statement
// cut short at its line end). Statements loop rather than nest, so a file may
// hold any number of them.
class Parser {
 public:
  explicit Parser(Settings &target) : s_(target) {}

  void parse_file() {
    places.clear();
    if (peek() == token::END) {
      yyerror("syntax error");
    }
    while (peek() != token::END) {
      statement();
    }
  }

 private:
  token peek() {
    if (!ahead_) {
      const token kind = yylex();
      // A line end has been counted already; any other token stands on the
      // line after the line ends read so far.
      ahead_ =
          Token{kind, std::move(yylval), kind == token::EOL ? config_lineno : config_lineno + 1};
    }
    return ahead_->kind;
  }

  Token take() {
    peek();
    Token next = std::move(*ahead_);
    ahead_.reset();
    last_line_ = next.line;
    return next;
  }

  token_value expect(token kind) {
    Token next = take();
    if (next.kind != kind) {
      yyerror("syntax error");
    }
    return std::move(next.value);
  }

  int expect_minutes_in_seconds() {
    const int minutes = expect(token::NUMBER).number;
    if (minutes > max_minutes) {
      yyerror("minutes too large, the largest is 35791394");
    }
    return minutes * 60;
  }

  // A number from `smallest` to `largest`; else the error "<statement's
  // name> `limits`".
  unsigned int expect_between(int smallest, int largest, token statement, const char *limits) {
    const int value = expect(token::NUMBER).number;
    if (value < smallest || value > largest) {
      yyerror(format_text("%s %s", token_name(statement), limits).c_str());
    }
    return static_cast<unsigned int>(value);
  }

  // Volts, written with at most one decimal point ("11.4", "24"): more than
  // 0 and at most max_battery_volts; else "<statement's name> is volts...".
  double expect_volts(token statement) {
    const std::string text = expect_text();
    const bool plain = !text.empty() && text.size() <= 8 &&
                       text.find_first_not_of("0123456789.") == std::string::npos &&
                       std::count(text.begin(), text.end(), '.') <= 1 && text.front() != '.' &&
                       text.back() != '.';
    const double volts = plain ? std::strtod(text.c_str(), nullptr) : 0.0;
    if (!(volts > 0.0 && volts <= max_battery_volts)) {
      yyerror(format_text("%s is volts, more than 0 and at most %.0f (e.g. 11.4)",
                          token_name(statement), max_battery_volts)
                  .c_str());
    }
    return volts;
  }

  void statement();
  void alert_statement(int e);
  void exec_statement(int e);
  void shutdown_statement();
  void daily_statement();
  void weekly_statement();
  void manual_statement();
  void upstest_statement();
  void listen_statement();
  void allow_statement();
  void status_key_statement();
  void nut_statement(token kind);
  void nut_certfile_statement();
  int expect_in_range(token statement, int low, int high);
  // A word or quoted text; a word of digits counts as its text.
  std::string expect_text() {
    Token next = take();
    if (next.kind != token::STRING && next.kind != token::NUMBER) {
      yyerror("syntax error");
    }
    return std::move(next.value.text);
  }
  void http_port_statement();
  void host_shutdown_statement();
  void set_window(int mode, const struct tm &down, const struct tm &up);

  void note_place(const Token &first);

  Settings &s_;
  std::optional<Token> ahead_;
  int last_line_ = 0;  // the line of the last token taken
};

void Parser::statement() {
  const Token first = take();
  const int e = first.value.number;
  switch (first.kind) {
    case token::EOL:
      break;
    case token::ALERT_TAG:
      alert_statement(e);
      break;
    case token::LOG_TAG:
      s_.log_control[e].enable = expect(token::YESNO).number;
      expect(token::EOL);
      s_.log_control[e].found = 1;
      break;
    case token::PAGER_TAG:
      s_.pager[e].enable = expect(token::YESNO).number;
      s_.pager[e].message = expect(token::STRING).text;
      break;
    case token::MODEM_DEVICE:
      s_.modem_filename = expect(token::STRING).text;
      break;
    case token::UPS_DEVICE:
      s_.ups_filename = expect(token::STRING).text;
      break;
    case token::TURNOFF_UPS:
      s_.turnoff_ups = expect(token::YESNO).number;
      break;
    case token::LOGSIZE:
      s_.logsize = static_cast<unsigned int>(expect(token::NUMBER).number);
      break;
    case token::BACKUPTIME:
      s_.powerfail_timeout = static_cast<unsigned int>(expect_minutes_in_seconds());
      break;
    case token::SILENT_SHUTDOWN:
      s_.silent_shutdown = static_cast<unsigned int>(expect_minutes_in_seconds());
      break;
    case token::SHUTDOWN_RUNTIME:
      s_.shutdown_runtime = static_cast<unsigned int>(expect_minutes_in_seconds());
      break;
    case token::SHUTDOWN_CHARGE:
      s_.shutdown_charge = expect_between(0, 100, first.kind, "is a percentage, 0 to 100");
      break;
    case token::EXEC_TIMEOUT:
      s_.exec_timeout = expect_between(1, 86400, first.kind, "is 1 to 86400 seconds");
      break;
    case token::EXEC_TAG:
      exec_statement(e);
      break;
    case token::UPS_TYPE:
      s_.adapter_type = expect(token::NUMBER).number;
      break;
    case token::WALLPATH:
      s_.wall_cmd = expect(token::STRING).text;
      break;
    case token::UPS_SHUTDOWN_DELAY:
      s_.ups_shutdown_delay = expect(token::NUMBER).number;
      break;
    case token::UPS_LOCATION:
      s_.ups_location = expect(token::STRING).text;
      break;
    case token::PORT:
      s_.port = expect(token::NUMBER).number;
      break;
    case token::MAX_CLIENT:
      s_.max_client = expect(token::NUMBER).number;
      break;
    case token::LISTEN:
      listen_statement();
      break;
    case token::ALLOW:
      allow_statement();
      break;
    case token::MAX_CLIENT_PER_HOST:
      s_.max_client_per_host = expect(token::NUMBER).number;
      break;
    case token::STATUS_KEY:
      status_key_statement();
      break;
    case token::NUT_PORT:
    case token::NUT_UPSNAME:
    case token::NUT_MAX_CLIENT:
    case token::NUT_USER:
    case token::NUT_HOSTSYNC:
      nut_statement(first.kind);
      break;
    case token::NUT_CERTFILE:
      nut_certfile_statement();
      break;
    case token::NUT_REQUIRE_TLS:
      s_.nut_require_tls = expect(token::YESNO).number != 0;
      break;
    case token::RESTART_SLEEP:
      s_.restart_sleep = expect_between(0, max_restart_sleep, first.kind, "is 0 to 9999 minutes");
      break;
    case token::UPS_PROTOCOL: {
      std::string name = expect(token::STRING).text;
      if (find_ups_driver(name) == nullptr) {
        yyerror(format_text("%s %s: the UPS protocols are %s", token_name(first.kind), name.c_str(),
                            ups_driver_names())
                    .c_str());
      }
      s_.ups_protocol = std::move(name);
      break;
    }
    case token::HOST_SHUTDOWN:
      host_shutdown_statement();
      break;
    case token::SHUTDOWN_DEADLINE:
      s_.shutdown_deadline =
          expect_between(1, max_shutdown_deadline, first.kind, "is 1 to 3600 seconds");
      break;
    case token::BATTERY_VOLTAGE_LOW:
      s_.battery_voltage_low = expect_volts(first.kind);
      break;
    case token::BATTERY_VOLTAGE_HIGH:
      s_.battery_voltage_high = expect_volts(first.kind);
      break;
    case token::HTTP_PORT:
      http_port_statement();
      break;
    case token::SHUTDOWN:
      shutdown_statement();
      break;
    case token::UPSTEST:
      upstest_statement();
      break;
    default:
      yyerror("syntax error");
  }
  note_place(first);
}

void Parser::note_place(const Token &first) {
  if (first.kind == token::EOL) {
    return;
  }
  std::string keyword = token_name(first.kind);
  for (const EventTag &tag : event_tags) {
    if (tag.kind == first.kind) {
      keyword = event_stems[first.value.number] + std::string(tag.suffix);
    }
  }
  places.push_back({std::move(keyword), first.line, last_line_});
}

// The statement is complete only with its line end, and only then in force;
// the file's values are checked as they are read, so an error names their line.
void Parser::alert_statement(int e) {
  const int interval = expect_minutes_in_seconds();
  const int who = expect(token::SCOPE).number;
  std::string message = expect(token::STRING).text;
  expect(token::EOL);
  alert_record &record = s_.alert[e];
  record.interval = interval;
  record.who = who;
  record.message = std::move(message);
  record.found = 1;
}

// The daemon runs in "/" and hands the path to no shell: only an absolute
// path names one program, whatever the working directory.
void Parser::exec_statement(int e) {
  std::string path = expect(token::STRING).text;
  if (path.empty() || path[0] != '/') {
    yyerror((std::string(event_stems[e]) + "_EXEC " + path + ": not an absolute path").c_str());
  }
  s_.exec[e] = std::move(path);
}

// Whether the file being read names a shutdown schedule (or ends one).
bool schedule_named = false;

// "SHUTDOWN" alone, and "SHUTDOWN MANUAL" without ranges, change nothing;
// "SHUTDOWN NONE" (the scope word none) ends any schedule.
void Parser::shutdown_statement() {
  if (peek() == token::SCOPE && ahead_->value.number == scope_none) {
    take();
    s_.shutdown_schedule_mode = schedule_none;
    s_.num_shutdown_schedule = 0;
    schedule_named = true;
    return;
  }
  switch (peek()) {
    case token::DAILY:
      take();
      daily_statement();
      break;
    case token::WEEKLY:
      take();
      weekly_statement();
      break;
    case token::MANUAL:
      take();
      manual_statement();
      break;
    default:
      break;
  }
}

void Parser::set_window(int mode, const struct tm &down, const struct tm &up) {
  schedule_named = true;
  s_.shutdown_schedule_mode = mode;
  s_.num_shutdown_schedule = 0;
  s_.shutdown_schedule_list[0].downtime = down;
  s_.shutdown_schedule_list[0].uptime = up;
}

void Parser::daily_statement() {
  const struct tm down = expect(token::TIME).time;
  expect(token::TO);
  const struct tm up = expect(token::TIME).time;
  if (peek() != token::ON) {
    set_window(schedule_daily, down, up);
    return;
  }
  take();
  const struct tm begin = expect(token::WEEKDAY).time;
  expect(token::TO);
  const struct tm end = expect(token::WEEKDAY).time;
  set_window(schedule_daily_apply, down, up);
  s_.schedule_apply.begin = begin;
  s_.schedule_apply.end = end;
}

void Parser::weekly_statement() {
  const struct tm down = expect(token::WEEK_TIME).time;
  expect(token::TO);
  const struct tm up = expect(token::WEEK_TIME).time;
  set_window(schedule_weekly, down, up);
}

// Ranges append to the ranges earlier manual statements left; a range beyond
// the table's end is refused rather than dropped, so no planned shutdown is
// silently lost.
void Parser::manual_statement() {
  bool any = false;
  while (peek() == token::DATE_TIME) {
    const struct tm down = take().value.time;
    expect(token::TO);
    const struct tm up = expect(token::DATE_TIME).time;
    if (s_.num_shutdown_schedule >= max_schedule_entries) {
      yyerror(format_text("more than %d %s shutdown ranges", max_schedule_entries,
                          token_name(token::MANUAL))
                  .c_str());
    }
    shutdown_schedule &range = s_.shutdown_schedule_list[s_.num_shutdown_schedule++];
    range.downtime = down;
    range.uptime = up;
    any = true;
  }
  if (any) {
    s_.shutdown_schedule_mode = schedule_manual;
    schedule_named = true;
  }
}

// Entries keep their `executed` flags, so a reload within a test's minute
// does not run the test again.
void Parser::upstest_statement() {
  while (peek() == token::DATE_TIME) {
    const struct tm time = take().value.time;
    if (s_.num_test_schedule >= max_schedule_entries) {
      yyerror(format_text("more than %d %s dates", max_schedule_entries, token_name(token::UPSTEST))
                  .c_str());
    }
    s_.test_schedule_list[s_.num_test_schedule++].time = time;
  }
}

// Addresses are numeric: a host name would tie the start to the resolver.
void Parser::listen_statement() {
  do {
    const std::string text = expect(token::STRING).text;
    const std::optional<IpAddress> address = parse_ip_address(text);
    if (!address) {
      yyerror(
          format_text("%s %s: not an IPv4 or IPv6 address", token_name(token::LISTEN), text.c_str())
              .c_str());
    }
    add_listen_address(s_.listen, *address);
  } while (peek() == token::STRING);
}

void Parser::allow_statement() {
  do {
    const std::string text = expect(token::STRING).text;
    const std::optional<IpNetwork> network = parse_ip_network(text);
    if (!network) {
      yyerror(
          format_text("%s %s: not an IPv4 or IPv6 network", token_name(token::ALLOW), text.c_str())
              .c_str());
    }
    s_.allow.push_back(*network);
  } while (peek() == token::STRING);
}

// The key is read with the configuration, so a missing or exposed key file
// stops the start, or leaves a reload without effect, naming its line.
void Parser::status_key_statement() {
  std::string path = expect(token::STRING).text;
  std::string error;
  const std::optional<StatusKey> key = read_status_key(path.c_str(), error);
  if (!key) {
    yyerror(format_text("%s %s: %s", token_name(token::STATUS_KEY), path.c_str(), error.c_str())
                .c_str());
  }
  s_.status_key_file = std::move(path);
  s_.status_key = key;
}

// Like the status key, the certificate is read with the configuration.
void Parser::nut_certfile_statement() {
  std::string path = expect(token::STRING).text;
  std::string error;
  std::shared_ptr<const TlsCertificate> certificate = load_tls_certificate(path.c_str(), error);
  if (!certificate) {
    yyerror(format_text("%s %s: %s", token_name(token::NUT_CERTFILE), path.c_str(), error.c_str())
                .c_str());
  }
  s_.nut_certfile = std::move(path);
  s_.nut_certificate = std::move(certificate);
}

int Parser::expect_in_range(token statement, int low, int high) {
  const int value = expect(token::NUMBER).number;
  if (value < low || value > high) {
    yyerror(
        format_text("%s %d: must be %d to %d", token_name(statement), value, low, high).c_str());
  }
  return value;
}

// The UPS name stands unquoted in the protocol's answers, so it is one plain
// word; an account name or password may be any text (quoted when it holds
// blanks), as clients send it quoted too.
bool plain_nut_name(const std::string &name) {
  return !name.empty() && name.size() <= 64 &&
         std::all_of(name.begin(), name.end(), [](unsigned char c) {
           return std::isalnum(c) || c == '-' || c == '_' || c == '.';
         });
}

void Parser::nut_statement(token kind) {
  switch (kind) {
    case token::NUT_PORT:
      s_.nut_port = expect_in_range(kind, 0, 65535);
      break;
    case token::NUT_MAX_CLIENT:
      s_.nut_max_client = expect_in_range(kind, 1, 65535);
      break;
    case token::NUT_HOSTSYNC:
      s_.nut_hostsync = expect_in_range(kind, 0, 3600);
      break;
    case token::NUT_UPSNAME: {
      std::string name = expect(token::STRING).text;
      if (!plain_nut_name(name)) {
        yyerror(format_text("%s %s: use letters, digits, '-', '_' or '.'", token_name(kind),
                            name.c_str())
                    .c_str());
      }
      s_.nut_upsname = std::move(name);
      break;
    }
    default: {  // NUT_USER
      std::string name = expect_text();
      std::string password = expect_text();
      if (name.empty() || password.empty()) {
        yyerror(format_text("%s needs a name and a password", token_name(kind)).c_str());
      }
      s_.nut_users.push_back({std::move(name), std::move(password)});
    }
  }
}

void Parser::host_shutdown_statement() {
  const std::string word = expect(token::STRING).text;
  constexpr std::pair<const char *, HostShutdown> ways[] = {{"auto", HostShutdown::automatic},
                                                            {"init", HostShutdown::init},
                                                            {"direct", HostShutdown::direct}};
  for (const auto &[name, way] : ways) {
    if (same_ignoring_case(word, name)) {
      s_.host_shutdown = way;
      return;
    }
  }
  yyerror(format_text("%s is auto, init or direct", token_name(token::HOST_SHUTDOWN)).c_str());
}

// Unlike PORT, whose low 16 bits count as they always have, a new statement
// can refuse a number that names no port instead of serving on another one.
void Parser::http_port_statement() {
  const int port = expect(token::NUMBER).number;
  if (port < 0 || port > 65535) {
    yyerror(format_text("%s must be 0 (off) to 65535", token_name(token::HTTP_PORT)).c_str());
  }
  s_.http_port = port;
}

}  // namespace

int yyparse(Settings &target) {
  Parser(target).parse_file();
  return 0;
}

const std::vector<StatementPlace> &statements_read() {
  return places;
}

// ---- Loading and checking ---------------------------------------------------

void yyerror(const char *s) {
  const std::string reported =
      format_text("Configuration Error! line %d: %s", config_lineno + 1, s);
  std::printf("%s : %s \n", program_title, reported.c_str());
  std::fflush(stdout);
  throw ConfigFailure{1, "", reported};
}

void init_var(Settings &target) {
  target.num_shutdown_schedule = 0;
  target.num_test_schedule = 0;
  target.port = default_port;
  target.listen.clear();
  target.allow.clear();
  target.max_client_per_host = 0;
  target.http_port = 0;
  target.status_key_file.reset();
  target.status_key.reset();
  target.nut_port = 0;
  target.nut_upsname = default_nut_upsname;
  target.nut_max_client = default_nut_max_client;
  target.nut_users.clear();
  target.nut_hostsync = default_nut_hostsync;
  target.nut_certfile.reset();
  target.nut_certificate.reset();
  target.nut_require_tls = false;
  target.shutdown_runtime = 0;
  target.shutdown_charge = 0;
  target.exec_timeout = default_exec_timeout;
  target.restart_sleep = default_restart_sleep;
  target.ups_protocol = default_ups_protocol;
  target.host_shutdown = HostShutdown::automatic;
  target.shutdown_deadline = default_shutdown_deadline;
  target.battery_voltage_low = 0.0;
  target.battery_voltage_high = 0.0;
  for (int i = 0; i < event_count; ++i) {
    target.alert[i].found = 0;
    target.log_control[i].found = 0;
    target.exec[i].reset();
  }
  config_lineno = 0;
  schedule_named = false;
}

void check_var(const Settings &target) {
  for (int i = 0; i < event_count; ++i) {
    if (!target.alert[i].found) {
      throw ConfigFailure{1, std::string(event_stems[i]) + "_ALERT tag not found"};
    }
  }
  for (int i = 0; i < event_count; ++i) {
    if (!target.log_control[i].found) {
      throw ConfigFailure{1, std::string(event_stems[i]) + "_LOG tag not found"};
    }
  }
  // Without a certificate no session could be encrypted, so none could log in.
  if (target.nut_require_tls && !target.nut_certificate) {
    throw ConfigFailure{1, "NUT_REQUIRE_TLS yes needs a NUT_CERTFILE: no client could log in"};
  }
  // Present even when empty; a reload may rely on the command read earlier.
  if (!target.wall_cmd) {
    throw ConfigFailure{1, "WALLPATH tag not found"};
  }
  if (target.battery_voltage_low > 0.0 && target.battery_voltage_high > 0.0 &&
      target.battery_voltage_low >= target.battery_voltage_high) {
    throw ConfigFailure{1, "BATTERY_VOLTAGE_LOW must be below BATTERY_VOLTAGE_HIGH"};
  }
}

namespace {

// Closes the configuration stream and detaches the scanner from it, also
// when the reading fails half-way.
class ConfigStream {
 public:
  ConfigStream() : stream_(std::fopen(config_filename, "re")) {
    if (stream_ == nullptr) {
      throw cannot_open(errno);
    }
    config_scan_from(stream_);
  }
  ~ConfigStream() {
    config_scan_from(nullptr);
    std::fclose(stream_);
  }
  ConfigStream(const ConfigStream &) = delete;
  ConfigStream &operator=(const ConfigStream &) = delete;
  int fd() const { return fileno(stream_); }

 private:
  std::FILE *stream_;
};

// Passwords that any local user can read let anyone log in as a host that
// the shutdown waits for. Judged on the open file, so it is the file read.
void check_passwords_hidden(const Settings &next, int fd) {
  struct stat info {};
  if (next.nut_users.empty() || fstat(fd, &info) != 0 || (info.st_mode & 077) == 0) {
    return;
  }
  throw ConfigFailure{1, std::string("Refusing ") + config_filename +
                             ": it holds NUT_USER passwords and is readable by group or "
                             "others (mode " +
                             file_mode_text(info.st_mode) + "); make it mode 0600"};
}

// Reads the file into a copy of the settings in force: what the file does
// not name keeps its value, and nothing is in force until all of it is read.
Settings read_configuration() {
  ConfigStream stream;
  Settings next = settings;
  init_var(next);
  yyparse(next);
  check_var(next);
  check_passwords_hidden(next, stream.fd());
  return next;
}

// Only the main thread writes `settings`, so it reads it without the lock;
// other threads read it under the lock and so see either the old settings
// or the new ones, never a mixture.
void commit(Settings &&next) {
  pthread_mutex_lock(&tornax_mutex);
  settings = std::move(next);
  pthread_mutex_unlock(&tornax_mutex);
  ++settings_generation;
}

}  // namespace

namespace {

// Reports a failed start-up reading as tornax_error does (the message, then
// "Exit"), unless it was reported on its stream already, and ends the process.
[[noreturn]] void end_reading(const ConfigFailure &failure, int exit_status) {
  if (!failure.message.empty()) {
    tornax_warn("%s", failure.message.c_str());
    if (!failure.detail.empty()) {
      tornax_warn("%s", failure.detail.c_str());
    }
    tornax_warn("Exit");
  }
  std::exit(exit_status);
}

}  // namespace

std::optional<ConfigFailure> try_config_read() {
  try {
    commit(read_configuration());
    return std::nullopt;
  } catch (const ConfigFailure &failure) {
    return failure;
  }
}

void config_read() {
  if (const std::optional<ConfigFailure> failure = try_config_read()) {
    end_reading(*failure, failure->exit_status);
  }
  check_client_capacity(settings);
}

void config_test_read() {
  if (const std::optional<ConfigFailure> failure = try_config_read()) {
    end_reading(*failure, 1);
  }
}

bool schedule_kept_without_statement() {
  const int mode = settings.shutdown_schedule_mode;
  return !schedule_named && mode >= schedule_daily && mode <= schedule_weekly;
}

bool config_reload(std::string *reason) {
  if (const std::optional<ConfigFailure> failure = try_config_read()) {
    if (!failure->message.empty()) {
      tornax_warn("%s", failure->message.c_str());
    }
    if (reason != nullptr) {
      *reason = failure->message.empty() ? failure->reported : failure->message;
      if (!failure->detail.empty()) {
        *reason += " (" + failure->detail + ")";
      }
    }
    return false;
  }
  check_client_capacity(settings);
  return true;
}

}  // namespace tornax
