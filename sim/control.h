// The simulated UPS's control language: one command a line, as typed on the
// simulator's standard input or written to its control FIFO or socket, e.g.
// "mains off", "silent 5", "mark ! 3", "battery 40", "status". Each command
// gets one line of answer: "ok", a state line, or "error: ..." saying why.
#ifndef TORNAX_SIM_CONTROL_H
#define TORNAX_SIM_CONTROL_H

#include <string>

#include "sim/simulated_ups.h"

namespace tornax {

struct ControlResult {
  std::string answer;  // one or more lines, without a final line end
  bool quit = false;   // the command asked the simulator to end
};

// Carries out one control line on the simulator. Blank lines and lines
// starting with "#" do nothing and answer an empty text.
ControlResult run_control(SimulatedUps &ups, const std::string &line);

// The control commands, one per line, for "help" and the usage text.
const char *control_help();

// Whether `command` is one of the UPS's control commands (shutdown delay,
// switch-off, self-test) rather than a query.
bool is_control_command(const ReceivedCommand &command);

// The line the simulator prints for a command it received, stamped with the
// local time: "22:35:40.123 received "D=0\n" + 11 NUL".
std::string received_line(const ReceivedCommand &command);

}  // namespace tornax

#endif  // TORNAX_SIM_CONTROL_H
