// The configuration file: its scanner (`yylex`), its parser (`yyparse`), and
// the two readings that fill `settings` from it, at start-up and on reload.
//
// A reading parses the file into a copy of `settings`, checks that every
// required statement is there, and only then replaces `settings` in one step
// under `tornax_mutex`. So a reading that fails leaves the settings in force
// untouched, and a status-server thread that copies a text under the mutex
// never sees it change beneath it. The scanner and the parser keep their state
// in static storage: only the main thread reads the configuration.
#ifndef TORNAX_DAEMON_CONFIG_CONFIG_READ_H
#define TORNAX_DAEMON_CONFIG_CONFIG_READ_H

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "tornax.h"

namespace tornax {

// Kinds of the tokens that yylex returns; END (0) is the end of the file.
enum class token : int {
  END = 0,
  ALERT_TAG,  // value: event index
  LOG_TAG,    // value: event index
  PAGER_TAG,  // value: event index
  EXEC_TAG,   // value: event index
  SCOPE,      // value: scope_none, scope_console or scope_all
  YESNO,      // value: 1 yes, 0 no
  // The statement keywords, each spelt as its name, from SHUTDOWN to
  // HTTP_PORT (the scanner's range).
  SHUTDOWN,
  DAILY,
  WEEKLY,
  MANUAL,
  UPSTEST,
  BACKUPTIME,
  SILENT_SHUTDOWN,
  SHUTDOWN_RUNTIME,
  SHUTDOWN_CHARGE,
  EXEC_TIMEOUT,
  WALLPATH,
  UPS_TYPE,
  UPS_SHUTDOWN_DELAY,
  UPS_DEVICE,
  MODEM_DEVICE,
  TURNOFF_UPS,
  LOGSIZE,
  UPS_LOCATION,
  MAX_CLIENT,
  PORT,
  LISTEN,
  ALLOW,
  MAX_CLIENT_PER_HOST,
  STATUS_KEY,
  NUT_PORT,
  NUT_UPSNAME,
  NUT_MAX_CLIENT,
  NUT_USER,
  NUT_HOSTSYNC,
  NUT_CERTFILE,
  NUT_REQUIRE_TLS,
  RESTART_SLEEP,
  UPS_PROTOCOL,
  HOST_SHUTDOWN,
  SHUTDOWN_DEADLINE,
  BATTERY_VOLTAGE_LOW,
  BATTERY_VOLTAGE_HIGH,
  HTTP_PORT,
  ON,
  TO,
  WEEKDAY,    // value: time with tm_wday
  DATE_TIME,  // value: time with tm_mday, tm_mon, tm_hour, tm_min
  TIME,       // value: time with tm_hour, tm_min
  WEEK_TIME,  // value: time with tm_hour, tm_min, tm_wday
  NUMBER,     // value: number
  STRING,     // value: text (a quoted text without its quotes, or a word)
  EOL,
};

// The token's name as the enumeration spells it ("ALERT_TAG", "EOL"), for
// traces and tests; "?" for a value outside it.
const char *token_name(token kind);

// The value of the token yylex returned last. Fields the token does not carry
// are zero or empty; every field of `time` the token does not name is zero.
struct token_value {
  int number = 0;
  std::string text;
  struct tm time {};
};
extern token_value yylval;

// Line feeds read so far from the file being read (continuations included).
extern int config_lineno;

// A reading that failed. It is thrown by the scanner, the parser, yyerror and
// check_var, and caught by config_read and config_reload, which never let it
// escape. `message` is the text for the titled reporters, or empty when the
// failure was already reported on its stream; `exit_status` is the status a
// failed start-up reading ends the process with; `reported` is the text
// already printed, untitled, so a reload can log it too (a detached daemon's
// streams go nowhere); `detail`, when not empty, names the file and the
// reason ("<path>: <strerror>") on a line of its own after the message.
struct ConfigFailure {
  int exit_status = 1;
  std::string message;
  std::string reported{};
  std::string detail{};
};

// Makes yylex read `stream` from its first character, at a line start, with
// nothing carried over from an earlier stream. nullptr detaches the scanner.
void config_scan_from(std::FILE *stream);

// The next token of the stream, its value in yylval; token::END at the end.
// A token longer than 8191 characters, a number that does not fit an int, or
// a failed read throws ConfigFailure. An unclosed double quote is copied to
// standard output and skipped.
token yylex();

// Reads the whole stream, applying each statement to `target` as it
// completes. Returns 0; a file that fits no statement sequence goes to yyerror.
int yyparse(Settings &target);

// Where a statement stands in the file: its keyword as written
// ("UPS_DEVICE", "POWERFAIL_ALERT") and its first and last line (they
// differ only across continuations).
struct StatementPlace {
  std::string keyword;
  int first_line = 0;
  int last_line = 0;
};

// The statements the last yyparse read, in file order, blank lines and
// comments left out; a failed parse leaves those read before the error.
const std::vector<StatementPlace> &statements_read();

// The configuration's name of an event ("POWERFAIL" ... "OVERLOAD"), the stem
// of its _ALERT, _LOG, _PAGER and _EXEC statements; `e` is an event index.
const char *event_stem(int e);

// 0 to 11 for "JAN" to "DEC", 0 to 6 for "SUN" to "SAT"; -1 for anything else.
int to_mon(const char *month_string);
int to_wday(const char *wday_string);

// Puts the values that every reading starts from into `target` (schedule
// counts, port, the found flags, the network statements, the thresholds,
// the hooks and their time-out) and sets config_lineno to 0.
void init_var(Settings &target);

// Throws ConfigFailure naming the first required statement that `target`
// lacks: the alert statements in event order, the log statements, WALLPATH.
void check_var(const Settings &target);

// Writes "<title> : Configuration Error! line <n>: <s> \n" on standard
// output, n being the line the parse stopped on, and throws ConfigFailure.
[[noreturn]] void yyerror(const char *s);

// Reads config_filename into a copy of `settings`, checks it and puts it in
// force, printing on standard output what the reading prints there (a syntax
// error's line). Returns nothing once the new configuration is in force;
// otherwise the failure, with `settings` untouched and the failure's own
// report on standard error not yet written. The one reading behind
// config_read and config_reload, and the way tests and fuzzing reach the
// start-up reading without ending the process. Main thread only, without
// tornax_mutex held.
std::optional<ConfigFailure> try_config_read();

// The start-up reading of config_filename. Returns only with the file read,
// checked and in force; otherwise reports the failure and ends the process
// (status 2 for an over-long token, else 1). A MAX_CLIENT the descriptors
// can't serve is reported, and the start goes on. Main thread only.
void config_read();

// The reading of `tornax -t`: as config_read, with the same messages on the
// same streams, but every failure ends the process with status 1.
void config_test_read();

// Whether the last reading left in force a daily, daily-with-period or weekly
// shutdown schedule that its file does not name (a reload keeps it; only
// "SHUTDOWN NONE" ends it).
bool schedule_kept_without_statement();

// Raised by every reading that puts settings in force, so a unit that works
// values out from the settings knows when to do it again. Main thread only.
extern unsigned int settings_generation;

// The reload reading of config_filename. Reports a failure with the same
// texts on the same streams as config_read, except the "Exit" line, and
// returns false with `settings` untouched, and the failure's text, untitled,
// in `reason` when given; returns true once the new configuration is in force.
// Main thread only, without tornax_mutex held.
bool config_reload(std::string *reason = nullptr);

}  // namespace tornax

#endif  // TORNAX_DAEMON_CONFIG_CONFIG_READ_H
