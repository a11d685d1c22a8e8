// Whether a file the daemon trusts is safe to trust. The daemon runs as root
// and reads its configuration, and runs its shutdown script, from its home
// directory: anyone but root who could write one of them, or the home itself,
// could have the daemon run any command as root. So each must be owned by
// root and not writable by group or others. The same rule serves every file
// the daemon runs or reads commands from.
#ifndef TORNAX_DAEMON_CONFIG_FILE_SAFETY_H
#define TORNAX_DAEMON_CONFIG_FILE_SAFETY_H

#include <sys/stat.h>

#include <optional>
#include <string>

namespace tornax {

// Why a file with this status is unsafe ("owned by user 1000, not root",
// "writable by group or others (mode 0664)"), or nullopt when it is safe.
std::optional<std::string> unsafe_reason(const struct stat &info);

// The same for the file at `path` (a symbolic link is judged by its target).
// A file that is missing or can't be examined is nullopt: it can't be opened
// either, and what that means is for the code that opens it to say.
std::optional<std::string> unsafe_reason(const char *path);

// "<lead>: <reason>; it must be owned by root and not writable by group or
// others".
std::string unsafe_file_message(const std::string &lead, const std::string &reason);

// The refusal ("Refusing <path>: ...") of the first unsafe one of the home
// directory and the configuration file, or nullopt when both are safe.
std::optional<std::string> unsafe_configuration();

// The refusal of an unsafe shutdown script, or nullopt (also when there is
// no script).
std::optional<std::string> unsafe_shutdown_script();

}  // namespace tornax

#endif  // TORNAX_DAEMON_CONFIG_FILE_SAFETY_H
