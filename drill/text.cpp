#include "drill/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tornax::drill {
namespace {

void write_all(const std::string &path, const std::string &text, int flags, mode_t mode) {
  const int fd = open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, mode);
  bool written = fd >= 0;
  for (std::size_t done = 0; written && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    written = n > 0 || (n < 0 && errno == EINTR);
    done += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  if (fd >= 0 && close(fd) != 0) {
    written = false;
  }
  if (!written) {
    throw Failure(2, "cannot write " + path + ": " + std::strerror(errno));
  }
}

}  // namespace

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string &path, const std::string &text, mode_t mode) {
  write_all(path, text, O_TRUNC, mode);
  if (chmod(path.c_str(), mode) != 0) {
    throw Failure(2, "cannot change the mode of " + path);
  }
}

void append_file(const std::string &path, const std::string &text) {
  write_all(path, text, O_APPEND, 0644);
}

bool exists(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

int count_lines(const std::string &text, const std::string &needle) {
  int n = 0;
  for (const std::string &line : lines_of(text)) {
    n += line.find(needle) != std::string::npos ? 1 : 0;
  }
  return n;
}

bool on_path(const std::string &program) {
  if (program.find('/') != std::string::npos) {
    return access(program.c_str(), X_OK) == 0;
  }
  const char *path = std::getenv("PATH");
  const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; !program.empty() && start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string dir = dirs.substr(start, end - start);
    if (access(((dir.empty() ? "." : dir) + "/" + program).c_str(), X_OK) == 0) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

std::string one_of(const std::vector<std::string> &words) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
  }
  return text;
}

}  // namespace tornax::drill
