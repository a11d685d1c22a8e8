// The client's side of the status connection: the server's address, line
// reading, and the loop that connects, checks the greeting, follows the
// status lines and reconnects after a lost connection as often as allowed.
// A full server (the refusal line) and, with a key, a line that fails
// verification end the connection like a loss: the reconnect rules apply.
#ifndef TORNAX_CLIENT_CONNECTION_H
#define TORNAX_CLIENT_CONNECTION_H

#include <netinet/in.h>

#include <atomic>
#include <optional>
#include <string>

#include "client/options.h"
#include "client/reactions.h"
#include "client/status_line.h"

namespace tornax {

inline constexpr int receive_buffer_size = 128;
inline constexpr unsigned int reconnect_wait_seconds = 60;

// Reported on standard error when the server turned the client away.
inline constexpr const char *refused_message = "Server is full, connection refused";
// The alert sent to the users when a line fails verification; on standard
// error the reason follows in parentheses.
inline constexpr const char *unverified_alert =
    "Status line failed verification, connection dropped";

// A connection that delivers no byte for this long counts as lost: a server
// host that vanished without closing it must not hold the client for ever.
// 30 seconds in the program; tests shorten it.
extern std::atomic<int> read_timeout_ms;

// The wait before a reconnect goes through this function (sleep() of the
// given seconds unless a test replaced it). nullptr restores the real one;
// returns the previous.
using ReconnectSleep = void (*)(unsigned int seconds);
ReconnectSleep set_reconnect_sleep(ReconnectSleep function);

// Reads one line of at most maxlen - 1 bytes, a byte at a time, into `ptr`
// and ends it with a NUL written over the last byte stored: the line feed of
// a complete line, otherwise (a line cut by the limit or the end of the
// stream) its last character. Returns a positive count when anything was
// stored (for a complete line its length with the line feed), 0 when the
// stream ended before any byte, -1 on a read error or time-out, or when
// maxlen is below 2.
int readline(int fd, char *ptr, int maxlen);

// How a session on one connection ended, with the reason when a line failed
// verification.
enum class SessionEnd { lost, unknown_protocol, refused, unverified };
struct Session {
  SessionEnd end = SessionEnd::lost;
  std::string why;
};

// Follows the server on the connected descriptor `fd`: with settings.key,
// sends the hello and takes only the lines that verify; reads the greeting
// (refused for the refusal line, unknown_protocol unless it begins "TN01"),
// skips the two header lines, then parses and reacts to each status line
// until the stream ends or fails (lost). `values` carries the last line's
// values across sessions.
Session follow_session(int fd, const AlertSettings &settings, RemoteValues &values,
                       AlertActions &actions);

// The IPv4 address of `host` (dotted, or the first address of a name lookup)
// with the low 16 bits of `port`; nothing when the name is unknown.
std::optional<sockaddr_in> resolve_server(const char *host, unsigned int port);

// Connects, reads the header and follows status lines, reconnecting after a
// loss while settings.reconnect_remain allows. With settings.key it sends its
// hello first and acts only on lines that verify, each in its turn; a line
// that does not ends the connection with an alert to the users. Returns the
// exit status: 0 once the attempts are used up, 1 for an unknown protocol or
// when no socket can be made. Messages go to the standard streams.
int follow_server(AlertSettings &settings, const sockaddr_in &server, AlertActions &actions);

}  // namespace tornax

#endif  // TORNAX_CLIENT_CONNECTION_H
