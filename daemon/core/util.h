// The daemon's home directory, the names of its files there, and its pid file.
#ifndef TORNAX_DAEMON_CORE_UTIL_H
#define TORNAX_DAEMON_CORE_UTIL_H

#include <cstddef>
#include <string>

namespace tornax {

inline constexpr int path_size = 170;
inline constexpr int max_home_length = 150;
// The build sets the default home (a distribution package puts it where its
// file layout wants it); a plain build keeps the traditional one.
#ifndef TORNAX_DEFAULT_HOME
#define TORNAX_DEFAULT_HOME "/usr/tornax"
#endif
inline constexpr const char *default_home = TORNAX_DEFAULT_HOME;

extern char dir_prefix[path_size];                // home directory
extern char pid_filename[path_size];              // <home>/tornax.pid
extern char log_filename[path_size];              // <home>/tornax.log
extern char config_filename[path_size];           // <home>/tornax.conf
extern char shutdown_script_filename[path_size];  // <home>/shutdown.sh
extern char outage_filename[path_size];           // <home>/tornax.outage

// Fills dir_prefix from $TORNAXHOME (default default_home) and builds the file
// names. A value longer than 150 characters ends the process.
void getpath();

// Before the daemon forks: refuses the start ("PIDFILE exist", status 1) when
// the pid file names a live process; warns about and removes a stale one (a
// pid file left by a crash or a power loss names no live process; a symbolic
// link in its place is no pid file of ours and is removed the same way).
void check_pidfile();

// Creates the pid file exclusively (never through a symbolic link, not
// inherited by programs the daemon runs) and writes "%d\n" with the process id.
// Returns 0 on success, pidfile_exists when another daemon created it first,
// pidfile_failed (with errno set) when it could not be written.
inline constexpr int pidfile_exists = -1;
inline constexpr int pidfile_failed = -2;
int make_file();

// Removes the pid file; a missing file is no error.
void clear_file();

// The text of a small file (a /proc entry): at most `limit` bytes of it,
// empty when it can't be opened.
std::string read_small_file(const std::string &path, std::size_t limit = 4096);

// The command name of the process whose /proc directory is `proc_dir`
// ("/proc/1", "/proc/self"), without its line end; empty when unknown. The
// kernel keeps its first 15 characters.
std::string command_name(const std::string &proc_dir);

// Writes all of `text` to `fd`, resuming after interruptions and partial
// writes. Returns false when a write failed.
bool write_whole(int fd, const std::string &text);

// Replaces the file at `path` with `text` so that a crash or a power loss
// leaves either the old file or the whole new one: the text goes to
// <path>.new, is flushed to the disk and renamed over `path`. Never follows
// a symbolic link. Returns false with errno set when it failed.
bool write_file_atomically(const char *path, const std::string &text);

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_UTIL_H
