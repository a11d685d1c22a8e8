// The record of what the UPS is to receive at the very end of a shutdown that
// the init system carries out. The daemon writes it at the decision; the
// system-shutdown hook (`tornax -S`) reads it once every service has stopped
// and the file systems are unmounted or read-only, and sends the bytes.
//
// It lives in /run/tornax: /run is a memory file system that systemd keeps
// mounted to the end, so it is still readable when the root is read-only, and
// it is gone after a power cut. It carries the boot it was written in, so a
// record that survived somehow (a kexec, a /run on disk) is never taken for
// this boot's: an ordinary power-off by the administrator sends nothing.
#ifndef TORNAX_DAEMON_SHUTDOWN_SWITCH_OFF_RECORD_H
#define TORNAX_DAEMON_SHUTDOWN_SWITCH_OFF_RECORD_H

#include <optional>
#include <string>
#include <string_view>

#include "daemon/ups/driver.h"

namespace tornax {

struct SwitchOffRecord {
  std::string boot_id;                           // the kernel's boot id when it was written
  std::string device;                            // the UPS's serial line, an absolute path
  SwitchOffRequest intent;                       // the delay, the minutes off (already corrected
                                                 // for the model), the restart sleep
  std::string protocol = ups_driver_at(0).name;  // the driver that speaks to the UPS
};

// The record's path: $TORNAX_RUN_DIR/switch-off, /run/tornax/switch-off when
// that is unset (tests point it at a directory of their own).
std::string switch_off_record_path();

// This boot's id (/proc/sys/kernel/random/boot_id without its line end);
// empty when it can't be read.
std::string current_boot_id();

// The record as text: one "key=value" line each for boot_id, device,
// protocol, delay, sleep and restart_sleep.
std::string format_record(const SwitchOffRecord &record);

// The record the text holds, or nullopt with `error` set: every key exactly
// once, nothing else, numbers that fit an int (delay and sleep may be
// negative, as the configuration allows; restart_sleep 0 to 9999), the device
// an absolute path without control characters, the protocol one of the
// drivers' names. A record without a protocol line, as earlier versions
// wrote it, is the default (classic) driver's. Pure.
std::optional<SwitchOffRecord> parse_record(std::string_view text, std::string *error);

// Writes the record at `path` atomically (a temporary file beside it, flushed
// to disk, then renamed over it), mode 0644, creating its directory (0755)
// when missing. False with `error` set when it could not.
bool write_record(const std::string &path, const SwitchOffRecord &record, std::string *error);

// What the hook finds at `path`.
enum class RecordState { absent, refused, earlier_boot, valid };
struct LoadedRecord {
  RecordState state = RecordState::absent;
  SwitchOffRecord record;  // when valid
  std::string reason;      // when refused: why (unsafe, unreadable, malformed)
};

// Reads and judges the record at `path` against `boot_id`. A file that root
// does not own, or that group or others may write, is refused unread.
LoadedRecord load_record(const std::string &path, const std::string &boot_id);

// Removes a record left at `path`; returns whether one was there.
bool remove_record(const std::string &path);

}  // namespace tornax

#endif  // TORNAX_DAEMON_SHUTDOWN_SWITCH_OFF_RECORD_H
