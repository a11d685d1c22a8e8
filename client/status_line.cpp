#include "client/status_line.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "wire_protocol.h"

namespace tornax {

namespace {

// Reads conversions the way the formatted-input functions do (each skips
// leading blanks; a field that does not convert ends the scan), but never
// stores a value that doesn't fit its target.
class FieldScanner {
 public:
  explicit FieldScanner(const char *line) : next_(line) {}

  bool hex(unsigned int &out) {
    const char *start = skip_blanks();
    char *end = nullptr;
    const unsigned long value = std::strtoul(start, &end, 16);
    if (end == start) {
      return false;
    }
    // Like a plain conversion into 32 bits: the low bits, which carry the flags.
    out = static_cast<unsigned int>(value);
    next_ = end;
    return true;
  }

  bool decimal(int &out) {
    const char *start = skip_blanks();
    char *end = nullptr;
    const long value = std::strtol(start, &end, 10);
    if (end == start) {
      return false;
    }
    out = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
    next_ = end;
    return true;
  }

  bool real(float &out) {
    const char *start = skip_blanks();
    char *end = nullptr;
    const float value = std::strtof(start, &end);
    if (end == start) {
      return false;
    }
    out = value;
    next_ = end;
    return true;
  }

  // One word: its first size - 1 characters are kept, the rest is skipped.
  bool word(char *out, std::size_t size) {
    const char *start = skip_blanks();
    std::size_t length = 0;
    while (start[length] != '\0' && !std::isspace(static_cast<unsigned char>(start[length]))) {
      ++length;
    }
    if (length == 0) {
      return false;
    }
    const std::size_t kept = length < size - 1 ? length : size - 1;
    std::memcpy(out, start, kept);
    out[kept] = '\0';
    next_ = start + length;
    return true;
  }

 private:
  const char *skip_blanks() {
    while (std::isspace(static_cast<unsigned char>(*next_))) {
      ++next_;
    }
    return next_;
  }

  const char *next_;
};

}  // namespace

int parse_status_line(const char *line, RemoteValues &values) {
  FieldScanner scan(line);
  const std::function<bool()> fields[] = {
      [&] { return scan.hex(values.remote_status); },
      [&] { return scan.real(values.linevoltage); },
      [&] { return scan.real(values.invvoltage); },
      [&] { return scan.real(values.percentbatt); },
      [&] { return scan.real(values.percentloadpower); },
      [&] { return scan.real(values.freq); },
      [&] { return scan.real(values.loadcurrent); },
      [&] { return scan.decimal(values.server_backuptime); },
      [&] { return scan.real(values.temp); },
      [&] { return scan.word(values.teststatus, sizeof values.teststatus); },
      [&] { return scan.decimal(values.schedule_time); },
  };
  static_assert(std::size(fields) == status_field_count);
  int converted = 0;
  for (const auto &field : fields) {
    if (!field()) {
      break;
    }
    ++converted;
  }
  return converted;
}

}  // namespace tornax
