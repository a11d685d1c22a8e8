#include "tests/kit/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tornax::test {

std::string make_temp_dir(const std::string &prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a temporary directory " + pattern);
  }
  return pattern;
}

TempDir::TempDir(const std::string &prefix) : path_(make_temp_dir(prefix)) {}

TempDir::~TempDir() {
  if (!kept_) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

std::string TempDir::file(const std::string &name) const {
  return path_ + "/" + name;
}

std::string TempDir::write(const std::string &name, const std::string &content, int mode) const {
  const std::string path = file(name);
  write_file(path, content);
  chmod(path.c_str(), static_cast<mode_t>(mode));
  return path;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out.flush());
}

bool file_exists(const std::string &path) {
  return access(path.c_str(), F_OK) == 0;
}

}  // namespace tornax::test
