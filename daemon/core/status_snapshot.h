// The values of one cycle that the network surfaces send, copied together
// under tornax_mutex and formatted outside it, so a line never mixes the
// measurements of two polls and no lock is held while formatting or sending.
#ifndef TORNAX_DAEMON_CORE_STATUS_SNAPSHOT_H
#define TORNAX_DAEMON_CORE_STATUS_SNAPSHOT_H

#include "wire_protocol.h"

namespace tornax {

struct StatusSnapshot : StatusMeasurements {
  unsigned short ext_status = 0;
  unsigned int remain_time = 0;
  float temp = -1;
  char teststatus[4] = {};   // as the status line sends it, a reply's mark as "0"
  char test_result[4] = {};  // the self-test's own text, without the mark
  long schedule_down_timer = 0;
};

// Copies the published values; takes tornax_mutex, so the caller must not
// hold it. Any thread.
StatusSnapshot take_status_snapshot();

}  // namespace tornax

#endif  // TORNAX_DAEMON_CORE_STATUS_SNAPSHOT_H
