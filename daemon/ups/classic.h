// The classic driver: the UPS protocol of one-or-two-letter queries ended by
// a newline, whose replies may carry an event mark in their first character
// (daemon/ups/ups.h holds the exchanges themselves). The cycle's eight
// queries, the model family's quirks and the control commands live here.
#ifndef TORNAX_DAEMON_UPS_CLASSIC_H
#define TORNAX_DAEMON_UPS_CLASSIC_H

#include <string>

#include "daemon/ups/driver.h"

namespace tornax {

const UpsDriver &classic_driver();

// What the identification tells of the model family.
struct ClassicQuirks {
  std::string family;                 // the identification from character offset 8
  int voltage_correction_enable = 0;  // 1 for the "Kyrel" model family
  float lower_correction = 0.0f;      // 91 % of the nominal line voltage
  float upper_correction = 0.0f;      // 109 % of the nominal line voltage
  float zero_correction = 50.0f;      // a line reading at or below this shows as 0
  // The family's UPS sleeps a little longer than it is told: the scheduled
  // sleep time is sent multiplied by this.
  float sleep_time_multiplier = 0.993f;
};

// The quirks in force (tests set them directly). Main thread only.
ClassicQuirks &classic_quirks();

// The sleep time sent to the UPS: minutes × multiplier, the product formed in
// double precision from the float's exact value, truncated toward zero and
// held within the range of an int.
long corrected_sleep_time(long ups_sleep_time, float multiplier);

}  // namespace tornax

#endif  // TORNAX_DAEMON_UPS_CLASSIC_H
