// What the daemon and the client share: the program's title and version, the
// event index and the values a status line carries (the client keeps its own
// copies of them, read from the daemon's lines).
//
// Both programs compile in their definitions (common/tornax_shared.cpp);
// neither links the other's code.
#ifndef TORNAX_TORNAX_SHARED_H
#define TORNAX_TORNAX_SHARED_H

namespace tornax {

inline constexpr const char *program_title = "Brenmoor Tornax X";
inline constexpr const char *version_text = "1.40";

// Event index: the same in `status`, `alert`, `log_control`, `pager` and
// `logfile_message`.
enum event_index : int {
  POWERFAIL = 0,       // counter: power-fail marks since power was last reported back
  POWERRETURN = 1,     // one-cycle flag
  LOWBATT = 2,         // counter, never reset
  POWERFAIL_DOWN = 3,  // flag: a power-fail shutdown is due
  COMM_ERROR = 4,      // counter: consecutive unanswered cycles
  COMM_CONNECT = 5,    // 0 normal, 2 lost, 1 in the cycle communication came back
  SCHEDULE_DOWN = 6,   // flag: a scheduled shutdown is due
  OVERLOAD = 7,        // has settings and a status bit, but nothing raises it
};
inline constexpr int event_count = 8;

// The values of the latest status (main thread writes; in the daemon under
// `tornax_mutex`).
extern unsigned int status[event_count];
extern float ups_linevoltage;       // volts
extern float ups_invvoltage;        // volts
extern float ups_percentbatt;       // percent
extern float ups_percentloadpower;  // percent
extern float ups_freq;
extern float ups_loadcurrent;
extern float ups_temp;  // never measured: -1

inline constexpr int ups_teststatus_size = 4;
extern char ups_teststatus[ups_teststatus_size];  // last self-test status text

}  // namespace tornax

#endif  // TORNAX_TORNAX_SHARED_H
