#include "daemon/shutdown/switch_off_hook.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>

#include "daemon/core/error.h"
#include "daemon/shutdown/switch_off_record.h"
#include "daemon/ups/classic.h"
#include "daemon/ups/driver.h"

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
  const UpsDriver *driver = find_ups_driver(record.protocol);
  if (driver == nullptr) {
    tornax_warn("The UPS switch-off names the protocol \"%s\", which is unknown (%s): nothing sent",
                record.protocol.c_str(), ups_driver_names());
    return false;
  }
  const int fd = driver->open(record.device.c_str());
  if (fd < 0) {
    tornax_warn("Cannot open UPS device (%s): nothing sent", record.device.c_str());
    return false;
  }
  // The daemon corrected the sleep for the model it identified; this
  // process does not ask the UPS who it is.
  SwitchOffRequest request = record.intent;
  request.sleep_corrected = true;
  const long minutes = driver->switch_off(fd, request);
  // Power may go the moment this process ends: the bytes must have left.
  tcdrain(fd);
  close(fd);
  if (driver == &classic_driver()) {
    tornax_warn("Turn off UPS: TD=%d, D=%ld sent on %s", request.delay_seconds, minutes,
                record.device.c_str());
  } else {
    tornax_warn("Turn off UPS (%s): after %d s for %ld min, sent on %s", driver->name,
                request.delay_seconds, minutes, record.device.c_str());
  }
  return true;
}

}  // namespace tornax
