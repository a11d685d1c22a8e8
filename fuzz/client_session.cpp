// Fuzzes what tornaxalert does with the bytes a server sends: reading lines,
// checking the greeting, parsing the status lines and reacting to them, with
// recording actions in place of the console, the broadcast program and the
// shell. The input's first three bytes choose the -p and -s minutes (-1 to
// 10), the alert scope and whether the client holds a key (then it sends its
// hello and must find every line authenticated); the rest is the stream from
// the server, read from one end of a socket pair.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "client/follow.h"
#include "fuzz/harness.h"
#include "tests/support/recording_alerts.h"
#include "tornax.h"

using namespace tornax;

namespace {

constexpr std::size_t setting_bytes = 3;

AlertSettings settings_from(const std::uint8_t *data) {
  AlertSettings settings;
  settings.powerfail_shutdown_time = data[0] % 12 - 1;
  settings.schedule_shutdown_time = data[1] % 12 - 1;
  settings.tornaxalert_who = data[2] % 3;
  if (data[2] / 3 % 2 == 1) {
    settings.key = StatusKey{};
  }
  settings.shutdown_cmd = "recorded shutdown";
  return settings;
}

// A connection whose server has sent `size` bytes of `data` and closed its
// side; the client's end is client().
class Connection {
 public:
  Connection(const std::uint8_t *data, std::size_t size) {
    fuzz::require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends_) == 0, "a socket pair");
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = write(ends_[1], data + done, size - done);
      fuzz::require(n > 0, "the server's bytes fit the socket");
      done += static_cast<std::size_t>(n);
    }
    shutdown(ends_[1], SHUT_WR);
  }
  ~Connection() {
    close(ends_[0]);
    close(ends_[1]);
  }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;
  int client() const { return ends_[0]; }

 private:
  int ends_[2] = {-1, -1};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < setting_bytes) {
    return 0;
  }
  const AlertSettings chosen = settings_from(data);
  const Connection connection(data + setting_bytes, size - setting_bytes);
  ClientState state;  // as the client starts: no line seen yet
  test::RecordingAlerts actions;
  follow_session(connection.client(), chosen, state, actions);
  fuzz::require(strnlen(state.values.teststatus, sizeof state.values.teststatus) <
                    sizeof state.values.teststatus,
                "the self-test text stays terminated in its field");
  // The stream was made without the key (and the client's nonce is new), so
  // none of its lines may verify.
  fuzz::require(!chosen.key || actions.lines.empty(),
                "with a key, nothing from a server without it is acted on");
  const std::string scope = "alert " + std::to_string(chosen.tornaxalert_who) + " ";
  for (const std::string &line : actions.lines) {
    fuzz::require(line.starts_with(scope) || line == "run recorded shutdown",
                  "alerts go to the chosen scope, and only the chosen command runs");
  }
  return 0;
}
