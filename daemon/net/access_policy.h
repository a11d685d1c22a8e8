// The addresses of the daemon's network surfaces: LISTEN's addresses and
// ALLOW's networks as the configuration writes them, the socket addresses
// they bind to and accept from, and the allow check made at accept (the
// admission, daemon/net/admission.h, makes it for every surface).
#ifndef TORNAX_DAEMON_NET_ACCESS_POLICY_H
#define TORNAX_DAEMON_NET_ACCESS_POLICY_H

#include <sys/socket.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tornax.h"

namespace tornax {

// A numeric IPv4 or IPv6 address ("192.0.2.1", "::1", "fe80::1%eth0"); an
// IPv4-mapped IPv6 address ("::ffff:192.0.2.1") is taken as the IPv4 one.
// Nothing for any other text (host names included).
std::optional<IpAddress> parse_ip_address(std::string_view text);

// A network in CIDR form ("10.0.0.0/8", "2001:db8::/32") or a single address
// (the whole address is the prefix). Bits beyond the prefix are cleared, so
// "10.1.2.3/8" is 10.0.0.0/8. Nothing for a bad address or prefix.
std::optional<IpNetwork> parse_ip_network(std::string_view text);

// The address as text: "192.0.2.1", "2001:db8::1", "fe80::1%2".
std::string format_ip_address(const IpAddress &address);

// The address of a socket address (a peer from accept, say); IPv4-mapped
// IPv6 comes out as IPv4. A family other than IPv4 and IPv6 gives family 0.
IpAddress ip_address_of(const sockaddr_storage &socket_address);

// Fills `out` with the address and port; returns the length to bind with.
socklen_t socket_address_of(const IpAddress &address, int port, sockaddr_storage &out);

// Adds a LISTEN address to `list` unless it is there already or a wildcard
// of its family ("0.0.0.0", "::") covers it; a wildcard takes the place of
// the addresses of its family. Binding both would fail for good.
void add_listen_address(std::vector<IpAddress> &list, const IpAddress &address);

// Whether `address` lies in `network` (families must match).
bool in_network(const IpAddress &address, const IpNetwork &network);

// Whether ALLOW lets `peer` in: everyone when the list is empty.
bool allowed(const std::vector<IpNetwork> &allow, const IpAddress &peer);

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_ACCESS_POLICY_H
