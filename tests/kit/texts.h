// The test kit: the programs' own texts that tests compare exactly (the
// prefix of every message, the banner), stated once, and counting a text's
// occurrences in output or a log.
#ifndef TORNAX_TESTS_KIT_TEXTS_H
#define TORNAX_TESTS_KIT_TEXTS_H

#include <string>

namespace tornax::test {

// How many times `part` occurs in `text`, overlaps included.
inline std::size_t occurrences(const std::string &text, const std::string &part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// Written here, not taken from the programs' headers: a changed title must
// fail the tests.
inline const std::string daemon_title = "Brenmoor Tornax X : ";
inline const std::string daemon_banner = "Brenmoor Tornax X version 1.40\n";
inline const std::string client_title = "Brenmoor Tornax Alert : ";

}  // namespace tornax::test

#endif  // TORNAX_TESTS_KIT_TEXTS_H
