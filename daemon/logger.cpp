#include "daemon/logger.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "daemon/clock.h"
#include "daemon/util.h"
#include "tornax.h"

namespace tornax {
namespace {

char timestr[30];

void report_open_failure() {
  std::fprintf(stderr, "%s : Cannot Open logfile (%s).", program_title, log_filename);
  std::fflush(stderr);
}

// The limit is compared in 64 bits: a very large LOGSIZE must not wrap around
// to a small limit and restart the log at every entry.
bool log_too_large() {
  if (settings.logsize == 0) {
    return false;
  }
  struct stat info {};
  if (stat(log_filename, &info) != 0) {
    return false;
  }
  return static_cast<std::uint64_t>(info.st_size) >
         static_cast<std::uint64_t>(settings.logsize) * 1024u;
}

bool append_entry(const char *mode, const char *message) {
  std::FILE *file = std::fopen(log_filename, mode);
  if (file == nullptr) {
    report_open_failure();
    return false;
  }
  std::fprintf(file, "%s : %s \n", timestr, message);
  std::fclose(file);
  return true;
}

}  // namespace

void writelog(const char *message) {
  const std::time_t now = clock_now();
  struct tm local {};
  localtime_r(&now, &local);
  std::strftime(timestr, sizeof timestr, "[%x] %X", &local);

  if (log_too_large() && !append_entry("w", "*** Logfile restart ***")) {
    return;
  }
  append_entry("a", message);
}

void logger() {
  for (int n = 0; n < event_count; ++n) {
    if (settings.log_control[n].enable == 0 || status[n] != 1 || status_stalled[n] ||
        n >= OVERLOAD) {
      continue;
    }
    writelog(logfile_message[n]);
    if (n == POWERFAIL) {
      char powerfail_remain_log[50];
      std::snprintf(powerfail_remain_log, sizeof powerfail_remain_log, "Server shutdown in %d:%d\n",
                    static_cast<int>(remain_time / 60), static_cast<int>(remain_time % 60));
      writelog(powerfail_remain_log);
    }
  }
}

}  // namespace tornax
