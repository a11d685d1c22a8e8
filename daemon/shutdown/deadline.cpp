#include "daemon/shutdown/deadline.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <optional>
#include <string>

#include "daemon/core/error.h"
#include "daemon/core/util.h"
#include "daemon/shutdown/shutdown.h"
#include "daemon/shutdown/switch_off_hook.h"
#include "daemon/shutdown/switch_off_record.h"
#include "tornax.h"

namespace tornax {
namespace {

// One --force: units are no longer stopped one by one, but systemd still
// ends every process, unmounts and runs the system-shutdown hooks.
constexpr const char *forced_poweroff = "/bin/systemctl --force poweroff";

// Whether this process is still in a service's control group.
bool in_service_group() {
  return read_small_file("/proc/self/cgroup").find(".service") != std::string::npos;
}

// This boot's record, when there is one; a refused one is said in the log
// (the UPS is then not told).
std::optional<SwitchOffRecord> this_boots_record(const std::string &path) {
  LoadedRecord loaded = load_record(path, current_boot_id());
  if (loaded.state == RecordState::refused) {
    tornax_warn_and_log("The UPS switch-off record %s is refused (%s): nothing sent", path.c_str(),
                        loaded.reason.c_str());
  }
  if (loaded.state != RecordState::valid) {
    return std::nullopt;
  }
  return std::move(loaded.record);
}

// The UPS told now, from this boot's record, which is then removed so the
// hook, should it still run before the power goes, sends nothing twice (a
// second command could restart the UPS's delay).
void switch_off_before_the_hook() {
  const std::string path = switch_off_record_path();
  const std::optional<SwitchOffRecord> record = this_boots_record(path);
  if (!record) {
    return;
  }
  tornax_warn_and_log(
      "The final stage of the forced power-off has begun: the UPS is switched off now, not "
      "after the processes that ignore it");
  if (send_recorded_switch_off(*record)) {
    remove_record(path);
  }
}

}  // namespace

unsigned int shutdown_deadline(unsigned int configured, int shutdown_mode, float backup_minutes) {
  if (shutdown_mode != POWERFAIL_DOWN || !(backup_minutes > 0.0f)) {
    return configured;
  }
  const double runtime = std::floor(static_cast<double>(backup_minutes) * 60.0);
  if (runtime >= static_cast<double>(configured) + runtime_margin) {
    return configured;
  }
  const double capped = std::max(runtime - runtime_margin, double{shortest_runtime_deadline});
  return std::min(configured, static_cast<unsigned int>(capped));
}

int keep_deadline(unsigned int seconds, HostActions &host) {
  host.pause_seconds(seconds);
  if (host.orderly_shutdown_ended()) {
    return 0;
  }
  tornax_warn_and_log(
      "The orderly shutdown has not ended after %u s (SHUTDOWN_DEADLINE): the host is forced down",
      seconds);
  // Even forced, the final stage first waits for every process that ignores
  // its SIGTERM (up to its own stop time-out, 90 s by default) and only then
  // runs the system-shutdown hook: the battery may not last that long. So the
  // keeper outlives that SIGTERM and, as soon as the final stage has begun,
  // switches the UPS off itself and exits, so it holds nothing up.
  host.ignore_signal(SIGTERM);
  host.run_shell(forced_poweroff);
  const unsigned int grace = std::min(seconds, forced_grace);
  for (unsigned int waited = 0; waited < grace; ++waited) {
    host.pause_seconds(1);
    if (host.orderly_shutdown_ended()) {
      switch_off_before_the_hook();
      return 0;
    }
  }
  tornax_warn_and_log(
      "The forced power-off has not taken effect after %u s: the direct sequence runs", grace);
  return keeper_direct_sequence(host, this_boots_record(switch_off_record_path()));
}

int keeper_main(unsigned int seconds) {
  getpath();
  std::signal(SIGPIPE, SIG_IGN);  // standard error may be a journal that has stopped
  if (in_service_group()) {
    tornax_warn_and_log(
        "The shutdown deadline's keeper could not leave the service's control group: it lasts "
        "only while the service's KillMode=process spares it");
  }
  return keep_deadline(seconds, system_host_actions());
}

}  // namespace tornax
