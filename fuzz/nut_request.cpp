// The network UPS protocol server's reading of what a client sends: the
// bytes of a connection, cut into request lines however they arrive (the
// first byte of the input chooses where the reads split), each line split
// into words and answered, with the session it builds up (credentials,
// login, LOGOUT). The server's view holds every variable a cycle publishes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "daemon/net/nut_protocol.h"
#include "daemon/net/nut_variables.h"
#include "fuzz/harness.h"

namespace {

using tornax::fuzz::require;

tornax::NutView fixed_view() {
  tornax::CycleFacts readings;
  readings.cycled = true;
  readings.ups_version = "UPS-1000 \"quoted\" \\ name";
  std::strcpy(readings.values.teststatus, "OK");
  tornax::NutView view;
  view.ups_name = "tornax";
  view.description = "Rack \"4\"";
  view.stale = false;
  view.variables = tornax::nut_variables(readings, false);
  view.clients = {"127.0.0.1"};
  return view;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  static const tornax::NutView view = fixed_view();
  const std::size_t split = data[0] % size;
  const char *bytes = reinterpret_cast<const char *>(data + 1);
  const std::size_t length = size - 1;

  tornax::NutSession session;
  int logins = 0;
  const tornax::NutServerSide side{[] { return view; },
                                   [&logins](const std::string &name, const std::string &pass) {
                                     const bool valid = name == "upsmon" && pass == "secret";
                                     logins += valid ? 1 : 0;
                                     return valid;
                                   }};
  tornax::NutLineSplitter lines;
  const auto handle = [&](std::optional<std::string_view> line) {
    require(!line || line->size() < tornax::nut_line_limit, "a line fits the limit");
    const std::string answer =
        line ? tornax::answer_nut_request(*line, session, side) : "ERR INVALID-ARGUMENT\n";
    tornax::fuzz::require_printable_lines(answer);
    require(answer.size() < 4096, "an answer stays small");
    require(session.logged_in == (logins == 1), "logged in only through a valid account, once");
    return !session.closing;
  };
  const std::size_t first = split < length ? split : length;
  if (lines.take(bytes, first, handle)) {
    lines.take(bytes + first, length - first, handle);
  }
  return 0;
}
