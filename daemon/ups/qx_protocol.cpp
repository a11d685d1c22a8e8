#include "daemon/ups/qx_protocol.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace tornax::qx {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Cuts the reply's body (between its start byte and CR) into fields of the
// given widths, one blank between each two. False when the reply does not
// have exactly that shape.
template <std::size_t N>
bool split_fields(std::string_view reply, char start, const std::array<std::size_t, N> &widths,
                  std::array<std::string_view, N> &fields) {
  std::size_t size = 2 + N - 1;
  for (const std::size_t width : widths) {
    size += width;
  }
  if (reply.size() != size || reply.front() != start || reply.back() != '\r') {
    return false;
  }
  std::size_t at = 1;
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0 && reply[at++] != ' ') {
      return false;
    }
    fields[i] = reply.substr(at, widths[i]);
    at += widths[i];
  }
  return true;
}

// A field of filler bytes ("@", or "-" in some dialects; a decimal point may
// stand among them) holds no reading.
bool is_filler(std::string_view field) {
  bool filled = false;
  for (const char c : field) {
    if (c == '@' || c == '-') {
      filled = true;
    } else if (c != '.') {
      return false;
    }
  }
  return filled;
}

// Reads a number field whose bytes follow `shape` ("d" a digit, "." itself).
// Absent when filled; nothing when malformed.
std::optional<std::optional<double>> number_field(std::string_view field, std::string_view shape) {
  if (is_filler(field)) {
    return std::optional<double>();
  }
  if (field.size() != shape.size()) {
    return std::nullopt;
  }
  double value = 0.0;
  double scale = 1.0;
  bool fraction = false;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (shape[i] == '.') {
      if (field[i] != '.') {
        return std::nullopt;
      }
      fraction = true;
      continue;
    }
    if (!is_digit(field[i])) {
      return std::nullopt;
    }
    value = value * 10.0 + (field[i] - '0');
    scale = fraction ? scale * 10.0 : scale;
  }
  return std::optional<double>(value / scale);
}

// Reads a field of one of two shapes; `second` tells which one matched.
std::optional<std::optional<double>> either_field(std::string_view field, std::string_view first,
                                                  std::string_view other, bool &second) {
  second = false;
  if (auto value = number_field(field, first)) {
    return value;
  }
  second = true;
  return number_field(field, other);
}

// The eight status bits, "0" or "1" each, b7 first.
std::optional<std::uint8_t> status_bits(std::string_view field) {
  std::uint8_t bits = 0;
  for (const char c : field) {
    if (c != '0' && c != '1') {
      return std::nullopt;
    }
    bits = static_cast<std::uint8_t>((bits << 1) | (c == '1' ? 1 : 0));
  }
  return bits;
}

// A text field: printable ASCII, without its padding blanks; a field of "@"
// is empty.
std::optional<std::string> text_field(std::string_view field) {
  for (const char c : field) {
    if (c < ' ' || c > '~') {
      return std::nullopt;
    }
  }
  const std::size_t begin = field.find_first_not_of(' ');
  if (begin == std::string_view::npos) {
    return std::string();
  }
  const std::string_view text = field.substr(begin, field.find_last_not_of(' ') - begin + 1);
  if (text.find_first_not_of('@') == std::string_view::npos) {
    return std::string();
  }
  return std::string(text);
}

}  // namespace

std::optional<Status> parse_status(std::string_view reply) {
  static constexpr std::array<std::size_t, 8> widths{5, 5, 5, 3, 4, 4, 4, 8};
  std::array<std::string_view, 8> f;
  if (!split_fields(reply, '(', widths, f)) {
    return std::nullopt;
  }
  Status status;
  bool whole_battery = false;
  const std::optional<std::uint8_t> bits = status_bits(f[7]);
  const auto input = number_field(f[0], "ddd.d");
  const auto fault = number_field(f[1], "ddd.d");
  const auto output = number_field(f[2], "ddd.d");
  const auto load = number_field(f[3], "ddd");
  const auto frequency = number_field(f[4], "dd.d");
  const auto battery = either_field(f[5], "d.dd", "dd.d", whole_battery);
  const auto temperature = number_field(f[6], "dd.d");
  if (!bits || !input || !fault || !output || !load || !frequency || !battery || !temperature) {
    return std::nullopt;
  }
  status.input_voltage = *input;
  status.input_fault_voltage = *fault;
  status.output_voltage = *output;
  status.load_percent = *load;
  status.frequency = *frequency;
  status.battery_voltage = *battery;
  status.battery_per_cell = battery->has_value() && !whole_battery;
  status.temperature = *temperature;
  status.bits = *bits;
  return status;
}

std::optional<Identity> parse_identity(std::string_view reply) {
  static constexpr std::array<std::size_t, 3> widths{15, 10, 10};
  std::array<std::string_view, 3> f;
  if (!split_fields(reply, '#', widths, f)) {
    return std::nullopt;
  }
  std::optional<std::string> manufacturer = text_field(f[0]);
  std::optional<std::string> model = text_field(f[1]);
  std::optional<std::string> firmware = text_field(f[2]);
  if (!manufacturer || !model || !firmware) {
    return std::nullopt;
  }
  return Identity{std::move(*manufacturer), std::move(*model), std::move(*firmware)};
}

std::optional<Ratings> parse_ratings(std::string_view reply) {
  static constexpr std::array<std::size_t, 4> widths{5, 3, 5, 4};
  std::array<std::string_view, 4> f;
  if (!split_fields(reply, '#', widths, f)) {
    return std::nullopt;
  }
  bool unused = false;
  const auto voltage = number_field(f[0], "ddd.d");
  const auto current = number_field(f[1], "ddd");
  const auto battery = either_field(f[2], "dd.dd", "ddd.d", unused);
  const auto frequency = number_field(f[3], "dd.d");
  if (!voltage || !current || !battery || !frequency) {
    return std::nullopt;
  }
  return Ratings{*voltage, *current, *battery, *frequency};
}

Marks EventMapper::map(const Status &status) {
  Marks marks;
  const bool on_battery = status.has(utility_fail);
  const bool low = status.has(battery_low);
  marks.power_fail = on_battery;
  marks.power_back = on_battery_ && !on_battery;
  marks.low_battery = on_battery && low;
  marks.low_battery_on_mains = !on_battery && low && !low_on_mains_;
  on_battery_ = on_battery;
  low_on_mains_ = !on_battery && low;
  return marks;
}

std::optional<double> estimate_charge(const Status &status,
                                      std::optional<double> nominal_battery_voltage,
                                      BatteryRange range) {
  if (!status.battery_voltage) {
    return std::nullopt;
  }
  const double cells = nominal_battery_voltage && *nominal_battery_voltage >= volts_per_cell
                           ? std::round(*nominal_battery_voltage / volts_per_cell)
                           : 0.0;
  const bool configured = range.low > 0.0 && range.high > 0.0;
  if (cells == 0.0 && (status.battery_per_cell || !configured)) {
    return std::nullopt;
  }
  const double volts = *status.battery_voltage * (status.battery_per_cell ? cells : 1.0);
  const double low = range.low > 0.0 ? range.low : cells * cell_volts_empty;
  const double high = range.high > 0.0 ? range.high : cells * cell_volts_full;
  if (!(high > low)) {
    return std::nullopt;
  }
  return std::clamp((volts - low) / (high - low) * 100.0, 0.0, 100.0);
}

DelayText delay_text(long seconds) {
  const long tenths = std::max(0L, seconds) / 6 + (std::max(0L, seconds) % 6 != 0 ? 1 : 0);
  char text[8];
  if (tenths < 10) {
    std::snprintf(text, sizeof text, ".%ld", std::max(2L, tenths));
    return {text, false};
  }
  const long minutes = (tenths + 9) / 10;
  std::snprintf(text, sizeof text, "%02ld", std::min(10L, minutes));
  return {text, minutes > 10};
}

std::string restart_text(long minutes) {
  char text[8];
  std::snprintf(text, sizeof text, "%04ld", std::clamp(minutes, shortest_restart, longest_restart));
  return text;
}

// Appended piece by piece: g++ 12 at -O3 sees a false overlap in the chain
// of operator+ (-Wrestrict), which breaks the Release builds with -Werror.
std::string switch_off_command(long delay_seconds, long restart_minutes) {
  std::string command = "S";
  command += delay_text(delay_seconds).text;
  command += 'R';
  command += restart_text(restart_minutes);
  command += '\r';
  return command;
}

const char *self_test_result(const Status &status) {
  if (status.has(test_in_progress)) {
    return "IP";
  }
  return status.has(ups_failed) ? "NG" : "OK";
}

}  // namespace tornax::qx
