#include "daemon/core/util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/core/error.h"

namespace tornax {

char dir_prefix[path_size] = TORNAX_DEFAULT_HOME;
char pid_filename[path_size];
char log_filename[path_size];
char config_filename[path_size];
char shutdown_script_filename[path_size];
char outage_filename[path_size];

namespace {

// The home is at most 150 characters, so every name fits its buffer.
void set_path(char (&path)[path_size], const char *name) {
  const std::string full = std::string(dir_prefix) + name;
  const std::size_t length = std::min(full.size(), sizeof path - 1);
  full.copy(path, length);
  path[length] = '\0';
}

}  // namespace

void getpath() {
  if (const char *home = std::getenv("TORNAXHOME")) {
    if (std::strlen(home) > static_cast<std::size_t>(max_home_length)) {
      tornax_error("$TORNAXHOME too long\n");
    }
    std::snprintf(dir_prefix, sizeof dir_prefix, "%s", home);
  } else {
    std::snprintf(dir_prefix, sizeof dir_prefix, "%s", default_home);
  }
  set_path(pid_filename, "/tornax.pid");
  set_path(log_filename, "/tornax.log");
  set_path(config_filename, "/tornax.conf");
  set_path(shutdown_script_filename, "/shutdown.sh");
  set_path(outage_filename, "/tornax.outage");
}

namespace {

// The process id a pid file holds, or 0 when it holds no positive number.
pid_t read_pidfile(const char *path) {
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return 0;
  }
  char text[32] = "";
  const ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  text[length > 0 ? length : 0] = '\0';
  char *end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  if (end == text || pid <= 0 || pid > 0x3fffffff) {
    return 0;
  }
  return static_cast<pid_t>(pid);
}

// A pid from before a crash or a power loss may since have gone to another
// program, so a live process counts only when it runs the same program as we
// do (when /proc can't tell, any live process counts).
bool daemon_alive(pid_t pid) {
  if (kill(pid, 0) != 0 && errno != EPERM) {
    return false;
  }
  const std::string theirs = command_name("/proc/" + std::to_string(pid));
  const std::string ours = command_name("/proc/self");
  return theirs.empty() || ours.empty() || theirs == ours;
}

}  // namespace

void check_pidfile() {
  struct stat info {};
  if (lstat(pid_filename, &info) != 0) {
    return;
  }
  const pid_t pid = read_pidfile(pid_filename);
  if (pid > 0 && daemon_alive(pid)) {
    tornax_error("PIDFILE exist");
  }
  tornax_warn("Replacing stale PIDFILE %s (no daemon runs with its pid)", pid_filename);
  unlink(pid_filename);
}

int make_file() {
  const int fd = open(pid_filename, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    return errno == EEXIST ? pidfile_exists : pidfile_failed;
  }
  char text[32];
  const int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
  const bool written = write(fd, text, static_cast<std::size_t>(length)) == length;
  const int saved_errno = errno;
  close(fd);
  if (!written) {
    unlink(pid_filename);
    errno = saved_errno;
    return pidfile_failed;
  }
  return 0;
}

void clear_file() {
  unlink(pid_filename);
}

std::string read_small_file(const std::string &path, std::size_t limit) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return "";
  }
  std::string text;
  char buffer[512];
  ssize_t n;
  while (text.size() < limit && (n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return text.substr(0, limit);
}

std::string command_name(const std::string &proc_dir) {
  std::string name = read_small_file(proc_dir + "/comm", 64);
  return name.substr(0, name.find('\n'));
}

bool write_whole(int fd, const std::string &text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

namespace {

// The rename itself reaches the disk only with its directory.
void sync_directory_of(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace

bool write_file_atomically(const char *path, const std::string &text) {
  const std::string temporary = std::string(path) + ".new";
  unlink(temporary.c_str());  // left by a crash half-way
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    return false;
  }
  bool written = write_whole(fd, text) && fsync(fd) == 0;
  int saved_errno = errno;
  if (close(fd) != 0 && written) {
    written = false;
    saved_errno = errno;
  }
  if (written && std::rename(temporary.c_str(), path) != 0) {
    written = false;
    saved_errno = errno;
  }
  if (!written) {
    unlink(temporary.c_str());
    errno = saved_errno;
    return false;
  }
  sync_directory_of(path);
  return true;
}

}  // namespace tornax
