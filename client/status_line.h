// What the client keeps from a daemon's status lines, and how it reads one.
// Every value lives in the caller's RemoteValues, so each connection (and
// each program that links this unit) keeps its own; nothing here is global.
#ifndef TORNAX_CLIENT_STATUS_LINE_H
#define TORNAX_CLIENT_STATUS_LINE_H

#include <climits>

#include "tornax_shared.h"
#include "wire_protocol.h"

namespace tornax {

// The fields of the latest status line. Before a line has supplied them, the
// remaining and scheduled minutes read as "far away", so a first line that
// breaks off early can't shut the host down on a made-up value.
struct RemoteValues : StatusMeasurements {
  unsigned int remote_status = 0;   // field 1: the daemon's status word
  int server_backuptime = INT_MAX;  // field 8: minutes left before its power-fail shutdown
  int schedule_time = INT_MAX;      // field 11: minutes to its scheduled shutdown, -1 none
  // Fields 2 to 7 (the measurements), 9 and 10: kept, not acted on.
  float temp = -1;
  char teststatus[ups_teststatus_size] = "";  // cut to 3 characters
};

// Reads the fields "%x %f %f %f %f %f %f %d %f %s %d" from the line in order
// and stops at the first that does not convert; fields read are stored, the
// others keep their values. Numbers out of range saturate; field 10 is cut to
// 3 characters and the rest of it skipped, so field 11 still converts.
// Returns how many fields converted.
int parse_status_line(const char *line, RemoteValues &values);

}  // namespace tornax

#endif  // TORNAX_CLIENT_STATUS_LINE_H
