// Key files for the tests of the authenticated status stream, on either side.
// Header-only, like loopback.h: the client's tests link none of the daemon's
// code.
#ifndef TORNAX_TESTS_SUPPORT_STATUS_KEY_H
#define TORNAX_TESTS_SUPPORT_STATUS_KEY_H

#include <sys/stat.h>

#include <fstream>
#include <string>

#include "tornax.h"

namespace tornax::test {

// Two different keys as a key file holds them.
inline const std::string key_hex =
    "00112233445566778899aabbccddeeff0123456789abcdef0f1e2d3c4b5a6978";
inline const std::string other_key_hex =
    "ffeeddccbbaa99887766554433221100fedcba9876543210f0e1d2c3b4a59687";

inline StatusKey key_of(const std::string &hex) {
  StatusKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  }
  return key;
}

// Writes `content` to `path` with `mode`; returns the path.
inline std::string write_key_file(const std::string &path, const std::string &content,
                                  mode_t mode = 0600) {
  std::ofstream(path, std::ios::trunc) << content;
  chmod(path.c_str(), mode);
  return path;
}

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_STATUS_KEY_H
