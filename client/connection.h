// The client's side of one status connection: the server's addresses, line
// reading, and StatusConnection, which connects without blocking (trying
// each address in turn), checks the greeting, verifies a keyed stream, and
// hands on each status line, for a caller that follows one daemon or many
// in one poll loop. A connection ends, as a lost one, when the server closes
// it, turns the client away, sends no complete line within the stall limit,
// sends a keyed line that fails verification, or holds its keyed lines back.
//
// Nothing here is global: every connection has its own state and limits, so
// any number of them may live in one program.
#ifndef TORNAX_CLIENT_CONNECTION_H
#define TORNAX_CLIENT_CONNECTION_H

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/status_auth.h"
#include "wire_protocol.h"

namespace tornax {

inline constexpr int receive_buffer_size = 128;

// Reported on standard error when the server turned the client away.
inline constexpr const char *refused_message = "Server is full, connection refused";
// The alert sent to the users when a line fails verification; on standard
// error the reason follows in parentheses.
inline constexpr const char *unverified_alert =
    "Status line failed verification, connection dropped";
// Reported when a keyed stream falls behind the daemon's pace; the reason
// follows in parentheses.
inline constexpr const char *stale_message = "Status lines held back, connection dropped";

// The wait before a reconnect, when nothing else is to be done meanwhile:
// sleeps the given seconds. Tests put one in that only records.
using ReconnectSleep = void (*)(unsigned int seconds);

// The times a connection keeps to. The defaults are the program's.
struct ConnectionLimits {
  using Duration = std::chrono::milliseconds;
  // No complete line for this long (or a connect that takes this long) is a
  // lost connection: a server host that vanished, or one that trickles bytes
  // that never make a line, must not hold the client for ever.
  Duration stall{30000};
  // The slowest pace of an honest daemon's lines: one a cycle, or one per
  // 1.25 status intervals when a cycle runs late. A keyed stream whose lines
  // fall further behind this pace than `stall` is held back on the way.
  Duration slowest_line{1250};
  // The wait between a lost connection and the next attempt.
  Duration reconnect_wait{60000};
  // nullptr: the real sleep.
  ReconnectSleep sleep = nullptr;
};

// Reads one line of at most maxlen - 1 bytes, a byte at a time, into `ptr`
// and ends it with a NUL written over the last byte stored: the line feed of
// a complete line, otherwise (a line cut by the limit or the end of the
// stream) its last character. Returns a positive count when anything was
// stored (for a complete line its length with the line feed), 0 when the
// stream ended before any byte, -1 on a read error or time-out, or when
// maxlen is below 2.
int readline(int fd, char *ptr, int maxlen);

// readline()'s lines out of bytes as they arrive: the same cuts at the limit
// and at the end of the stream, for a descriptor that must not block.
class LineAssembler {
 public:
  void append(const char *bytes, std::size_t length) { pending_.append(bytes, length); }
  // The next line as readline(fd, ..., maxlen) would give it, without its
  // line end; nothing until a line feed or maxlen - 1 bytes have come.
  std::optional<std::string> take(std::size_t maxlen);
  // Once the stream has ended: what is left, as readline() gives it then.
  std::optional<std::string> take_rest();
  std::size_t pending() const { return pending_.size(); }

 private:
  std::string pending_;
};

// One address of a server, in the form connect() takes.
struct ServerAddress {
  sockaddr_storage address{};
  socklen_t length = 0;
};

// Every address of `host` (a literal IPv6 or IPv4 address, or a name looked
// up for both families, in the order the resolver prefers) with the low 16
// bits of `port`; nothing when the name is unknown.
std::optional<std::vector<ServerAddress>> resolve_server(const std::string &host,
                                                         unsigned int port);

// An address as text: "127.0.0.1", "::1".
std::string address_text(const ServerAddress &address);

// How a connection ended. `error` is the errno value of a failed connect or
// socket call; `why` the reason of unverified and stale.
enum class SessionEnd {
  lost,              // closed, failed, stalled
  connect_failed,    // no address took the connection
  no_socket,         // socket() failed
  unknown_protocol,  // a first line that is no greeting
  refused,           // the server was full
  unverified,        // a keyed line failed verification
  stale,             // keyed lines came far slower than the daemon sends them
};
struct Session {
  SessionEnd end = SessionEnd::lost;
  std::string why;
  int error = 0;
};

// What a StatusConnection hands on.
class ConnectionHandler {
 public:
  virtual ~ConnectionHandler() = default;
  // The connection to an address is made (before the hello or the header).
  virtual void connected() {}
  // A status line (after the header), without its line end.
  virtual void status_line(const char *line) = 0;
};

// One connection to a status server at a time. Not thread-safe; a program
// may hold any number.
class StatusConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // `key`: send the hello and act only on lines that verify.
  StatusConnection(std::vector<ServerAddress> addresses, std::optional<StatusKey> key,
                   ConnectionLimits limits);
  ~StatusConnection();
  StatusConnection(const StatusConnection &) = delete;
  StatusConnection &operator=(const StatusConnection &) = delete;

  // Starts a new attempt, closing the connection before. Nothing while it
  // goes on; otherwise how it ended at once (no address took it, no socket).
  std::optional<Session> open(Clock::time_point now);
  // Follows a descriptor that is connected already (its ownership stays
  // with the caller, who closes it after this connection has ended).
  void adopt(int fd, Clock::time_point now);
  bool is_open() const { return fd_ >= 0; }
  // What to wait for in poll(); fd -1 while closed.
  pollfd poll_entry() const;
  // When service() must be called even if poll() reports nothing.
  Clock::time_point deadline() const;
  // Does the I/O that is ready and checks the time limits, handing on what
  // came through `handler`. Nothing while the connection lives; otherwise
  // how it ended (the descriptor is closed then).
  std::optional<Session> service(Clock::time_point now, ConnectionHandler &handler);
  void close();

 private:
  enum class Phase { closed, connecting, hello, header, status };

  std::optional<Session> try_addresses(Clock::time_point now);
  std::optional<Session> finish_connect(Clock::time_point now, ConnectionHandler &handler);
  std::optional<Session> begin_stream(Clock::time_point now, ConnectionHandler &handler);
  std::optional<Session> read_lines(Clock::time_point now, ConnectionHandler &handler);
  std::optional<Session> take_line(const std::string &line, Clock::time_point now,
                                   ConnectionHandler &handler);
  std::optional<Session> check_pace(Clock::time_point now);
  std::optional<Session> end(Session session);

  std::vector<ServerAddress> addresses_;
  std::optional<StatusKey> key_;
  ConnectionLimits limits_;
  int fd_ = -1;
  bool owned_ = true;
  Phase phase_ = Phase::closed;
  std::size_t next_address_ = 0;
  int connect_error_ = 0;
  int header_lines_ = 0;
  Clock::time_point line_deadline_{};
  LineAssembler lines_;
  AuthNonce nonce_{};
  std::optional<AuthStream> auth_;
  // The pace reference of a keyed stream: a line's sequence number and when
  // it came, moved on whenever a line comes ahead of the slowest pace.
  std::uint64_t pace_sequence_ = 0;
  Clock::time_point pace_time_{};
};

}  // namespace tornax

#endif  // TORNAX_CLIENT_CONNECTION_H
