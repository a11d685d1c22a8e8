#include "daemon/core/timings.h"

namespace tornax {

Timings timings;

void Timings::restore() {
  for (Knob *knob : {&reply_timeout, &status_interval, &stall_limit, &hello_wait, &nut_idle_limit,
                     &nut_handshake_limit, &nut_second, &http_request_limit, &listener_retry}) {
    knob->restore();
  }
}

}  // namespace tornax
