// The client's settings and its command line: `tornaxalert [options]
// hostname [port]`, with -S for each further supply's daemon. Messages and the usage text go to the
// standard streams; the caller decides what a refused command line ends in.
#ifndef TORNAX_CLIENT_OPTIONS_H
#define TORNAX_CLIENT_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include "wire_protocol.h"

namespace tornax {

inline constexpr const char *alert_title = "Brenmoor Tornax Alert";
inline constexpr const char *default_wall_cmd = "/usr/bin/wall";
inline constexpr const char *default_shutdown_cmd = "/sbin/shutdown -h now";
inline constexpr unsigned int default_alert_port = default_port;

// Alert scopes of the client.
inline constexpr int alert_none = 0;
inline constexpr int alert_console = 1;
inline constexpr int alert_all = 2;

// A daemon to follow: the host as given (an IPv6 literal without its
// brackets), the port, and the key file of this supply alone (empty: the -k
// key, if any).
struct SupplyAddress {
  std::string host;
  unsigned int port = default_alert_port;
  std::string key_file;
};

// Reads `host[:port][,keyfile]`, an IPv6 literal in brackets when a port
// follows it ("[::1]:4005"; a bare literal such as "::1" takes the default
// port). Nothing when the text is no such address.
std::optional<SupplyAddress> parse_supply(const std::string &text);

// How a supply is named in messages: "host:port", "[v6 literal]:port".
std::string supply_name(const std::string &host, unsigned int port);

// Everything the command line sets; fixed once it has been read.
struct AlertSettings {
  std::string host;                                 // dotted IPv4 address or host name
  unsigned int port = default_alert_port;           // low 16 bits are used
  int powerfail_shutdown_time = -1;                 // minutes; -1: rule off
  int schedule_shutdown_time = -1;                  // minutes; -1: rule off
  int tornaxalert_who = alert_all;                  // alert_none, alert_console or alert_all
  std::string shutdown_cmd = default_shutdown_cmd;  // run through the shell
  std::string wall_cmd = default_wall_cmd;          // alert text goes to its standard input
  int reconnect_remain = 0;                         // reconnect attempts left
  std::string key_file;                             // -k: empty, no authentication
  std::optional<StatusKey> key;                     // read from key_file at start-up
  std::vector<SupplyAddress> more_supplies;         // -S, in order
  int minimum_supplies = 1;                         // -m: healthy supplies the host needs
  bool check_only = false;                          // -c: print what would be followed, exit
};

// The command line's daemon first, then each -S.
std::vector<SupplyAddress> supplies_of(const AlertSettings &settings);

// The first character of `ptr` that is not a decimal digit, or nullptr when
// every character is one (an empty text included).
const char *isnumber(const char *ptr);

// Prints the usage text on standard output.
void usage();

// Reads the options and operands into `settings`, printing the
// acknowledgements and messages as it goes. Returns the exit status when the
// program must end now (0 after -h, 1 for a refused command line), nothing
// when it may go on. Uses getopt, which it restarts, and may permute argv.
std::optional<int> parse_command_line(int argc, char **argv, AlertSettings &settings);

}  // namespace tornax

#endif  // TORNAX_CLIENT_OPTIONS_H
