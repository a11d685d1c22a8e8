// What the client keeps from the daemon's status lines, and how it reads one.
// The measurements and the self-test text go to the client's own copies of
// the shared globals (status, ups_linevoltage ..., ups_temp, ups_teststatus);
// the three values the reactions use live in RemoteValues.
#ifndef TORNAX_CLIENT_STATUS_LINE_H
#define TORNAX_CLIENT_STATUS_LINE_H

#include <climits>

namespace tornax {

// Fields 1, 8 and 11 of the latest status line. Before a line has supplied
// them, the remaining and scheduled minutes read as "far away", so a first
// line that breaks off early can't shut the host down on a made-up value.
struct RemoteValues {
  unsigned int remote_status = 0;   // the daemon's status word
  int server_backuptime = INT_MAX;  // minutes left before its power-fail shutdown
  int schedule_time = INT_MAX;      // minutes to its scheduled shutdown, -1 none
};

// Reads the fields "%x %f %f %f %f %f %f %d %f %s %d" from the line in order
// and stops at the first that does not convert; fields read are stored, the
// others keep their values. Numbers out of range saturate; field 10 is cut to
// 3 characters and the rest of it skipped, so field 11 still converts.
// Returns how many fields converted.
int parse_status_line(const char *line, RemoteValues &values);

}  // namespace tornax

#endif  // TORNAX_CLIENT_STATUS_LINE_H
