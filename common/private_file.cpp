#include "common/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace tornax {
namespace {

// The reason the file opened as `fd` may not be used, or nothing.
std::optional<std::string> refuse_private_file(int fd, std::string_view reachable_before,
                                               std::string_view reachable_after) {
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    return std::string(std::strerror(errno));
  }
  if (!S_ISREG(info.st_mode)) {
    return std::string("not a regular file");
  }
  if (info.st_uid != geteuid()) {
    return std::string("owned by another user");
  }
  if ((info.st_mode & 077) != 0) {
    return std::string(reachable_before) + file_mode_text(info.st_mode) +
           std::string(reachable_after);
  }
  return std::nullopt;
}

}  // namespace

std::string file_mode_text(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

int open_private_file(const char *path, std::string_view reachable_before,
                      std::string_view reachable_after, std::string &error) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    error = std::strerror(errno);
    return -1;
  }
  if (std::optional<std::string> refusal =
          refuse_private_file(fd, reachable_before, reachable_after)) {
    close(fd);
    error = *refusal;
    return -1;
  }
  return fd;
}

}  // namespace tornax
