// The daemon's two reporters on standard error. Every line has the form
// "<title> : <text>\n" with the program title "Brenmoor Tornax X".
#ifndef TORNAX_DAEMON_ERROR_H
#define TORNAX_DAEMON_ERROR_H

namespace tornax {

// Writes the text, then "Exit", each as a titled line, and ends the process
// with status 1. Used only for the failures that must stop the daemon.
[[noreturn]] void tornax_error(const char *text);

// Writes the text as one titled line and returns. A text that already ends in
// a line end is written unchanged, so its line ends twice.
void tornax_warn(const char *text);

}  // namespace tornax

#endif  // TORNAX_DAEMON_ERROR_H
