// Definitions of the values declared in tornax_shared.h. Both programs
// compile this unit in: the daemon publishes them, the client keeps its
// copies of the daemon's.
#include "tornax_shared.h"

namespace tornax {

unsigned int status[event_count];
float ups_linevoltage;
float ups_invvoltage;
float ups_percentbatt;
float ups_percentloadpower;
float ups_freq;
float ups_loadcurrent;
float ups_temp = -1.0f;
char ups_teststatus[ups_teststatus_size];

}  // namespace tornax
