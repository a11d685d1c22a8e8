#include "daemon/net/access_policy.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>

namespace tornax {
namespace {

constexpr unsigned char mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

IpAddress ipv4(const in_addr &address) {
  IpAddress ip;
  ip.family = AF_INET;
  std::memcpy(ip.bytes.data(), &address, 4);
  return ip;
}

IpAddress ipv6(const in6_addr &address, unsigned int scope_id) {
  if (std::memcmp(&address, mapped_prefix, sizeof mapped_prefix) == 0) {
    in_addr v4;
    std::memcpy(&v4, address.s6_addr + 12, 4);
    return ipv4(v4);
  }
  IpAddress ip;
  ip.family = AF_INET6;
  std::memcpy(ip.bytes.data(), &address, 16);
  ip.scope_id = scope_id;
  return ip;
}

int address_bits(const IpAddress &address) {
  return address.family == AF_INET ? 32 : 128;
}

// An interface named or numbered after "%"; 0 when there is none such.
unsigned int scope_of(const std::string &name) {
  unsigned int number = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
  if (error == std::errc() && end == name.data() + name.size()) {
    return number;
  }
  return if_nametoindex(name.c_str());
}

}  // namespace

std::optional<IpAddress> parse_ip_address(std::string_view text) {
  const std::string whole(text);
  in_addr v4;
  // inet_pton, not inet_aton: "10" or "10.1" are not read as addresses here.
  if (inet_pton(AF_INET, whole.c_str(), &v4) == 1) {
    return ipv4(v4);
  }
  const std::size_t percent = whole.find('%');
  const std::string host = whole.substr(0, percent);
  in6_addr v6;
  if (inet_pton(AF_INET6, host.c_str(), &v6) != 1) {
    return std::nullopt;
  }
  unsigned int scope_id = 0;
  if (percent != std::string::npos && (scope_id = scope_of(whole.substr(percent + 1))) == 0) {
    return std::nullopt;
  }
  return ipv6(v6, scope_id);
}

std::optional<IpNetwork> parse_ip_network(std::string_view text) {
  const std::size_t slash = text.find('/');
  const std::optional<IpAddress> address = parse_ip_address(text.substr(0, slash));
  if (!address) {
    return std::nullopt;
  }
  IpNetwork network{*address, address_bits(*address)};
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), network.prefix);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        network.prefix < 0 || network.prefix > address_bits(*address)) {
      return std::nullopt;
    }
  }
  for (int bit = network.prefix; bit < address_bits(*address); ++bit) {
    network.address.bytes[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
  }
  network.address.scope_id = 0;  // a network spans interfaces
  return network;
}

std::string format_ip_address(const IpAddress &address) {
  char text[INET6_ADDRSTRLEN + 16] = "?";
  if (address.family == AF_INET || address.family == AF_INET6) {
    inet_ntop(address.family, address.bytes.data(), text, INET6_ADDRSTRLEN);
  }
  std::string result = text;
  if (address.scope_id != 0) {
    result += '%';
    result += std::to_string(address.scope_id);
  }
  return result;
}

IpAddress ip_address_of(const sockaddr_storage &socket_address) {
  if (socket_address.ss_family == AF_INET) {
    return ipv4(reinterpret_cast<const sockaddr_in &>(socket_address).sin_addr);
  }
  if (socket_address.ss_family == AF_INET6) {
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(socket_address);
    return ipv6(v6.sin6_addr, v6.sin6_scope_id);
  }
  return IpAddress{};
}

socklen_t socket_address_of(const IpAddress &address, int port, sockaddr_storage &out) {
  out = sockaddr_storage{};
  const auto network_port = htons(static_cast<std::uint16_t>(port));
  if (address.family == AF_INET) {
    auto &v4 = reinterpret_cast<sockaddr_in &>(out);
    v4.sin_family = AF_INET;
    v4.sin_port = network_port;
    std::memcpy(&v4.sin_addr, address.bytes.data(), 4);
    return sizeof v4;
  }
  auto &v6 = reinterpret_cast<sockaddr_in6 &>(out);
  v6.sin6_family = AF_INET6;
  v6.sin6_port = network_port;
  std::memcpy(&v6.sin6_addr, address.bytes.data(), 16);
  v6.sin6_scope_id = address.scope_id;
  return sizeof v6;
}

namespace {

bool is_wildcard(const IpAddress &address) {
  const int size = address_bits(address) / 8;
  for (int i = 0; i < size; ++i) {
    if (address.bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

void add_listen_address(std::vector<IpAddress> &list, const IpAddress &address) {
  for (const IpAddress &present : list) {
    if (present == address || (present.family == address.family && is_wildcard(present))) {
      return;
    }
  }
  if (is_wildcard(address)) {
    std::erase_if(
        list, [&address](const IpAddress &present) { return present.family == address.family; });
  }
  list.push_back(address);
}

bool in_network(const IpAddress &address, const IpNetwork &network) {
  if (address.family != network.address.family) {
    return false;
  }
  const int whole = network.prefix / 8;
  if (std::memcmp(address.bytes.data(), network.address.bytes.data(), whole) != 0) {
    return false;
  }
  const int rest = network.prefix % 8;
  const auto mask = static_cast<unsigned char>(0xff00u >> rest);
  return rest == 0 || (address.bytes[whole] & mask) == network.address.bytes[whole];
}

bool allowed(const std::vector<IpNetwork> &allow, const IpAddress &peer) {
  if (allow.empty()) {
    return true;
  }
  for (const IpNetwork &network : allow) {
    if (in_network(peer, network)) {
      return true;
    }
  }
  return false;
}

}  // namespace tornax
