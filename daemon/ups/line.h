// The serial line as every UPS driver uses it: opening it raw at a speed,
// writing a command whole, and reading one reply up to its line end, however
// the bytes arrive. What a driver adds is its own commands and its own rule
// of what a well-formed reply is; the framing rules here are shared, so that
// split replies, a line that hangs up and the reply time-out behave the same
// for every protocol.
#ifndef TORNAX_DAEMON_UPS_LINE_H
#define TORNAX_DAEMON_UPS_LINE_H

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstddef>

namespace tornax {

// Opens the device read-write, close-on-exec, without making it the
// controlling terminal, discards pending input and applies `speed` 8N1 raw
// (parity errors ignored, modem control lines ignored) with the reply
// time-out (timings.reply_timeout) as the read time-out. Returns the
// descriptor, or a negative value with errno set when the open failed (not
// reported here: the caller reports it once). The open does not wait for a
// carrier.
int open_line(const char *device_filename, speed_t speed);

// Writes all bytes; a signal or a short write does not lose the rest.
// Returns the bytes written, or what the failed write returned.
ssize_t write_all(int fd, const char *bytes, std::size_t length);

// One read, resumed when a signal interrupts it before any byte arrived.
ssize_t read_once(int fd, char *buf, std::size_t limit);

// Reads one reply into `buf`, stopping at the first `line_end` byte or at
// `limit` bytes. The first read waits the line's read time-out; a reply that
// arrives in pieces (as serial adapters deliver it) is gathered for up to the
// reply time-out more. Returns the bytes read, 0 when none came, negative
// when the read failed or the line hung up (errno set: EIO for a hang-up).
ssize_t read_reply(int fd, char *buf, std::size_t limit, char line_end);

// Counts one well-formed reply; the cycle takes the count once a cycle (a
// UPS on battery that answers anything is not silent). Main thread only.
void note_reply_accepted();

// The number of replies accepted (well formed) since the last call; clears
// the count. Main thread only.
int take_replies_accepted();

}  // namespace tornax

#endif  // TORNAX_DAEMON_UPS_LINE_H
