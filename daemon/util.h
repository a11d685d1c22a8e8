// The daemon's home directory, the names of its files there, and its pid file.
#ifndef TORNAX_DAEMON_UTIL_H
#define TORNAX_DAEMON_UTIL_H

namespace tornax {

inline constexpr int path_size = 170;
inline constexpr int max_home_length = 150;
inline constexpr const char *default_home = "/usr/tornax";

extern char dir_prefix[path_size];                // home directory
extern char pid_filename[path_size];              // <home>/tornax.pid
extern char log_filename[path_size];              // <home>/tornax.log
extern char config_filename[path_size];           // <home>/tornax.conf
extern char shutdown_script_filename[path_size];  // <home>/shutdown.sh

// Fills dir_prefix from $TORNAXHOME (default /usr/tornax) and builds the four
// file names. A value longer than 150 characters ends the process.
void getpath();

// Before the daemon forks: refuses the start ("PIDFILE exist", status 1) when
// the pid file names a live process; warns about and removes a stale one (a
// pid file left by a crash or a power loss names no live process).
void check_pidfile();

// Creates the pid file exclusively and writes "%d\n" with the process id.
// Returns 0 on success, pidfile_exists when another daemon created it first,
// pidfile_failed (with errno set) when it could not be written.
inline constexpr int pidfile_exists = -1;
inline constexpr int pidfile_failed = -2;
int make_file();

// Removes the pid file; a missing file is no error.
void clear_file();

}  // namespace tornax

#endif  // TORNAX_DAEMON_UTIL_H
