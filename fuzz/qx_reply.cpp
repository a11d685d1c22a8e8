// Fuzzes what the daemon makes of the bytes a Qx UPS sends: the framing and
// parsing of the Q1, I and F replies, the event marks over a run of them, and
// the charge estimate. The input's first byte sets the configured battery
// range, the second the delay and restart of a switch-off; the rest is cut
// after each CR into replies, each offered to all three parsers, and every
// status accepted goes on to the event mapping in turn.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "daemon/ups/qx_protocol.h"
#include "fuzz/harness.h"

using namespace tornax;
using namespace tornax::qx;

namespace {

constexpr std::size_t setting_bytes = 2;

void require_reading(const std::optional<double> &value, double largest) {
  fuzz::require(!value || (std::isfinite(*value) && *value >= 0.0 && *value <= largest),
                "a reading is a finite number its field can hold");
}

void require_text(const std::string &text, std::size_t width) {
  fuzz::require(text.size() <= width, "a text fits its field");
  fuzz::require(text.empty() || (text.front() != ' ' && text.back() != ' '),
                "a text is without its padding");
  for (const char c : text) {
    fuzz::require(c >= ' ' && c <= '~', "a text is printable");
  }
}

void check_status(std::string_view reply, const Status &s, EventMapper &mapper, BatteryRange range,
                  std::optional<double> nominal) {
  fuzz::require(reply.size() == status_reply_size && reply.front() == '(' && reply.back() == '\r',
                "an accepted status has its start byte, length and CR");
  for (const auto &value : {s.input_voltage, s.input_fault_voltage, s.output_voltage}) {
    require_reading(value, 999.9);
  }
  require_reading(s.load_percent, 999);
  require_reading(s.frequency, 99.9);
  require_reading(s.battery_voltage, 99.9);
  require_reading(s.temperature, 99.9);
  fuzz::require(!s.battery_per_cell || s.battery_voltage, "a per-cell reading is a reading");
  const Marks m = mapper.map(s);
  fuzz::require(m.power_fail == s.has(utility_fail), "power fail is the utility-fail bit");
  fuzz::require(!m.low_battery || m.power_fail, "low battery counts only on battery");
  fuzz::require(!m.power_back || !m.power_fail, "power back is off battery");
  fuzz::require(!m.low_battery_on_mains || (!m.power_fail && s.has(battery_low)),
                "low battery on mains is the bit on mains");
  const std::optional<double> charge = estimate_charge(s, nominal, range);
  fuzz::require(!charge || (*charge >= 0.0 && *charge <= 100.0), "a charge is 0 to 100 %");
}

void check_switch_off(std::uint8_t setting) {
  const long delay = static_cast<long>(setting) * 7 - 100;
  const std::string command = switch_off_command(delay, setting % 16);
  fuzz::require(
      command.size() == 9 && command[0] == 'S' && command[3] == 'R' && command.back() == '\r',
      "a switch-off is S, two characters, R, four digits and CR");
  const std::string d = command.substr(1, 2);
  fuzz::require((d[0] == '.' && d[1] >= '2' && d[1] <= '9') || (d >= "01" && d <= "10"),
                "the delay is .2 to .9 or 01 to 10");
  fuzz::require(command.substr(4, 4) >= "0003", "the restart is at least 3 minutes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < setting_bytes) {
    return 0;
  }
  const BatteryRange range{static_cast<double>(data[0] % 16), static_cast<double>(data[0] / 8)};
  check_switch_off(data[1]);
  std::string_view rest(reinterpret_cast<const char *>(data) + setting_bytes, size - setting_bytes);
  EventMapper mapper;
  std::optional<double> nominal;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\r');
    const std::string_view reply = rest.substr(0, end == std::string_view::npos ? end : end + 1);
    rest.remove_prefix(reply.size());
    if (const std::optional<Identity> id = parse_identity(reply)) {
      fuzz::require(reply.size() == identity_reply_size, "an accepted I has its length");
      require_text(id->manufacturer, 15);
      require_text(id->model, 10);
      require_text(id->firmware, 10);
    }
    if (const std::optional<Ratings> r = parse_ratings(reply)) {
      fuzz::require(reply.size() == ratings_reply_size, "an accepted F has its length");
      require_reading(r->voltage, 999.9);
      require_reading(r->battery_voltage, 999.9);
      nominal = r->battery_voltage;
    }
    if (const std::optional<Status> s = parse_status(reply)) {
      check_status(reply, *s, mapper, range, nominal);
    }
  }
  return 0;
}
