// The serial line to the UPS and its text protocol: each query sends a short
// command ended by a newline and reads one reply line, whose first character
// may be an event mark (space, "!", "$", "*", "@") that is queued in the
// prefix queue. Also the control commands: shutdown delay, switch-off and
// self-test. Every exchange runs on the main thread; failed system calls are
// reported with perror() and the exchange goes on.
#ifndef TORNAX_DAEMON_UPS_H
#define TORNAX_DAEMON_UPS_H

namespace tornax {

// Opens the device read-write without making it the controlling terminal,
// discards pending input and applies 4800 baud 8N1 raw with a 0.8 s read
// time-out. Returns the descriptor, negative when the open failed (reported
// with perror). The open does not wait for a carrier.
int openport(const char *device_filename);

// Appends one mark to the prefix queue unless it equals the last entry. A full
// queue keeps its entries and drops the new mark.
void append_prefixqueue(char prefix);

// Queues the text's first character when it is a mark, and replaces every
// mark character in the text by "0".
void clear_prefix(char *buf);

// Measurement queries: send the command, read the reply once, store the parsed
// value through `out`. Return the byte count of the read: 0 when the UPS did
// not answer within 0.8 s, negative when the read failed. The reply's text is
// the read less its two-byte line end; a read of fewer than 3 bytes or a
// failed one leaves an empty text, so the value stored is 0. Readings outside
// the float range are held at its limits.
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

// Self-test status: stores the reply text in `status` (4 characters with the
// terminator; a longer reply is cut to 3). An unanswered query or a failed
// read leaves it unchanged.
int get_upsteststatus(int fd, char *status);

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

// Starts a UPS self-test, waits the full 15 seconds (sleep_full), then reads
// the result through get_upsteststatus and returns that query's result.
int ups_test(int fd, char *status);

}  // namespace tornax

#endif  // TORNAX_DAEMON_UPS_H
