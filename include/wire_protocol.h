// The status stream's facts, stated once for every program that speaks or
// reads it: the daemon's status server, tornaxalert, the benchmark's probes
// and the tests (scripts/demo reads the status bits from this file).
//
// A connection opens with a three-line header (the greeting, the UPS's
// identification, the site between double quotes or "NA"), then one status
// line a second of eleven blank-separated fields in the order of
// `status_field`. A server at its limit sends the refusal line instead of the
// greeting and closes. A client holding the stream's key may first send a
// hello (common/status_auth.h); the stream is then tagged line by line.
#ifndef TORNAX_WIRE_PROTOCOL_H
#define TORNAX_WIRE_PROTOCOL_H

#include <array>
#include <cstddef>
#include <string_view>

namespace tornax {

inline constexpr int default_port = 4004;

inline constexpr const char *greeting_line = "TN0100\n";
// A client takes any first line that begins with these characters of the
// greeting as the greeting, so a later minor revision still connects.
inline constexpr std::size_t greeting_match = 4;
// The greeting, the identification and the site: the lines before the first
// status line.
inline constexpr int header_line_count = 3;

// What a server at its limit sends instead of the greeting, without and with
// its line end.
inline constexpr const char *refusal_text = "Max client reach.Try again later";
inline constexpr const char *refusal_line = "Max client reach.Try again later\n";
static_assert(std::string_view(refusal_line).substr(0, std::string_view(refusal_text).size()) ==
                  refusal_text &&
              std::string_view(refusal_line).size() == std::string_view(refusal_text).size() + 1);

// Every line the server sends fits a buffer of this size, its line end
// included (at most 99 characters).
inline constexpr std::size_t line_buffer_size = 100;

// Bits of the status word, the first field of a status line (hexadecimal).
inline constexpr unsigned short ext_comm_error = 0x01;
inline constexpr unsigned short ext_powerfail = 0x02;
inline constexpr unsigned short ext_overload = 0x04;
inline constexpr unsigned short ext_lowbatt = 0x08;
inline constexpr unsigned short ext_testing = 0x10;
inline constexpr unsigned short ext_schedule_down = 0x20;

// The fields of a status line, in the order they stand.
enum status_field : int {
  field_status_word = 0,   // %x: the bits above
  field_linevoltage,       // %.1f volts
  field_invvoltage,        // %.1f volts
  field_percentbatt,       // %.0f percent
  field_percentloadpower,  // %.0f percent
  field_freq,              // %.1f Hz
  field_loadcurrent,       // %.1f A
  field_remain_time,       // %d minutes before the daemon's power-fail shutdown
  field_temp,              // %.0f, -1: never measured
  field_teststatus,        // %s: one token, "NA" when there is no self-test result
  field_schedule_minutes,  // %d minutes to a scheduled shutdown, -1 none
};
inline constexpr int status_field_count = 11;

// The UPS's measurements a status line carries (fields 2 to 7), as the
// daemon sends them and a client keeps them.
struct StatusMeasurements {
  float linevoltage = 0;
  float invvoltage = 0;
  float percentbatt = 0;
  float percentloadpower = 0;
  float freq = 0;
  float loadcurrent = 0;
};

// The status line's layout, a macro so that the compiler checks every
// snprintf that uses it against its arguments.
#define TORNAX_STATUS_LINE_FORMAT "%x %.1f %.1f %.0f %.0f %.1f %.1f %d %.0f %s %d\n"

// A scheduled shutdown's countdown runs this many cycles (seconds) once the
// schedule says the host goes down.
inline constexpr long schedule_countdown = 600;

// Minutes to the scheduled shutdown as clients are told: (600 - timer) / 60
// while a countdown runs (timer 1..600), -1 when none does (timer 0).
constexpr int schedule_minutes(long schedule_down_timer) {
  if (schedule_down_timer == 0) {
    return -1;
  }
  const long timer = schedule_down_timer < 1                    ? 1
                     : schedule_down_timer > schedule_countdown ? schedule_countdown
                                                                : schedule_down_timer;
  return static_cast<int>((schedule_countdown - timer) / 60);
}

// ---- The authenticated stream ------------------------------------------------

// The secret that authenticates the stream (STATUS_KEY, tornaxalert -k).
inline constexpr std::size_t status_key_size = 32;
using StatusKey = std::array<unsigned char, status_key_size>;

// A hello, either way: this word, then the sender's nonce in hexadecimal.
inline constexpr std::string_view auth_hello_word = "AUTH1 ";
inline constexpr std::size_t auth_nonce_size = 16;

// A tagged line carries its content cut to this many characters.
inline constexpr std::size_t auth_content_limit = line_buffer_size - 2;
// Room for the longest tagged line and its line end: the content, a blank, a
// sequence number of up to 20 digits, a blank, the tag in 64 hex digits.
inline constexpr std::size_t auth_line_size = auth_content_limit + 1 + 20 + 1 + 64 + 1;

}  // namespace tornax

#endif  // TORNAX_WIRE_PROTOCOL_H
