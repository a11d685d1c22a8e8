// The test kit: helpers shared by every test folder and by the benchmark.
// It links none of the project's code, so the client's tests, the daemon's
// tests and bench/ can all use it. This part: temporary folders and files.
#ifndef TORNAX_TESTS_KIT_FILES_H
#define TORNAX_TESTS_KIT_FILES_H

#include <string>

#include "tests/kit/no_copy.h"

namespace tornax::test {

// A new directory under the system's temporary folder, named prefix-XXXXXX;
// throws std::runtime_error when it can't be made.
std::string make_temp_dir(const std::string &prefix);

// A temporary directory, removed with its content when the object goes away
// (unless keep() was called).
class TempDir : NoCopy {
 public:
  explicit TempDir(const std::string &prefix = "tornax-test");
  ~TempDir();

  const std::string &path() const { return path_; }
  // path() + "/" + name.
  std::string file(const std::string &name) const;
  // Writes a file below the directory (mode applied with chmod) and returns its path.
  std::string write(const std::string &name, const std::string &content, int mode = 0644) const;
  // Leaves the directory in place when the object goes away.
  void keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

// The whole content of a file, or an empty text when it can't be read.
std::string read_file(const std::string &path);
// Replaces the file's content; false when it can't be written.
bool write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);

}  // namespace tornax::test

#endif  // TORNAX_TESTS_KIT_FILES_H
