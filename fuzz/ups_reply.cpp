// Fuzzes what the daemon makes of the bytes on its serial line: the framing
// of each reply (parse_reply, for every kind of query) and the whole exchange
// of each query the cycle sends, marks and prefix queue included. The input's
// first byte picks the query, the second where the reply splits in two reads
// (as serial adapters deliver it); the rest is what the "UPS" sends. The line
// is one end of a packet socket pair whose other end has sent the reply and
// stopped, so every read returns one piece and the end of input reads as
// silence, with no waiting.
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "daemon/ups/ups.h"
#include "fuzz/harness.h"
#include "tornax.h"

using namespace tornax;

namespace {

constexpr std::size_t setting_bytes = 2;

bool is_mark(char c) {
  return c == '\0' || c == ' ' || c == '!' || c == '$' || c == '*' || c == '@';
}

void check_framing(std::string_view bytes) {
  for (ReplyKind kind : {ReplyKind::number, ReplyKind::backup_time, ReplyKind::test_status}) {
    const std::optional<ParsedReply> reply = parse_reply(bytes, kind);
    if (!reply) {
      continue;
    }
    const std::size_t limit = kind == ReplyKind::test_status ? teststatus_read_limit : reply_size;
    fuzz::require(bytes.size() >= 2 && bytes.size() <= limit, "an accepted reply fits its query");
    fuzz::require(bytes.substr(bytes.size() - 2) == "\r\n", "an accepted reply ends in CR LF");
    fuzz::require(is_mark(reply->mark), "a mark is one of the five or none");
    fuzz::require(reply->mark == '\0' || bytes[0] == reply->mark, "the mark is the first byte");
    fuzz::require(strnlen(reply->text, sizeof reply->text) < sizeof reply->text,
                  "the text ends within its buffer");
    fuzz::require(std::isfinite(reply->value), "the value is a finite number");
    for (std::size_t i = 0; reply->text[i] != '\0'; ++i) {
      fuzz::require(reply->text[i] == '0' || !is_mark(reply->text[i]),
                    "no mark is left in the text");
    }
  }
}

using NumberQuery = int (*)(int, float *);
constexpr NumberQuery number_queries[] = {get_linevoltage,      get_invvoltage, get_percentbatt,
                                          get_percentloadpower, get_freq,       get_loadcurrent,
                                          get_backuptime,       get_linenormal, get_loadpower,
                                          get_chargercurrent,   get_battvolt};
constexpr std::size_t query_count = std::size(number_queries) + 2;

// Runs the query numbered `which` on `fd` and checks what it leaves.
void run_query(std::size_t which, int fd) {
  if (which < std::size(number_queries)) {
    float value = 0.0f;
    const int result = number_queries[which](fd, &value);
    fuzz::require(result <= reply_size, "a reply's length within its query");
    fuzz::require(std::isfinite(value), "a stored measurement is a finite number");
  } else if (which == std::size(number_queries)) {
    char status[ups_teststatus_size] = "OK";
    get_upsteststatus(fd, status);
    fuzz::require(strnlen(status, sizeof status) < sizeof status, "the status ends in its field");
  } else {
    get_version(fd, ups_version);
    fuzz::require(strnlen(ups_version, sizeof ups_version) < sizeof ups_version,
                  "the identification ends in its field");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < setting_bytes) {
    return 0;
  }
  const std::string_view reply(reinterpret_cast<const char *>(data) + setting_bytes,
                               size - setting_bytes);
  check_framing(reply);
  const std::size_t split = data[1] % (reply.size() + 1);

  int line[2];
  fuzz::require(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, line) == 0,
                "socketpair works");
  if (split > 0) {
    fuzz::require(write(line[1], reply.data(), split) == static_cast<ssize_t>(split),
                  "the first piece is sent");
  }
  if (split < reply.size()) {
    const std::size_t rest = reply.size() - split;
    fuzz::require(write(line[1], reply.data() + split, rest) == static_cast<ssize_t>(rest),
                  "the second piece is sent");
  }
  shutdown(line[1], SHUT_WR);
  last_prefixqueue = 0;
  run_query(data[0] % query_count, line[0]);
  fuzz::require(last_prefixqueue >= 0 && last_prefixqueue < prefixqueue_size,
                "the prefix queue stays within its room");
  for (int i = 1; i <= last_prefixqueue; ++i) {
    fuzz::require(is_mark(prefixqueue[i]) && prefixqueue[i] != '\0', "only marks are queued");
  }
  take_replies_accepted();
  close(line[0]);
  close(line[1]);
  return 0;
}
