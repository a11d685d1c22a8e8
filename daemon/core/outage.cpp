#include "daemon/core/outage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sstream>

#include "daemon/core/clock.h"
#include "daemon/core/error.h"
#include "daemon/core/util.h"
#include "daemon/report/logger.h"
#include "tornax.h"

namespace tornax {

BootTime current_boot_time() {
  BootTime now;
  const int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char text[64] = "";
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    now.boot_id.assign(text, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    now.boot_id.erase(now.boot_id.find_last_not_of(" \n") + 1);
  }
  struct timespec since_boot {};
  clock_gettime(CLOCK_BOOTTIME, &since_boot);
  now.seconds = since_boot.tv_sec;
  return now;
}

std::string format_outage_record(const OutageRecord &record) {
  return "began " + std::to_string(static_cast<long long>(record.began)) + "\nboot " +
         record.boot_id + "\nuptime " + std::to_string(record.boot_seconds) + "\n";
}

std::optional<OutageRecord> parse_outage_record(const std::string &text) {
  std::istringstream in(text);
  OutageRecord record;
  long long began = -1;
  std::string key;
  bool has_began = false, has_uptime = false;
  while (in >> key) {
    if (key == "began" && (in >> began)) {
      has_began = true;
    } else if (key == "boot" && (in >> record.boot_id)) {
    } else if (key == "uptime" && (in >> record.boot_seconds)) {
      has_uptime = true;
    } else {
      return std::nullopt;
    }
  }
  if (!has_began || !has_uptime || record.boot_id.empty() || record.boot_seconds < 0) {
    return std::nullopt;
  }
  record.began = static_cast<std::time_t>(began);
  return record;
}

unsigned int resumed_count(const OutageRecord &record, const BootTime &now,
                           unsigned int powerfail_timeout) {
  if (record.boot_id.empty() || record.boot_id != now.boot_id ||
      record.boot_seconds > now.seconds) {
    return 0;
  }
  const long long limit =
      powerfail_timeout > 1 ? static_cast<long long>(powerfail_timeout) - 1 : INT_MAX;
  return static_cast<unsigned int>(std::clamp(now.seconds - record.boot_seconds, 1LL, limit));
}

namespace {

enum class Power { unknown, line, battery };

// What the identification's replies said about the mains. A low-battery
// mark means the UPS runs on its battery too.
Power power_at_identification() {
  Power power = Power::unknown;
  for (int i = 1; i <= last_prefixqueue && i < prefixqueue_size; ++i) {
    const char mark = prefixqueue[i];
    if (mark == '!' || mark == '@' || mark == '*') {
      power = Power::battery;
    } else if (mark == '$') {
      power = Power::line;
    }
  }
  // An answer without a power mark: the UPS is on line.
  if (power == Power::unknown && ups_linenormal != 0.0f) {
    power = Power::line;
  }
  return power;
}

std::optional<OutageRecord> read_outage_file() {
  const int fd = open(outage_filename, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  char text[512];
  const ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  return parse_outage_record(
      std::string(text, static_cast<std::size_t>(std::max<ssize_t>(length, 0))));
}

void remove_outage_file() {
  if (unlink(outage_filename) != 0 && errno != ENOENT) {
    tornax_warn_and_log("Cannot remove %s: %s", outage_filename, std::strerror(errno));
  }
}

}  // namespace

void OutageRecorder::start() {
  kept_ = read_outage_file();
  if (!kept_ || kept_->boot_id != boot_time_().boot_id) {
    drop(false);  // none, unreadable, or from before the host last went down
    return;
  }
  switch (power_at_identification()) {
    case Power::battery:
      resume();
      break;
    case Power::line:
      drop(true);
      break;
    case Power::unknown:
      break;  // the first answered cycle decides
  }
}

void OutageRecorder::after_cycle() {
  if (kept_) {
    if (status[COMM_ERROR] != 0) {
      return;
    }
    if (status[POWERFAIL] != 0) {
      resume();
    } else {
      drop(true);
    }
    return;
  }
  if (status[POWERFAIL] != 0 && !recorded_) {
    record();
  } else if (status[POWERFAIL] == 0 && recorded_) {
    remove_outage_file();
    recorded_ = false;
    write_reported_ = false;
  }
}

void OutageRecorder::resume() {
  const unsigned int count = resumed_count(*kept_, boot_time_(), settings.powerfail_timeout);
  if (count == 0) {
    drop(false);
    return;
  }
  status[POWERFAIL] = std::max(status[POWERFAIL], count);
  const std::string text = "Resuming the power failure that began at " + log_stamp(kept_->began) +
                           ": " + std::to_string(count) + " seconds on battery so far";
  writelog(text.c_str());
  kept_.reset();
  recorded_ = true;
}

void OutageRecorder::drop(bool power_came_back) {
  remove_outage_file();
  if (power_came_back) {
    writelog("Power came back while the daemon was not running");
  }
  kept_.reset();
  recorded_ = false;
}

void OutageRecorder::record() {
  recorded_ = true;
  const BootTime now = boot_time_();
  const long long counted = static_cast<long long>(status[POWERFAIL]) - 1;
  const OutageRecord outage{clock_now() - static_cast<std::time_t>(counted), now.boot_id,
                            std::max(now.seconds - counted, 0LL)};
  if (write_file_atomically(outage_filename, format_outage_record(outage)) || write_reported_) {
    return;
  }
  write_reported_ = true;
  tornax_warn_and_log(
      "Cannot record the outage in %s (%s); a restart during it would count it again from the "
      "start",
      outage_filename, std::strerror(errno));
}

}  // namespace tornax
