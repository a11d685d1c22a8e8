// A temporary directory, removed with its content when the object goes away.
#ifndef TORNAX_TESTS_SUPPORT_TEMP_DIR_H
#define TORNAX_TESTS_SUPPORT_TEMP_DIR_H

#include <string>

namespace tornax::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // path() + "/" + name.
  std::string file(const std::string &name) const;
  // Writes a file below the directory (mode applied with chmod) and returns its path.
  std::string write(const std::string &name, const std::string &content, int mode = 0644) const;

 private:
  std::string path_;
};

// The whole content of a file, or an empty text when it can't be read.
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_TEMP_DIR_H
