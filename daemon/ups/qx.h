// The Qx driver: the ASCII protocol of many small serial UPSes (Q1 status,
// I identification, F ratings), at 2400 baud 8N1, commands ended by CR. The
// status carries no marks of its own: the cycle's marks come from its status
// bits (daemon/ups/qx_protocol.h holds the framing and the mapping).
#ifndef TORNAX_DAEMON_UPS_QX_H
#define TORNAX_DAEMON_UPS_QX_H

#include "daemon/ups/driver.h"

namespace tornax {

const UpsDriver &qx_driver();

// The UPS's own wait before it cuts the output after T, in seconds.
inline constexpr unsigned int qx_self_test_seconds = 10;

}  // namespace tornax

#endif  // TORNAX_DAEMON_UPS_QX_H
