// Fuzzes the check of the authenticated status stream as the client makes
// it, the hello that both ends read, and the reading of a key file (the
// whole input, as a file of mode 0600). The input is lines; the first byte
// of each says how it reaches the check: as it stands (a server without the
// key, or a broken one), tagged by the daemon's side, or tagged and then
// altered in one byte on the way. A line that verifies must be exactly the
// line the daemon tagged at that place in the stream; a genuine line in its
// turn must verify.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

#include "common/status_auth.h"
#include "fuzz/harness.h"

using namespace tornax;

namespace {

constexpr std::size_t longest_line = 98;

// What the daemon sends: printable text of at most 98 characters.
std::string as_status_text(std::string_view bytes) {
  std::string text(bytes.substr(0, longest_line));
  for (char &c : text) {
    c = static_cast<char>(0x20 + static_cast<unsigned char>(c) % 0x5f);
  }
  return text;
}

std::vector<std::string_view> lines_of(std::string_view input) {
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start <= input.size();) {
    const std::size_t end = std::min(input.find('\n', start), input.size());
    lines.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static fuzz::MemoryFile key_file;
  key_file.fill(data, size);
  fuzz::require(fchmod(key_file.fd(), 0600) == 0, "the key file can be made private");
  std::string error;
  const std::optional<StatusKey> read = read_status_key(key_file.path(), error);
  fuzz::require(read.has_value() != !error.empty(), "a key file is read, or refused with a reason");

  StatusKey key{};
  key[0] = 0x5a;
  AuthNonce client_nonce{}, daemon_nonce{};
  client_nonce[0] = 1;
  daemon_nonce[0] = 2;
  AuthStream daemon(key, client_nonce, daemon_nonce);
  AuthStream client(key, client_nonce, daemon_nonce);
  std::vector<std::string> tagged_by_daemon;  // by sequence number
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  for (std::string_view line : lines_of(input)) {
    if (line.empty()) {
      continue;
    }
    const unsigned char how = static_cast<unsigned char>(line[0]) % 3;
    line.remove_prefix(1);
    parse_auth_hello(line);
    std::string received(line);
    bool genuine_in_turn = false;
    if (how != 0) {
      const std::string text = as_status_text(line);
      char out[auth_line_size];
      genuine_in_turn = how == 1 && daemon.next_sequence() == client.next_sequence();
      received.assign(out, daemon.tag(text, out));
      tagged_by_daemon.push_back(text);
      fuzz::require(!received.empty() && received.back() == '\n', "a tagged line ends its line");
      received.pop_back();
      if (how == 2) {
        const std::size_t at = line.empty() ? 0 : static_cast<unsigned char>(line[0]);
        received[at % received.size()] ^= static_cast<char>(1 + at % 0x7f);
      }
    }
    std::string_view content;
    const AuthCheck check = client.check(received, content);
    if (check == AuthCheck::ok) {
      const std::uint64_t sequence = client.last_received();
      fuzz::require(sequence < tagged_by_daemon.size() && content == tagged_by_daemon[sequence],
                    "a line that verifies is the line the daemon tagged at its place");
    }
    fuzz::require(!genuine_in_turn || check == AuthCheck::ok, "a genuine line in turn verifies");
  }
  return 0;
}
