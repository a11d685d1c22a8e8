// The event log: one text file, one time-stamped line per entry. The file is
// opened and closed for every entry, so it may be moved away at any time.
#ifndef TORNAX_DAEMON_LOGGER_H
#define TORNAX_DAEMON_LOGGER_H

namespace tornax {

// Appends "[%x] %X : <message> \n" to log_filename. When settings.logsize is
// set and the file has grown past it, the file is first restarted with the
// line "*** Logfile restart ***". A file that can't be opened is reported on
// standard error and the entry is lost. Main thread only.
void writelog(const char *message);

// Logs every event whose status slot the last cycle moved to exactly 1 and
// whose logging is enabled, in index order; a power fail adds the time left before the
// shutdown. Called once per monitoring cycle, outside tornax_mutex.
void logger();

}  // namespace tornax

#endif  // TORNAX_DAEMON_LOGGER_H
