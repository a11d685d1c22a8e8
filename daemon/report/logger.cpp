#include "daemon/report/logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "daemon/core/clock.h"
#include "daemon/core/error.h"
#include "daemon/core/util.h"
#include "tornax.h"

namespace tornax {
namespace {

// Entries kept in memory while the log can't be written; later ones are
// counted as lost. Events are rare, so this covers a long outage of the disk.
constexpr std::size_t held_limit = 256;

std::mutex log_mutex;

// What the log has come to while it could not be written. Guarded by
// log_mutex.
struct LogHealth {
  bool failing = false;           // a failure was reported and has not ended
  bool rotation_failing = false;  // a failed move to the .old file was reported
  std::vector<std::string> held;  // complete lines waiting to be written
  unsigned long lost = 0;         // lines dropped beyond held_limit
};
LogHealth health;

std::string old_log_filename() {
  return std::string(log_filename) + ".old";
}

std::string entry_line(const char *stamp, const char *message) {
  return std::string(stamp) + " : " + message + " \n";
}

// The limit is compared in 64 bits: a very large LOGSIZE must not wrap around
// to a small limit and restart the log at every entry. Only a regular file
// is ever moved aside.
bool log_too_large() {
  if (settings.logsize == 0) {
    return false;
  }
  struct stat info {};
  if (lstat(log_filename, &info) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
  return static_cast<std::uint64_t>(info.st_size) >
         static_cast<std::uint64_t>(settings.logsize) * 1024u;
}

// Moves the full log to tornax.log.old, replacing the previous one, so the
// history survives the restart. A failed move is reported once and the log
// goes on growing: nothing is thrown away.
bool rotate_log() {
  const std::string old = old_log_filename();
  if (std::rename(log_filename, old.c_str()) == 0) {
    health.rotation_failing = false;
    return true;
  }
  if (!health.rotation_failing) {
    health.rotation_failing = true;
    tornax_warn("Cannot move logfile (%s) to %s. %s; it goes on growing", log_filename, old.c_str(),
                std::strerror(errno));
  }
  return false;
}

// Writes the whole text with one append. A short write (a nearly full disk)
// is taken back, so no half entry is left for the next one to run into.
bool write_text(int fd, const std::string &text) {
  struct stat info {};
  const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ssize_t written;
  do {
    written = write(fd, text.data(), text.size());
  } while (written < 0 && errno == EINTR);
  if (written == static_cast<ssize_t>(text.size())) {
    return true;
  }
  const int saved_errno = written < 0 ? errno : ENOSPC;
  if (written > 0 && regular) {
    const int ignored = ftruncate(fd, info.st_size);  // the failure is reported either way
    (void)ignored;
  }
  errno = saved_errno;
  return false;
}

void hold(const std::vector<std::string> &lines) {
  for (const std::string &line : lines) {
    if (health.held.size() < held_limit) {
      health.held.push_back(line);
    } else {
      ++health.lost;
    }
  }
}

// Reported once when writing starts to fail, not at every entry.
void report_failure(const char *what, int error) {
  if (health.failing) {
    return;
  }
  health.failing = true;
  tornax_warn("%s logfile (%s). %s; entries are held until it can be written again", what,
              log_filename, std::strerror(error));
}

void report_recovery() {
  health.failing = false;
  health.held.clear();
  health.lost = 0;
  tornax_warn("Logfile (%s) can be written again", log_filename);
}

// The held lines, a note of the lost ones, then `lines`, in one text.
std::string pending_text(const char *stamp, const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : health.held) {
    text += line;
  }
  if (health.lost != 0) {
    text += entry_line(stamp, (std::to_string(health.lost) +
                               " log entries were lost while the logfile could not be written")
                                  .c_str());
  }
  for (const std::string &line : lines) {
    text += line;
  }
  return text;
}

// Appends `lines` after whatever is held, never through a symbolic link.
void append_lines(const char *stamp, const std::vector<std::string> &lines) {
  const int fd = open(log_filename, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    report_failure("Cannot Open", errno);
    hold(lines);
    return;
  }
  const bool written = write_text(fd, pending_text(stamp, lines));
  const int saved_errno = errno;
  close(fd);
  if (!written) {
    report_failure("Cannot write", saved_errno);
    hold(lines);
  } else if (health.failing) {
    report_recovery();
  }
}

}  // namespace

std::string log_stamp(std::time_t when) {
  return local_time_text(when, "[%x] %X");
}

void writelog(const char *message) {
  const std::string stamp = log_stamp(clock_now());

  const std::lock_guard<std::mutex> lock(log_mutex);
  std::vector<std::string> lines;
  if (log_too_large() && rotate_log()) {
    lines.push_back(entry_line(stamp.c_str(), "*** Logfile restart ***"));
  }
  lines.push_back(entry_line(stamp.c_str(), message));
  append_lines(stamp.c_str(), lines);
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
