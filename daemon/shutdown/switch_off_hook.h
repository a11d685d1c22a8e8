// `tornax -S [verb]`: the UPS switch-off at the very end of a shutdown that
// systemd carried out, run by the package's system-shutdown hook with the
// verb systemd-shutdown passes it (poweroff, halt, reboot or kexec). It sends
// what the daemon recorded at its decision, the same bytes the direct
// sequence sends, and nothing when there is no record of this boot's (an
// ordinary power-off by the administrator) or the host is rebooting.
#ifndef TORNAX_DAEMON_SHUTDOWN_SWITCH_OFF_HOOK_H
#define TORNAX_DAEMON_SHUTDOWN_SWITCH_OFF_HOOK_H

#include <string>

#include "daemon/shutdown/switch_off_record.h"

namespace tornax {

// The longest the hook may take: each wait (the open, the question whether
// the mains are back, the bytes leaving the line) is bounded, and an alarm
// ends the process should the line still hold it up.
inline constexpr unsigned int switch_off_time_limit = 10;  // seconds

// Whether the verb is one the hook switches the UPS off for: poweroff, halt,
// or none (an administrator's own run).
bool switch_off_verb(const std::string &verb);

// Reads the record at switch_off_record_path() and, when it is this boot's
// and the verb calls for it, sends its switch-off (send_recorded_switch_off). Says on standard
// error what it did and why. Returns 0 when it sent, or when nothing was to be sent; 1 when a
// record it should act on was refused or the line could not be opened.
int switch_off_main(const std::string &verb);

// Opens the record's serial line through the driver of its protocol and
// sends that driver's switch-off (the restart sleep instead of 0 when the
// mains are back), waiting for the bytes to leave. The record's sleep is
// already corrected for the model. Says on standard error what it did.
// Returns whether the bytes were sent.
bool send_recorded_switch_off(const SwitchOffRecord &record);

}  // namespace tornax

#endif  // TORNAX_DAEMON_SHUTDOWN_SWITCH_OFF_HOOK_H
