#include "daemon/report/pager.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "tornax.h"

namespace tornax {
namespace {

// The device must already exist: a mistyped path must not become a regular
// file that silently swallows every page. O_NONBLOCK keeps the open from
// waiting for a carrier that may never come, which would stall the monitoring
// cycle; the write itself blocks as usual. O_NOCTTY keeps the modem from
// becoming the daemon's controlling terminal, and O_CLOEXEC keeps it from the
// programs the daemon runs.
std::FILE *open_modem(const char *path) {
  const int fd = open(path, O_WRONLY | O_NOCTTY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) {
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  std::FILE *modem = fdopen(fd, "a");
  if (modem == nullptr) {
    close(fd);
  }
  return modem;
}

}  // namespace

void modemwrite(const char *message) {
  const auto &device = settings.modem_filename;
  std::FILE *modem = device ? open_modem(device->c_str()) : nullptr;
  if (modem == nullptr) {
    std::fprintf(stderr, "%s : Cannot open modem device (%s)\n", program_title,
                 device ? device->c_str() : "no MODEM_DEVICE configured");
    return;
  }
  std::fprintf(modem, "%s\n", message);
  std::fclose(modem);
}

void sendpager() {
  for (int n = 0; n < event_count; ++n) {
    if (settings.pager[n].enable != 0 && status[n] == 1 && !status_stalled[n]) {
      modemwrite(settings.pager[n].message.c_str());
    }
  }
}

}  // namespace tornax
