// Whole lines from a non-blocking descriptor (a status connection or a
// FIFO) that the reader owns; the splitting into lines is the test kit's.
#ifndef TORNAX_BENCH_LINE_READER_H
#define TORNAX_BENCH_LINE_READER_H

#include <string>
#include <vector>

#include "tests/kit/loopback.h"
#include "tests/kit/no_copy.h"

namespace tornax::bench {

class LineReader : test::NoCopy {
 public:
  // Takes ownership of `fd`, which must be non-blocking.
  explicit LineReader(int fd) : fd_(fd), lines_(fd) {}
  ~LineReader();
  LineReader(LineReader &&other) noexcept;

  int fd() const { return fd_; }
  // Reads everything available and appends each complete line (without its
  // line end) to `lines`. Returns false when the peer closed or the read
  // failed; the lines read before that are still appended.
  bool drain(std::vector<std::string> *lines) { return lines_.drain(lines); }
  // Closes the descriptor now.
  void close_now();

 private:
  int fd_ = -1;
  test::LineReader lines_;
};

// Connects a non-blocking TCP socket to 127.0.0.1:port; -1 on failure.
int connect_nonblocking(int port);

}  // namespace tornax::bench

#endif  // TORNAX_BENCH_LINE_READER_H
