// The daemon's reporters on standard error. Every line has the form
// "<title> : <text>\n" with the program title "Brenmoor Tornax X". Each takes
// a printf format and carries the format attribute, so the compiler checks
// every call's arguments against its format; a text from elsewhere (a
// configuration message, say) goes in as "%s".
#ifndef TORNAX_DAEMON_CORE_ERROR_H
#define TORNAX_DAEMON_CORE_ERROR_H

#include <string>

#define TORNAX_PRINTF(format_index, first_argument) \
  __attribute__((format(printf, format_index, first_argument)))

namespace tornax {

// Writes the text, then "Exit", each as a titled line, and ends the process
// with status 1. Used only for the failures that must stop the daemon.
[[noreturn]] void tornax_error(const char *format, ...) TORNAX_PRINTF(1, 2);

// Writes the text as one titled line and returns. A text that already ends in
// a line end is written unchanged, so its line ends twice.
void tornax_warn(const char *format, ...) TORNAX_PRINTF(1, 2);

// tornax_warn(), and the same text as an entry of the log: for the failures
// an administrator must see whether or not the daemon has detached.
void tornax_warn_and_log(const char *format, ...) TORNAX_PRINTF(1, 2);

// The formatted text, for messages that are built once and used twice.
std::string format_text(const char *format, ...) TORNAX_PRINTF(1, 2);

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_ERROR_H
