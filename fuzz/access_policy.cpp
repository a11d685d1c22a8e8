// Fuzzes the access policy's reading of addresses and networks as LISTEN and
// ALLOW write them, and what the listener then does with them: the list of
// addresses it binds, the address a peer is known by, the allow check and
// the refusal log. The input is one text a line.
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "daemon/net/access_policy.h"
#include "daemon/net/admission.h"
#include "fuzz/harness.h"

using namespace tornax;

namespace {

bool is_wildcard(const IpAddress &address) {
  const std::size_t size = address.family == AF_INET ? 4 : 16;
  return std::all_of(address.bytes.begin(), address.bytes.begin() + size,
                     [](unsigned char byte) { return byte == 0; });
}

void check_address(const IpAddress &address) {
  fuzz::require(address.family == AF_INET || address.family == AF_INET6, "a known family");
  const std::optional<IpAddress> again = parse_ip_address(format_ip_address(address));
  fuzz::require(again && *again == address, "an address reads back as it is written");
  sockaddr_storage socket_address;
  socket_address_of(address, 4004, socket_address);
  fuzz::require(ip_address_of(socket_address) == address,
                "a peer at a bound address is known by that address");
  const std::optional<IpNetwork> host = parse_ip_network(format_ip_address(address));
  fuzz::require(host && in_network(address, *host), "a host lies in its own network");
}

void check_network(const IpNetwork &network) {
  const int bits = network.address.family == AF_INET ? 32 : 128;
  fuzz::require(network.prefix >= 0 && network.prefix <= bits, "a prefix within the address");
  fuzz::require(in_network(network.address, network), "a network holds its own address");
}

// No address twice, and none beside a wildcard of its family.
void check_listen_list(const std::vector<IpAddress> &list) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    for (std::size_t j = 0; j < list.size(); ++j) {
      if (i != j) {
        fuzz::require(list[i] != list[j], "no LISTEN address twice");
        fuzz::require(list[i].family != list[j].family || !is_wildcard(list[i]),
                      "a wildcard stands alone for its family");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  std::vector<IpAddress> listen, peers;
  std::vector<IpNetwork> allow;
  for (std::size_t start = 0; start <= input.size();) {
    const std::size_t end = std::min(input.find('\n', start), input.size());
    const std::string_view text = input.substr(start, end - start);
    start = end + 1;
    if (const std::optional<IpAddress> address = parse_ip_address(text)) {
      check_address(*address);
      add_listen_address(listen, *address);
      peers.push_back(*address);
    }
    if (const std::optional<IpNetwork> network = parse_ip_network(text)) {
      check_network(*network);
      allow.push_back(*network);
    }
  }
  check_listen_list(listen);
  RefusalLog refusals(4);
  long now = 0;
  for (const IpAddress &peer : peers) {
    if (!allowed(allow, peer)) {
      refusals.should_log(peer, now);
    }
    now += 20;
  }
  return 0;
}
