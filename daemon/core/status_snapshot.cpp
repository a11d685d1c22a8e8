#include "daemon/core/status_snapshot.h"

#include <pthread.h>

#include <cstring>

#include "tornax.h"

namespace tornax {

StatusSnapshot take_status_snapshot() {
  StatusSnapshot values;
  pthread_mutex_lock(&tornax_mutex);
  values.linevoltage = ups_linevoltage;
  values.invvoltage = ups_invvoltage;
  values.percentbatt = ups_percentbatt;
  values.percentloadpower = ups_percentloadpower;
  values.freq = ups_freq;
  values.loadcurrent = ups_loadcurrent;
  values.remain_time = remain_time;
  values.temp = ups_temp;
  std::memcpy(values.teststatus, ups_teststatus, sizeof values.teststatus);
  std::memcpy(values.test_result, ups_test_result, sizeof values.test_result);
  values.schedule_down_timer = schedule_down_timer;
  pthread_mutex_unlock(&tornax_mutex);
  // The cycle publishes the status word right after it releases the mutex:
  // read it only now, so a line that had to wait for the poll does not pair
  // the new measurements with the word of the cycle before.
  values.ext_status = ext_status.load();
  values.teststatus[sizeof values.teststatus - 1] = '\0';
  values.test_result[sizeof values.test_result - 1] = '\0';
  return values;
}

}  // namespace tornax
