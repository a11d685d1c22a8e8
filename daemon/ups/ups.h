// The serial line to the UPS and its text protocol: each query sends a short
// command ended by a newline and reads one reply line, whose first character
// may be an event mark (space, "!", "$", "*", "@") that is queued in the
// prefix queue. Also the control commands: shutdown delay, switch-off and
// self-test. Every exchange runs on the main thread; failed system calls are
// reported with perror() and the exchange goes on.
//
// The bytes on the line decide whether the host is halted, so a reply counts
// only when it is well formed for its query (parse_reply): line noise, a wrong
// line speed or a wrong device give no answer rather than a forged mark.
// Every query first discards input that is already waiting, since nothing
// sent before the command can be its answer.
#ifndef TORNAX_DAEMON_UPS_UPS_H
#define TORNAX_DAEMON_UPS_UPS_H

#include <chrono>
#include <optional>
#include <string_view>

#include "daemon/ups/line.h"

namespace tornax {

// What a reply of a query holds: a number, the backup time "h:m", or the
// self-test status text.
enum class ReplyKind { number, backup_time, test_status };

// The longest reply of each kind, line end included.
inline constexpr int reply_size = 16;
inline constexpr int teststatus_read_limit = 8;

// A reply that parse_reply accepted.
struct ParsedReply {
  char mark = '\0';                // the leading mark, '\0' when there was none
  float value = 0.0f;              // number and backup-time replies
  char text[reply_size - 1] = {};  // the text without its line end, marks as "0"
};

// Frames one reply. `bytes` is what arrived for the query, up to and
// including the first line feed. Accepted only as: an optional mark (space,
// "!", "$", "*", "@"); then what a reply of `kind` holds (a number: an
// optional sign, digits and one decimal point; the backup time: hours and
// optionally ":" and minutes; the status: printable characters), where any
// further mark counts as the digit "0"; then "\r\n"; all within the query's
// length. Anything else (binary bytes, letters in a number, a missing or
// different line end, an over-long reply) gives nothing. Pure.
std::optional<ParsedReply> parse_reply(std::string_view bytes, ReplyKind kind);

// Opens the device read-write, close-on-exec, without making it the
// controlling terminal, discards pending input and applies 4800 baud 8N1 raw
// with a 0.8 s read time-out. Returns the descriptor, or a negative value with
// errno set when the open failed (not reported here: the caller reports it
// once). The open does not wait for a carrier.
int openport(const char *device_filename);

// Appends one mark to the prefix queue unless it equals the last entry. A full
// queue keeps its entries and drops the new mark.
void append_prefixqueue(char prefix);

// Queues the text's first character when it is a mark, and replaces every
// mark character in the text by "0".
void clear_prefix(char *buf);

// Measurement queries: discard waiting input, send the command, read the
// reply (a reply that arrives in pieces is gathered up to its line end) and
// store its value through `out`. Return the reply's length, line end
// included; 0 when no reply came within the time-out (0 is stored) or the
// reply was not well formed (nothing is stored, no mark is queued); negative
// when the line failed: a failed write or read, or a line that hung up (0 is
// stored). Readings outside the float range are held at its limits.
int get_linevoltage(int fd, float *out);
int get_invvoltage(int fd, float *out);
int get_percentbatt(int fd, float *out);
int get_percentloadpower(int fd, float *out);
int get_freq(int fd, float *out);
int get_loadcurrent(int fd, float *out);
int get_backuptime(int fd, float *out);  // "h:m" stored as minutes
int get_linenormal(int fd, float *out);
int get_loadpower(int fd, float *out);
int get_chargercurrent(int fd, float *out);
int get_battvolt(int fd, float *out);

// Self-test status: stores the reply text in `test_status` (4 characters with the
// terminator; a longer text is cut to 3). An unanswered query, a reply that
// is not well formed or a failed line leaves it unchanged. The text without
// the reply's leading mark goes to ups_test_result alike.
int get_upsteststatus(int fd, char *test_status);

// Identification, read as one line in canonical mode into `buf` (at least
// 50 characters; a longer line keeps 48 and its rest is discarded). Waits a
// bounded time (identification_timeout_ms); when no whole line arrives,
// returns 0 and leaves an empty text. No mark is taken from it.
inline constexpr int identification_timeout_ms = 3000;
int get_version(int fd, char *buf);

// Control commands: 15 bytes each (the command text, then zero bytes); no
// reply is read.
void set_shutdowndelay(int fd, int delay);
void shutdown_ups(int fd, int sleep_time);

// Whether the UPS, asked once (the line-voltage query), says it runs on mains:
// a well-formed reply without a power-fail or low-battery mark. No answer, or
// one that is not well formed, counts as not on mains.
bool ups_on_mains(int fd);

// What the UPS is to be told at the end of a shutdown: the delay, and the
// minutes it is to stay off (0: until the mains return). A UPS told 0 while
// the mains are present may ignore it, or stay off for good; either way the
// host stays dark. So when the mains are back by the time of the switch-off,
// `restart_sleep` minutes (when not 0) are sent instead of 0.
struct SwitchOff {
  int delay = 0;
  int sleep_minutes = 0;
  int restart_sleep = 0;
};

// The switch-off, as every way of bringing the host down sends it: when the
// sleep is 0 the UPS is first asked whether it is on mains, then the delay
// command and the switch-off command follow. Returns the minutes sent.
int switch_off_ups(int fd, const SwitchOff &intent);

// Starts a UPS self-test, waits the full 15 seconds (sleep_full), then reads
// the result through get_upsteststatus and returns that query's result.
int ups_test(int fd, char *test_status);

}  // namespace tornax

#endif  // TORNAX_DAEMON_UPS_UPS_H
