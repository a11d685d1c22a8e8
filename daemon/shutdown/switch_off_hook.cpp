#include "daemon/shutdown/switch_off_hook.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>

#include "daemon/core/error.h"
#include "daemon/shutdown/switch_off_record.h"
#include "daemon/ups/ups.h"

namespace tornax {

bool switch_off_verb(const std::string &verb) {
  return verb.empty() || verb == "poweroff" || verb == "halt";
}

int switch_off_main(const std::string &verb) {
  std::signal(SIGALRM, SIG_DFL);
  alarm(switch_off_time_limit);
  const std::string path = switch_off_record_path();
  const LoadedRecord loaded = load_record(path, current_boot_id());
  switch (loaded.state) {
    case RecordState::absent:
      tornax_warn("No UPS switch-off recorded (%s): nothing sent", path.c_str());
      return 0;
    case RecordState::earlier_boot:
      tornax_warn("The UPS switch-off recorded in %s is from an earlier boot: nothing sent",
                  path.c_str());
      return 0;
    case RecordState::refused:
      tornax_warn("The UPS switch-off record %s is refused (%s): nothing sent", path.c_str(),
                  loaded.reason.c_str());
      return 1;
    case RecordState::valid:
      break;
  }
  if (!switch_off_verb(verb)) {
    tornax_warn("The host is not powering off (%s): the UPS is not switched off", verb.c_str());
    return 0;
  }
  return send_recorded_switch_off(loaded.record) ? 0 : 1;
}

bool send_recorded_switch_off(const SwitchOffRecord &record) {
  const int fd = openport(record.device.c_str());
  if (fd < 0) {
    tornax_warn("Cannot open UPS device (%s): nothing sent", record.device.c_str());
    return false;
  }
  const int minutes = switch_off_ups(fd, record.intent);
  // Power may go the moment this process ends: the bytes must have left.
  tcdrain(fd);
  close(fd);
  tornax_warn("Turn off UPS: TD=%d, D=%d sent on %s", record.intent.delay, minutes,
              record.device.c_str());
  return true;
}

}  // namespace tornax
