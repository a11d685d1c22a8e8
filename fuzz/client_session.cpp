// Fuzzes what tornaxalert does with the bytes a server sends: reading lines,
// checking the greeting, parsing the status lines and reacting to them, with
// recording actions in place of the console, the broadcast program and the
// shell. The input's first three bytes choose the -p and -s minutes (-1 to
// 10) and the alert scope; the rest is the stream from the server.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "client/connection.h"
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
  settings.shutdown_cmd = "recorded shutdown";
  return settings;
}

// As the client starts: no line seen yet.
void reset_client_state() {
  std::memset(status, 0, sizeof status);
  std::memset(ups_teststatus, 0, sizeof ups_teststatus);
  ups_linevoltage = ups_invvoltage = ups_percentbatt = ups_percentloadpower = 0.0f;
  ups_freq = ups_loadcurrent = 0.0f;
  ups_temp = -1.0f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < setting_bytes) {
    return 0;
  }
  static fuzz::MemoryFile stream;
  const AlertSettings settings = settings_from(data);
  stream.fill(data + setting_bytes, size - setting_bytes);
  reset_client_state();
  RemoteValues values;
  test::RecordingAlerts actions;
  follow_session(stream.fd(), settings, values, actions);
  fuzz::require(strnlen(ups_teststatus, sizeof ups_teststatus) < sizeof ups_teststatus,
                "the self-test text stays terminated in its field");
  const std::string scope = "alert " + std::to_string(settings.tornaxalert_who) + " ";
  for (const std::string &line : actions.lines) {
    fuzz::require(line.starts_with(scope) || line == "run recorded shutdown",
                  "alerts go to the chosen scope, and only the chosen command runs");
  }
  return 0;
}
