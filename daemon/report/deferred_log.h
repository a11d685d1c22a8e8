// Log entries from the daemon's other threads. Only the main thread writes
// the log (writelog keeps its time stamp in static storage and reads the
// settings without the lock), so the network threads leave their entries
// here and the main thread writes them out after each cycle.
#ifndef TORNAX_DAEMON_REPORT_DEFERRED_LOG_H
#define TORNAX_DAEMON_REPORT_DEFERRED_LOG_H

#include <string>

namespace tornax {

// Any thread: queues one log entry. At most 64 wait at a time; entries beyond
// that are counted, and the count is logged with the next write-out.
void log_later(std::string text);

// Main thread: writes the queued entries to the log, oldest first.
void write_deferred_log();

}  // namespace tornax

#endif  // TORNAX_DAEMON_REPORT_DEFERRED_LOG_H
