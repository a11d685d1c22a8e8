// The network UPS protocol's read side, as text in and text out: how a
// request line splits into words, and the answer to each request, given what
// the server knows at that moment (a NutView) and what the connection has
// said before (a NutSession). No sockets and no locks here, so every answer
// can be checked on its own; the server (daemon/net/nut_server.h) feeds it lines.
//
// The server only reports: it lets clients read the UPS's variables and log
// in as hosts that the daemon's shutdown waits for, and refuses every request
// that would change something (SET, INSTCMD, FSD, PRIMARY): this daemon alone
// decides when the UPS's hosts go down.
#ifndef TORNAX_DAEMON_NET_NUT_PROTOCOL_H
#define TORNAX_DAEMON_NET_NUT_PROTOCOL_H

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tornax {

// Longest request line taken, its line end included; a longer one is
// answered with ERR INVALID-ARGUMENT and skipped up to its line end.
inline constexpr std::size_t nut_line_limit = 512;

// The protocol version answered to NETVER.
inline constexpr const char *nut_protocol_version = "1.3";

// One variable of the UPS as the protocol shows it.
struct NutVariable {
  std::string name;
  std::string value;
  int string_length = 0;  // 0: a number; otherwise GET TYPE says STRING:<n>
  const char *description = "";
};

// What a request may be answered from, taken when it is answered.
struct NutView {
  std::string ups_name;
  std::string description;  // GET UPSDESC, LIST UPS; "Unavailable" when none
  bool stale = true;        // the UPS did not answer: variables are withheld
  // The daemon's shutdown has begun. ups.status (with FSD) is then answered
  // even while the UPS is stale: the shutdown is the server's own news, and a
  // UPS that fell silent on battery is the very case its hosts must hear of.
  bool forced_shutdown = false;
  std::vector<NutVariable> variables;
  int numlogins = 0;
  std::vector<std::string> clients;  // addresses of the logged-in connections
};

// What one connection has said so far.
struct NutSession {
  std::optional<std::string> username;
  std::optional<std::string> password;
  bool logged_in = false;
  bool closing = false;  // LOGOUT was answered: close after sending the answer
  // OK STARTTLS was answered: once it is sent, the handshake begins, and
  // nothing the client sent after the request is taken (it was sent in the
  // clear, where anyone could have put it).
  bool starting_tls = false;
  bool tls = false;  // the handshake is done: what it says now is encrypted
};

// What answering needs from the server. `view` is called only by requests
// that read the UPS; `login` checks the account and, when it is valid,
// counts the connection as a logged-in host. With `tls_offered` (a
// certificate is configured) STARTTLS is taken; with `tls_required`,
// USERNAME, PASSWORD and LOGIN are refused until the session is encrypted,
// so that no password crosses the network in the clear.
struct NutServerSide {
  std::function<NutView()> view;
  std::function<bool(const std::string &username, const std::string &password)> login;
  bool tls_offered = false;
  bool tls_required = false;
};

// The words of a request: separated by blanks (spaces, tabs); a double-quoted
// part may hold blanks; a backslash takes the next character as it is, inside
// quotes or out. Nothing for an unclosed quote or a backslash at the end.
std::optional<std::vector<std::string>> split_nut_words(std::string_view line);

// `text` between double quotes, with backslashes and quotes in it escaped.
std::string nut_quoted(std::string_view text);

// The answer to one request line (without its line end; a CR before it is
// ignored): one or more lines, each ending with a line feed, or nothing for a
// blank line. Updates `session` (credentials, login, LOGOUT).
std::string answer_nut_request(std::string_view line, NutSession &session,
                               const NutServerSide &side);

// Cuts the bytes a connection receives into request lines, however they
// are split into reads: each line goes to the handler without its line end;
// a line longer than nut_line_limit (its line end included) goes to it once
// as nothing, and its rest is dropped up to its line end.
class NutLineSplitter {
 public:
  // Returns false to stop taking (the connection is to end).
  using Handler = std::function<bool(std::optional<std::string_view> line)>;

  // Takes `length` bytes; false as soon as the handler returned false.
  bool take(const char *data, std::size_t length, const Handler &handle);

 private:
  std::string pending_;
  bool skipping_ = false;
};

// HELP's line, listing every command the server knows.
std::string nut_help_line();

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_NUT_PROTOCOL_H
