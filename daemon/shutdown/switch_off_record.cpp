#include "daemon/shutdown/switch_off_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "daemon/config/file_safety.h"
#include "daemon/core/util.h"
#include "tornax.h"

namespace tornax {
namespace {

constexpr const char *record_keys[] = {"boot_id", "device", "protocol",
                                       "delay",   "sleep",  "restart_sleep"};
// Earlier versions wrote no protocol: their records are the default driver's.
constexpr const char *optional_key = "protocol";
constexpr std::size_t record_limit = 4096;

std::optional<int> parse_int(const std::string &text, long low, long high) {
  if (text.empty() || text.size() > 12) {
    return std::nullopt;
  }
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || text[0] == ' ' || text[0] == '+' || value < low ||
      value > high) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

bool plain_path(const std::string &path) {
  if (path.empty() || path[0] != '/') {
    return false;
  }
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) {
      return false;
    }
  }
  return true;
}

// The record's lines as keys and values; false when a line is not
// "key=value", a key is unknown or comes twice.
bool split_lines(std::string_view text, std::map<std::string, std::string> &fields,
                 std::string *error) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      *error = "the last line has no line end";
      return false;
    }
    const std::string line(text.substr(0, end));
    text.remove_prefix(end + 1);
    const std::size_t equals = line.find('=');
    const std::string key = line.substr(0, equals);
    bool known = false;
    for (const char *k : record_keys) {
      known = known || key == k;
    }
    if (equals == std::string::npos || !known) {
      *error = "unknown line \"" + line + "\"";
      return false;
    }
    if (!fields.emplace(key, line.substr(equals + 1)).second) {
      *error = key + " comes twice";
      return false;
    }
  }
  for (const char *k : record_keys) {
    if (fields.count(k) == 0 && std::string_view(k) != optional_key) {
      *error = std::string(k) + " is missing";
      return false;
    }
  }
  return true;
}

std::string read_text(int fd, bool *whole) {
  std::string text;
  char buffer[512];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 && text.size() <= record_limit) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  *whole = n == 0 && text.size() <= record_limit;
  return text;
}

bool fail(std::string *error, const std::string &what) {
  *error = what + ": " + std::strerror(errno);
  return false;
}

}  // namespace

std::string switch_off_record_path() {
  const char *dir = std::getenv("TORNAX_RUN_DIR");
  return std::string(dir != nullptr && dir[0] != '\0' ? dir : "/run/tornax") + "/switch-off";
}

std::string current_boot_id() {
  std::string id = read_small_file("/proc/sys/kernel/random/boot_id", 64);
  return id.substr(0, id.find('\n'));
}

std::string format_record(const SwitchOffRecord &record) {
  return "boot_id=" + record.boot_id + "\ndevice=" + record.device +
         "\nprotocol=" + record.protocol +
         "\ndelay=" + std::to_string(record.intent.delay_seconds) +
         "\nsleep=" + std::to_string(record.intent.sleep_minutes) +
         "\nrestart_sleep=" + std::to_string(record.intent.restart_minutes) + "\n";
}

std::optional<SwitchOffRecord> parse_record(std::string_view text, std::string *error) {
  std::map<std::string, std::string> fields;
  if (!split_lines(text, fields, error)) {
    return std::nullopt;
  }
  SwitchOffRecord record;
  record.boot_id = fields["boot_id"];
  record.device = fields["device"];
  if (const auto protocol = fields.find("protocol"); protocol != fields.end()) {
    record.protocol = protocol->second;
  }
  const std::optional<int> delay = parse_int(fields["delay"], INT_MIN, INT_MAX);
  const std::optional<int> sleep = parse_int(fields["sleep"], INT_MIN, INT_MAX);
  const std::optional<int> restart = parse_int(fields["restart_sleep"], 0, max_restart_sleep);
  if (record.boot_id.empty()) {
    *error = "boot_id is empty";
  } else if (!plain_path(record.device)) {
    *error = "device is not an absolute path";
  } else if (find_ups_driver(record.protocol) == nullptr) {
    *error = "protocol \"" + record.protocol + "\" is unknown (" + ups_driver_names() + ")";
  } else if (!delay || !sleep || !restart) {
    *error = std::string(!delay   ? "delay"
                         : !sleep ? "sleep"
                                  : "restart_sleep") +
             " is not a number in range";
  } else {
    record.intent = {*delay, *sleep, *restart};
    return record;
  }
  return std::nullopt;
}

bool write_record(const std::string &path, const SwitchOffRecord &record, std::string *error) {
  const std::string dir = path.substr(0, path.rfind('/'));
  if (!dir.empty() && mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    return fail(error, "cannot make " + dir);
  }
  const std::string temporary = path + ".new";
  unlink(temporary.c_str());
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    return fail(error, "cannot create " + temporary);
  }
  const bool written =
      write_whole(fd, format_record(record)) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  const int saved = errno;
  close(fd);
  if (!written) {
    errno = saved;
    unlink(temporary.c_str());
    return fail(error, "cannot write " + temporary);
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const bool failed = fail(error, "cannot rename " + temporary + " to " + path);
    unlink(temporary.c_str());
    return failed;
  }
  return true;
}

LoadedRecord load_record(const std::string &path, const std::string &boot_id) {
  LoadedRecord loaded;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno != ENOENT) {
      loaded.state = RecordState::refused;
      loaded.reason = std::string("cannot open it: ") + std::strerror(errno);
    }
    return loaded;
  }
  struct stat info {};
  loaded.state = RecordState::refused;
  bool whole = false;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    loaded.reason = "not a plain file";
  } else if (const std::optional<std::string> unsafe = unsafe_reason(info)) {
    loaded.reason = *unsafe;
  } else {
    const std::string text = read_text(fd, &whole);
    std::string error;
    if (!whole) {
      loaded.reason = "cannot read it whole";
    } else if (std::optional<SwitchOffRecord> record = parse_record(text, &error)) {
      loaded.record = std::move(*record);
      loaded.state =
          loaded.record.boot_id == boot_id ? RecordState::valid : RecordState::earlier_boot;
    } else {
      loaded.reason = error;
    }
  }
  close(fd);
  return loaded;
}

bool remove_record(const std::string &path) {
  return unlink(path.c_str()) == 0;
}

}  // namespace tornax
