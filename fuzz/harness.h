// What every fuzzing harness shares: a property that fails is a finding, and
// an input for code that reads a file or a descriptor goes through an
// in-memory file. Header-only, so that the client's harnesses, which link
// none of the daemon's code, use it too.
#ifndef TORNAX_FUZZ_HARNESS_H
#define TORNAX_FUZZ_HARNESS_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tornax::fuzz {

// Stops the run when a property that must hold for every input does not:
// libFuzzer keeps the input as a crash, the replay reports it.
inline void require(bool holds, const char *property) {
  if (!holds) {
    std::fprintf(stderr, "fuzz: property broken: %s\n", property);
    std::abort();
  }
}

// What a line protocol's server answers, whatever it was sent: whole lines of
// printable text, so that nothing a client sends can break the framing the
// client reads.
inline void require_printable_lines(const std::string &answer) {
  require(answer.empty() || answer.back() == '\n', "an answer ends with a line end");
  for (const char c : answer) {
    const auto byte = static_cast<unsigned char>(c);
    require(c == '\n' || (byte >= 0x20 && byte < 0x7f), "an answer is printable text");
  }
}

// An anonymous file in memory that holds the latest input. Opening path()
// gives a new reader at its start, as opening a file on disk does; fd()
// reads on from where the last reader stopped.
class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("tornax-fuzz-input", 0)) {
    require(fd_ >= 0, "memfd_create works");
    std::snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
  }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile &) = delete;
  MemoryFile &operator=(const MemoryFile &) = delete;

  // Replaces the content with `size` bytes of `data` and rewinds fd().
  void fill(const std::uint8_t *data, std::size_t size) {
    require(ftruncate(fd_, 0) == 0, "the input file can be emptied");
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      require(n > 0, "the input file can be written");
      done += static_cast<std::size_t>(n);
    }
    require(lseek(fd_, 0, SEEK_SET) == 0, "the input file can be rewound");
  }

  int fd() const { return fd_; }
  const char *path() const { return path_; }

 private:
  int fd_;
  char path_[64] = {};
};

}  // namespace tornax::fuzz

#endif  // TORNAX_FUZZ_HARNESS_H
