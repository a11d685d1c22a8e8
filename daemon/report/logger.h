// The event log: one text file, one time-stamped line per entry. The file is
// opened and closed for every entry, so it may be moved away at any time; it
// is never opened through a symbolic link.
#ifndef TORNAX_DAEMON_REPORT_LOGGER_H
#define TORNAX_DAEMON_REPORT_LOGGER_H

#include <ctime>
#include <string>

namespace tornax {

// Appends "[%x] %X : <message> \n" to log_filename. When settings.logsize is
// set and the file has grown past it, the file first moves to
// tornax.log.old (replacing the previous one) and the new file starts with
// "*** Logfile restart ***". When the log can't be written (disk full,
// read-only), that is reported once on standard error and the entries are
// held in memory (up to a limit, beyond which they are counted); the first
// write that works again adds them, says so once, and logs how many were
// lost. Never waits or retries. Any thread.
void writelog(const char *message);

// The stamp the log puts before an entry made at `when` ("[%x] %X", the
// locale's date and time).
std::string log_stamp(std::time_t when);

// Logs every event whose status slot the last cycle moved to exactly 1 and
// whose logging is enabled, in index order; a power fail adds the time left before the
// shutdown. Called once per monitoring cycle, outside tornax_mutex.
void logger();

}  // namespace tornax

#endif  // TORNAX_DAEMON_REPORT_LOGGER_H
