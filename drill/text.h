// Small file and text helpers of the drill. A failure to write ends the
// drill (throws Failure): a drill that silently lost its records would
// report on something else.
#ifndef TORNAX_DRILL_TEXT_H
#define TORNAX_DRILL_TEXT_H

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace tornax::drill {

// Ends the drill: `status` 2 when it could not run, 1 for the one finding
// that stops it; `message` is printed as "tornax-drill: <message>" on
// standard error when `to_stderr`, else on standard output as it stands.
struct Failure : std::runtime_error {
  Failure(int exit_status, const std::string &message, bool on_stderr = true)
      : std::runtime_error(message), status(exit_status), to_stderr(on_stderr) {}
  int status;
  bool to_stderr;
};

// The file's contents; empty when it can't be read.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text, mode_t mode = 0644);
void append_file(const std::string &path, const std::string &text);
bool exists(const std::string &path);

// The lines of `text` holding `needle`.
int count_lines(const std::string &text, const std::string &needle);
std::vector<std::string> lines_of(const std::string &text);

// Whether `program` names an executable: a path, or a name found on PATH.
bool on_path(const std::string &program);

// `words` joined by ", ", with " or " before the last ("a, b or c").
std::string one_of(const std::vector<std::string> &words);

}  // namespace tornax::drill

#endif  // TORNAX_DRILL_TEXT_H
