// The UPS's variables as the network UPS protocol names them, made from the
// cycle's publication: the status flags, the measurements in the protocol's
// units, and the identification.
#ifndef TORNAX_DAEMON_NET_NUT_VARIABLES_H
#define TORNAX_DAEMON_NET_NUT_VARIABLES_H

#include <string>
#include <vector>

#include "daemon/core/cycle_facts.h"
#include "daemon/net/nut_protocol.h"

namespace tornax {

// ups.status from the status word `word`: OL or OB, then LB, CAL and FSD as
// they apply ("OB LB", "FSD OL"). `fsd` is set once the daemon's own
// shutdown has begun.
std::string nut_ups_status(unsigned short word, bool fsd);

// A measurement as the protocol writes numbers: a dot, `decimals` places, no
// exponent; one that is no number, or beyond any UPS's range, is held in it.
std::string nut_number(float value, int decimals);

// Every variable, in the order LIST VAR gives them.
std::vector<NutVariable> nut_variables(const CycleFacts &facts, bool fsd);

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_NUT_VARIABLES_H
