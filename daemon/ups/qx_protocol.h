// The facts of the Qx serial protocol, and its pure functions: the framing
// and parsing of the Q1 status, I identification and F ratings replies, the
// cycle's event marks taken from the status bits, the battery charge
// estimated from the battery voltage, and the switch-off command's text.
// Nothing here touches a line; the Qx driver sends and reads through these.
//
// A reply counts only when it is well formed for its query: its start byte,
// its fixed length, a blank between fields of their fixed widths, digits
// where digits belong, and CR at its end. Anything else (an echo of the
// command, "N", "(NAK", noise, a reply cut short) is no answer, never an
// event. A field the UPS lacks is filled with "@" (or "-"): the reply is well
// formed and that reading absent.
#ifndef TORNAX_DAEMON_UPS_QX_PROTOCOL_H
#define TORNAX_DAEMON_UPS_QX_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tornax::qx {

// The queries and commands, as sent (each ended by CR).
inline constexpr std::string_view status_query = "Q1\r";
inline constexpr std::string_view identity_query = "I\r";
inline constexpr std::string_view ratings_query = "F\r";
inline constexpr std::string_view self_test_command = "T\r";

// The lengths of well-formed replies, CR included.
inline constexpr std::size_t status_reply_size = 47;
inline constexpr std::size_t identity_reply_size = 39;
inline constexpr std::size_t ratings_reply_size = 22;

// The status word of Q1, b7 first on the line.
enum StatusBit : std::uint8_t {
  utility_fail = 0x80,  // on battery
  battery_low = 0x40,
  bypass_active = 0x20,  // bypass, or boost/buck
  ups_failed = 0x10,
  standby_type = 0x08,  // 0: an on-line unit
  test_in_progress = 0x04,
  shutdown_active = 0x02,  // an S is counting down
  beeper_on = 0x01,
};

// A well-formed Q1 reply. Absent readings were filled with "@".
struct Status {
  std::optional<double> input_voltage;
  std::optional<double> input_fault_voltage;
  std::optional<double> output_voltage;
  std::optional<double> load_percent;
  std::optional<double> frequency;
  std::optional<double> battery_voltage;
  bool battery_per_cell = false;  // written S.SS (a cell) rather than SS.S (the battery)
  std::optional<double> temperature;
  std::uint8_t bits = 0;

  bool has(StatusBit bit) const { return (bits & bit) != 0; }
};

// A well-formed I reply; each text without its padding blanks (empty when
// filled with "@").
struct Identity {
  std::string manufacturer;
  std::string model;
  std::string firmware;
};

// A well-formed F reply.
struct Ratings {
  std::optional<double> voltage;
  std::optional<double> current;
  std::optional<double> battery_voltage;  // the nominal voltage of the whole battery
  std::optional<double> frequency;
};

// Each takes the bytes that arrived for its query, CR included, and returns
// the reply when it is well formed, nothing otherwise.
std::optional<Status> parse_status(std::string_view reply);
std::optional<Identity> parse_identity(std::string_view reply);
std::optional<Ratings> parse_ratings(std::string_view reply);

// The cycle's event marks from one well-formed status, in the event model's
// terms. Only answered cycles are mapped: an unanswered one changes nothing.
struct Marks {
  bool power_fail = false;   // the utility-fail bit
  bool power_back = false;   // the first status without it after one with it
  bool low_battery = false;  // the battery-low bit while on battery
  // The battery-low bit on mains (a self-test does this on some models): no
  // mark, but true on the first status of such a run, so it is logged once.
  bool low_battery_on_mains = false;
};

// Remembers the last answered status, for the marks that depend on it.
class EventMapper {
 public:
  Marks map(const Status &status);

 private:
  bool on_battery_ = false;
  bool low_on_mains_ = false;
};

// Battery voltages of a lead-acid cell at rest: full, and where a UPS cuts out.
inline constexpr double cell_volts_full = 2.15;
inline constexpr double cell_volts_empty = 1.9;
inline constexpr double volts_per_cell = 2.0;  // of a nominal voltage

// The whole battery's voltages between which the charge is estimated
// (BATTERY_VOLTAGE_LOW and BATTERY_VOLTAGE_HIGH); 0 each: from the cells.
struct BatteryRange {
  double low = 0.0;
  double high = 0.0;
};

// The battery charge in percent, 0 to 100, estimated linearly from the
// battery voltage between the range's ends. A per-cell reading is scaled by
// the cell count (the nominal battery voltage of F over 2 V), and an end not
// configured is the cell count times the cell's voltage full or empty.
// Nothing when the reading is absent or the cell count is needed and not
// known. A rough display value, never a shutdown trigger.
std::optional<double> estimate_charge(const Status &status,
                                      std::optional<double> nominal_battery_voltage,
                                      BatteryRange range);

// The delay of the switch-off as S takes it: tenths of a minute, the seconds
// over 6 rounded up, written ".t" (at least ".2") below a minute; from a
// minute on, whole minutes rounded up as two digits, at most "10".
struct DelayText {
  std::string text;
  bool clamped = false;  // the delay was longer than 10 minutes
};
DelayText delay_text(long seconds);

// The minutes the UPS stays off, four digits. Below 3 is sent as 3: early
// firmware may stay off for good after R0001 or R0002.
inline constexpr long shortest_restart = 3;
inline constexpr long longest_restart = 9999;
std::string restart_text(long minutes);

// The whole switch-off command: "S<delay>R<restart>\r", e.g. "S.5R0003\r".
std::string switch_off_command(long delay_seconds, long restart_minutes);

// The self-test status text after a T: "IP" while the test runs, then "NG"
// when the UPS reports itself failed, else "OK".
const char *self_test_result(const Status &status);

}  // namespace tornax::qx

#endif  // TORNAX_DAEMON_UPS_QX_PROTOCOL_H
