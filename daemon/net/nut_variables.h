// The UPS's variables as the network UPS protocol names them, made from the
// values one monitoring cycle published: the status flags, the measurements
// in the protocol's units, and the identification.
#ifndef TORNAX_DAEMON_NET_NUT_VARIABLES_H
#define TORNAX_DAEMON_NET_NUT_VARIABLES_H

#include <string>
#include <vector>

#include "daemon/net/nut_protocol.h"

namespace tornax {

// What one cycle published, copied by the main thread after the cycle.
struct NutReadings {
  bool answered = false;  // the UPS answered the cycle's queries
  unsigned short ext_status = 0;
  float linevoltage = 0;
  float linenormal = 0;
  float invvoltage = 0;
  float percentbatt = 0;
  float percentloadpower = 0;
  float freq = 0;
  float loadcurrent = 0;
  float backuptime = 0;  // minutes
  std::string teststatus;
  std::string identification;
};

// ups.status from the status word `word`: OL or OB, then LB, CAL and FSD as
// they apply ("OB LB", "FSD OL"). `fsd` is set once the daemon's own
// shutdown has begun.
std::string nut_ups_status(unsigned short word, bool fsd);

// A measurement as the protocol writes numbers: a dot, `decimals` places, no
// exponent; one that is no number, or beyond any UPS's range, is held in it.
std::string nut_number(float value, int decimals);

// Every variable, in the order LIST VAR gives them.
std::vector<NutVariable> nut_variables(const NutReadings &readings, bool fsd);

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_NUT_VARIABLES_H
