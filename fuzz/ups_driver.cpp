// Fuzzes a UPS driver's whole poll, and optionally its identification, over
// the bytes on its line: every driver of the table, chosen by the input's
// first byte; the second byte's low bit asks for the identification first.
// The rest is what the "UPS" sends, cut into one packet after each CR and
// LF, so that each query reads the next reply (or its pieces); the line is
// a packet socket pair whose other end has stopped, so the end of input
// reads as a line that hung up, with no waiting.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "daemon/core/timings.h"
#include "daemon/ups/driver.h"
#include "daemon/ups/line.h"
#include "fuzz/harness.h"
#include "tornax.h"

using namespace tornax;

namespace {

constexpr std::size_t setting_bytes = 2;

// The sending end doesn't wait: an input of more packets than the socket
// queues ends where the queue is full, as if the UPS fell silent there
// (waiting would hang, as nothing reads until every packet is sent).
void send_packets(int fd, std::string_view bytes) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::size_t begin = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' || bytes[i] == '\n' || i + 1 == bytes.size()) {
      const std::size_t length = i + 1 - begin;
      const ssize_t sent = write(fd, bytes.data() + begin, length);
      if (sent < 0 && errno == EAGAIN) {
        return;
      }
      fuzz::require(sent == static_cast<ssize_t>(length), "a packet is sent");
      begin = i + 1;
    }
  }
}

void check_readings(const UpsPoll &poll) {
  for (const float value : {ups_linevoltage, ups_invvoltage, ups_percentbatt, ups_percentloadpower,
                            ups_freq, ups_loadcurrent, ups_backuptime, ups_temp, ups_linenormal}) {
    fuzz::require(std::isfinite(value), "a stored measurement is a finite number");
  }
  for (const auto &fresh : {poll.fresh.charge_percent, poll.fresh.runtime_minutes}) {
    fuzz::require(!fresh || std::isfinite(*fresh), "a fresh reading is a finite number");
  }
  fuzz::require(poll.mark_count <= UpsPoll::max_marks, "the marks stay within their room");
  for (std::size_t i = 0; i < poll.mark_count; ++i) {
    fuzz::require(poll.marks[i] == UpsMark::power_fail || poll.marks[i] == UpsMark::power_back ||
                      poll.marks[i] == UpsMark::low_battery,
                  "a mark is one of the event model's");
  }
  fuzz::require(strnlen(ups_teststatus, sizeof ups_teststatus) < sizeof ups_teststatus,
                "the test status ends in its field");
  fuzz::require(strnlen(ups_version, sizeof ups_version) < sizeof ups_version,
                "the identification ends in its field");
  fuzz::require(last_prefixqueue >= 0 && last_prefixqueue < prefixqueue_size,
                "the prefix queue stays within its room");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < setting_bytes) {
    return 0;
  }
  const UpsDriver &driver = ups_driver_at(data[0] % ups_driver_count());
  const std::string_view stream(reinterpret_cast<const char *>(data) + setting_bytes,
                                size - setting_bytes);
  int line[2];
  fuzz::require(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, line) == 0,
                "socketpair works");
  send_packets(line[1], stream);
  shutdown(line[1], SHUT_WR);
  timings.reply_timeout = std::chrono::milliseconds(1);
  driver.reset();
  last_prefixqueue = 0;
  if ((data[1] & 1) != 0) {
    driver.identify(line[0]);
  }
  UpsPoll poll;
  driver.poll(line[0], poll);
  check_readings(poll);
  take_replies_accepted();
  close(line[0]);
  close(line[1]);
  return 0;
}
