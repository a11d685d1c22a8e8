#include "tests/support/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tornax::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tornax-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string &name) const {
  return path_ + "/" + name;
}

std::string TempDir::write(const std::string &name, const std::string &content, int mode) const {
  const std::string path = file(name);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  chmod(path.c_str(), static_cast<mode_t>(mode));
  return path;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool file_exists(const std::string &path) {
  return access(path.c_str(), F_OK) == 0;
}

}  // namespace tornax::test
