#include "common/status_auth.h"

#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/private_file.h"

namespace tornax {
namespace {

static_assert(crypto_auth_hmacsha512256_KEYBYTES == status_key_size);
static_assert(crypto_auth_hmacsha512256_BYTES == 32);

constexpr std::size_t tag_size = crypto_auth_hmacsha512256_BYTES;
constexpr std::size_t tag_hex_size = 2 * tag_size;
constexpr std::size_t key_hex_size = 2 * status_key_size;
// Keeps the tags of this stream apart from any other use of the same key.
constexpr std::string_view tag_label = "tornax status line v1";

// libsodium picks its implementations once; the call is thread-safe and
// cheap after the first.
void ensure_sodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) {
    // Without a working random source no nonce can be trusted.
    std::fputs("libsodium cannot be initialised\n", stderr);
    std::abort();
  }
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Exactly `size` bytes from `hex` (2 * size hexadecimal digits, nothing else).
template <std::size_t N>
bool from_hex(std::string_view hex, std::array<unsigned char, N> &out) {
  std::size_t length = 0;
  const char *end = nullptr;
  return hex.size() == 2 * N &&
         sodium_hex2bin(out.data(), N, hex.data(), hex.size(), nullptr, &length, &end) == 0 &&
         length == N && end == hex.data() + hex.size();
}

std::optional<StatusKey> parse_key_text(std::string_view text) {
  while (!text.empty() && is_space(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && is_space(text.back())) {
    text.remove_suffix(1);
  }
  StatusKey key;
  if (!from_hex(text, key)) {
    return std::nullopt;
  }
  return key;
}

}  // namespace

std::optional<StatusKey> read_status_key(const char *path, std::string &error) {
  const int fd = open_private_file(path, "group or others have access to it (mode ", ")", error);
  if (fd < 0) {
    return std::nullopt;
  }
  char text[key_hex_size + 64];
  ssize_t length;
  do {
    length = read(fd, text, sizeof text);
  } while (length < 0 && errno == EINTR);
  const int read_error = errno;
  close(fd);
  std::optional<StatusKey> key;
  if (length < 0) {
    error = std::strerror(read_error);
  } else if (!(key = parse_key_text(std::string_view(text, static_cast<std::size_t>(length))))) {
    error = "not 64 hexadecimal digits";
  }
  sodium_memzero(text, sizeof text);
  return key;
}

AuthNonce new_auth_nonce() {
  ensure_sodium();
  AuthNonce nonce;
  randombytes_buf(nonce.data(), nonce.size());
  return nonce;
}

std::string auth_hello(const AuthNonce &nonce) {
  char hex[2 * auth_nonce_size + 1];
  sodium_bin2hex(hex, sizeof hex, nonce.data(), nonce.size());
  return std::string(auth_hello_word) + hex + "\n";
}

std::optional<AuthNonce> parse_auth_hello(std::string_view line) {
  AuthNonce nonce;
  if (line.substr(0, auth_hello_word.size()) != auth_hello_word ||
      !from_hex(line.substr(auth_hello_word.size()), nonce)) {
    return std::nullopt;
  }
  return nonce;
}

AuthStream::AuthStream(const StatusKey &key, const AuthNonce &client_nonce,
                       const AuthNonce &daemon_nonce)
    : key_(key), client_nonce_(client_nonce), daemon_nonce_(daemon_nonce) {
  ensure_sodium();
}

AuthStream::~AuthStream() {
  sodium_memzero(key_.data(), key_.size());
}

void AuthStream::compute(std::uint64_t sequence, std::string_view line, unsigned char *tag) const {
  unsigned char sequence_bytes[8];
  for (int i = 7; i >= 0; --i) {
    sequence_bytes[i] = static_cast<unsigned char>(sequence & 0xff);
    sequence >>= 8;
  }
  // Every part but the last has a fixed length, so no two inputs run together.
  crypto_auth_hmacsha512256_state state;
  crypto_auth_hmacsha512256_init(&state, key_.data(), key_.size());
  const auto add = [&state](const void *data, std::size_t size) {
    crypto_auth_hmacsha512256_update(&state, static_cast<const unsigned char *>(data), size);
  };
  add(tag_label.data(), tag_label.size() + 1);  // with its NUL
  add(client_nonce_.data(), client_nonce_.size());
  add(daemon_nonce_.data(), daemon_nonce_.size());
  add(sequence_bytes, sizeof sequence_bytes);
  add(line.data(), line.size());
  crypto_auth_hmacsha512256_final(&state, tag);
  sodium_memzero(&state, sizeof state);
}

std::size_t AuthStream::tag(std::string_view line, char *out) {
  line = line.substr(0, auth_content_limit);
  unsigned char tag[tag_size];
  compute(next_, line, tag);
  std::memcpy(out, line.data(), line.size());
  std::size_t length = line.size();
  out[length++] = ' ';
  const auto [end, ignored] = std::to_chars(out + length, out + length + 20, next_);
  length = static_cast<std::size_t>(end - out);
  out[length++] = ' ';
  sodium_bin2hex(out + length, tag_hex_size + 1, tag, sizeof tag);
  length += tag_hex_size;
  out[length++] = '\n';
  ++next_;
  return length;
}

AuthCheck AuthStream::check(std::string_view tagged, std::string_view &content) {
  const std::size_t tag_at = tagged.rfind(' ');
  if (tag_at == std::string_view::npos || tag_at == 0) {
    return AuthCheck::malformed;
  }
  std::array<unsigned char, tag_size> received_tag;
  if (!from_hex(tagged.substr(tag_at + 1), received_tag)) {
    return AuthCheck::malformed;
  }
  const std::size_t sequence_at = tagged.rfind(' ', tag_at - 1);
  const std::size_t digits_at = sequence_at == std::string_view::npos ? 0 : sequence_at + 1;
  const std::string_view digits = tagged.substr(digits_at, tag_at - digits_at);
  std::uint64_t sequence = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), sequence);
  if (sequence_at == std::string_view::npos || digits.empty() || error != std::errc() ||
      end != digits.data() + digits.size()) {
    return AuthCheck::malformed;
  }
  const std::string_view line = tagged.substr(0, sequence_at);
  unsigned char expected_tag[tag_size];
  compute(sequence, line, expected_tag);
  received_ = sequence;
  if (crypto_verify_32(expected_tag, received_tag.data()) != 0) {
    return AuthCheck::forged;
  }
  if (sequence != next_) {
    return AuthCheck::out_of_order;
  }
  ++next_;
  content = line;
  return AuthCheck::ok;
}

}  // namespace tornax
