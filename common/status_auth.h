// The authenticated status stream, spoken by the daemon and by tornaxalert
// alike: both compile this unit in, and neither links the other's code.
//
// Without a key nothing here is used and the wire stays as it always was. A
// client holding the key opens its connection with a hello that carries a
// fresh random nonce; a daemon holding the same key answers with a nonce of
// its own and then sends every line of the stream (the header too) followed
// by its sequence number and a tag:
//
//   client -> daemon   "AUTH1 <client nonce: 32 hex digits>\n"
//   daemon -> client   "AUTH1 <daemon nonce: 32 hex digits>\n"
//   daemon -> client   "<line> <sequence> <tag: 64 hex digits>\n"   sequence 0, 1, 2 ...
//
// The tag is libsodium's crypto_auth (HMAC-SHA-512-256) under the key, over a
// fixed label, both nonces, the sequence number and the line. So a line
// verifies only with the key, unchanged, in the connection it was made for
// (the client's nonce is new each time) and at its own place in the stream
// (the sequence number): a line replayed from an earlier connection, or from
// earlier in this one, fails.
#ifndef TORNAX_COMMON_STATUS_AUTH_H
#define TORNAX_COMMON_STATUS_AUTH_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "wire_protocol.h"

namespace tornax {

using AuthNonce = std::array<unsigned char, auth_nonce_size>;

// Reads a key file: 64 hexadecimal digits, blanks and line ends around them
// allowed. The file must be a regular file of the effective user that group
// and others have no access to at all (mode 0600 or stricter), since whoever
// reads it can speak as the daemon. On failure returns nothing and puts the
// reason in `error` (for example "group or others have access to it (mode
// 0644)").
std::optional<StatusKey> read_status_key(const char *path, std::string &error);

// A fresh random nonce.
AuthNonce new_auth_nonce();

// The hello (or the answer) that carries `nonce`, with its line end.
std::string auth_hello(const AuthNonce &nonce);

// The nonce of a hello or answer line given without its line end; nothing when
// the line is not one.
std::optional<AuthNonce> parse_auth_hello(std::string_view line);

enum class AuthCheck {
  ok,
  malformed,     // no sequence number and tag where they belong
  forged,        // the tag does not verify: another key, another connection, or altered
  out_of_order,  // genuine, but not the next line expected: replayed or reordered
};

// One authenticated connection as either end sees it: the key, both nonces
// and the sequence number of the next line. Not thread-safe; one per
// connection.
class AuthStream {
 public:
  AuthStream(const StatusKey &key, const AuthNonce &client_nonce, const AuthNonce &daemon_nonce);
  ~AuthStream();
  AuthStream(const AuthStream &) = delete;
  AuthStream &operator=(const AuthStream &) = delete;

  // Daemon: writes `line` (given without its line end, at most 98 characters)
  // in its tagged form with a line end into `out` (auth_line_size bytes), and
  // returns the length. Each call takes the next sequence number.
  std::size_t tag(std::string_view line, char *out);

  // Client: checks a received line given without its line end. When it is
  // the next genuine line, sets `content` to the line as the daemon meant it
  // (a view into `tagged`) and moves on to the next sequence number.
  AuthCheck check(std::string_view tagged, std::string_view &content);

  // The sequence number the next line takes or must carry.
  std::uint64_t next_sequence() const { return next_; }
  // The sequence number the last line checked carried (for messages).
  std::uint64_t last_received() const { return received_; }

 private:
  void compute(std::uint64_t sequence, std::string_view line, unsigned char *tag) const;

  StatusKey key_;
  AuthNonce client_nonce_;
  AuthNonce daemon_nonce_;
  std::uint64_t next_ = 0;
  std::uint64_t received_ = 0;
};

}  // namespace tornax

#endif  // TORNAX_COMMON_STATUS_AUTH_H
