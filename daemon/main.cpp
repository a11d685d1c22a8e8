// tornax: the UPS monitoring daemon. Reads its options and wires the real
// host (and, in the foreground, the service manager) into the daemon.
#include <cstdio>
#include <string>

#include "daemon/config/config_check.h"
#include "daemon/core/monitor.h"
#include "daemon/core/options.h"
#include "daemon/report/notify.h"
#include "daemon/shutdown/deadline.h"
#include "daemon/shutdown/host.h"
#include "daemon/shutdown/switch_off_hook.h"
#include "tornax.h"

int main(int argc, char **argv) {
  std::string error;
  const std::optional<tornax::DaemonOptions> options = tornax::parse_options(argc, argv, &error);
  if (!options) {
    std::fprintf(stderr, "%s : %s\n%s", tornax::program_title, error.c_str(),
                 tornax::usage_text().c_str());
    return 1;
  }
  if (options->help) {
    std::fputs(tornax::usage_text().c_str(), stdout);
    return 0;
  }
  if (options->version) {
    std::printf("%s version %s\n", tornax::program_title, tornax::version_text);
    return 0;
  }
  if (options->check) {
    return tornax::check_configuration(options->json);
  }
  if (options->switch_off) {
    return tornax::switch_off_main(options->verb);
  }
  if (options->keeper) {
    return tornax::keeper_main(options->keeper_seconds);
  }
  tornax::SystemdNotifier systemd;
  tornax::SilentNotifier silent;
  tornax::daemon_main(options->foreground, tornax::system_host_actions(),
                      options->foreground ? static_cast<tornax::Notifier &>(systemd) : silent);
}
