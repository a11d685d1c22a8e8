#include "daemon/ups/qx.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "daemon/core/clock.h"
#include "daemon/report/logger.h"
#include "daemon/ups/line.h"
#include "daemon/ups/qx_protocol.h"
#include "tornax.h"

namespace tornax {
namespace {

// Room for the longest reply and a little more: a reply longer than its
// query's is read whole up to its CR and then refused, rather than cut to a
// length that might pass.
constexpr std::size_t read_limit = 64;

// What identify learnt and what the last status told; reset() forgets it.
struct QxState {
  std::optional<double> nominal_battery_voltage;  // from F, for the charge estimate
  qx::EventMapper events;
  // The readings the last well-formed status filled with "@": the surfaces
  // leave them out rather than show a zero.
  unsigned absent = 0;
};

QxState state;

// One exchange: discard what waits (nothing sent before the query is its
// answer), send, read up to the first CR. Returns the bytes of the reply in
// `reply` and the read's result: > 0 something came, 0 nothing, < 0 the line
// failed (a failed write counts as a failed line too: nothing was asked).
ssize_t exchange(int fd, std::string_view query, std::string &reply) {
  reply.clear();
  tcflush(fd, TCIFLUSH);
  if (write_all(fd, query.data(), query.size()) < 0) {
    std::perror("qx: write() fail");
    return -1;
  }
  char buf[read_limit];
  const ssize_t n = read_reply(fd, buf, sizeof buf, '\r');
  if (n < 0) {
    std::perror("qx: read() fail");
    return n;
  }
  const void *cr = std::memchr(buf, '\r', static_cast<std::size_t>(n));
  const std::size_t length = cr != nullptr
                                 ? static_cast<std::size_t>(static_cast<const char *>(cr) - buf) + 1
                                 : static_cast<std::size_t>(n);
  reply.assign(buf, length);
  return static_cast<ssize_t>(length);
}

// Asks for the status; the result as a poll counts it: the reply's length
// when it was well formed, 0 when nothing or something malformed came, < 0
// when the line failed.
int ask_status(int fd, std::optional<qx::Status> &status) {
  std::string reply;
  const ssize_t n = exchange(fd, qx::status_query, reply);
  if (n <= 0) {
    return static_cast<int>(n);
  }
  status = qx::parse_status(reply);
  if (!status) {
    return 0;
  }
  note_reply_accepted();
  return static_cast<int>(n);
}

void copy_text(char *target, std::size_t size, const std::string &text) {
  std::snprintf(target, size, "%s", text.c_str());
}

void qx_identify(int fd) {
  std::string reply;
  ups_version[0] = '\0';
  ups_mfr.clear();
  ups_linenormal = 0.0f;
  state.nominal_battery_voltage.reset();
  if (exchange(fd, qx::identity_query, reply) > 0) {
    if (const std::optional<qx::Identity> identity = qx::parse_identity(reply)) {
      note_reply_accepted();
      copy_text(ups_version, sizeof ups_version, identity->model);
      ups_mfr = identity->manufacturer;
    }
  }
  if (exchange(fd, qx::ratings_query, reply) > 0) {
    if (const std::optional<qx::Ratings> ratings = qx::parse_ratings(reply)) {
      note_reply_accepted();
      ups_linenormal = static_cast<float>(ratings->voltage.value_or(0.0));
      state.nominal_battery_voltage = ratings->battery_voltage;
    }
  }
}

// An absent reading is 0, and the temperature -1 (what the daemon holds for
// one no UPS reported).
float reading(const std::optional<double> &value, unsigned lack, unsigned &absent,
              float missing = 0.0f) {
  if (!value) {
    absent |= lack;
    return missing;
  }
  return static_cast<float>(*value);
}

void take_readings(const qx::Status &status) {
  unsigned absent = 0;
  unsigned unflagged = 0;  // readings no lack stands for
  ups_linevoltage = reading(status.input_voltage, 0, unflagged);
  ups_invvoltage = reading(status.output_voltage, lacks_inverter_voltage, absent);
  ups_percentloadpower = reading(status.load_percent, 0, unflagged);
  ups_freq = reading(status.frequency, lacks_frequency, absent);
  ups_temp = reading(status.temperature, lacks_temperature, absent, -1.0f);
  const qx::BatteryRange range{settings.battery_voltage_low, settings.battery_voltage_high};
  ups_percentbatt = static_cast<float>(
      qx::estimate_charge(status, state.nominal_battery_voltage, range).value_or(0.0));
  ups_loadcurrent = 0.0f;
  ups_backuptime = 0.0f;
  state.absent = absent;
}

// Only answered cycles are mapped. The estimated charge is not handed to the
// thresholds: a battery's voltage under load says too little to halt a host
// on, while the battery-low bit is the UPS's own judgement.
void qx_poll(int fd, UpsPoll &poll) {
  std::optional<qx::Status> status;
  poll.result = ask_status(fd, status);
  if (!status) {
    return;
  }
  take_readings(*status);
  const qx::Marks marks = state.events.map(*status);
  if (marks.power_back) {
    poll.add_mark(UpsMark::power_back);
  }
  if (marks.power_fail) {
    poll.add_mark(UpsMark::power_fail);
  }
  if (marks.low_battery) {
    poll.add_mark(UpsMark::low_battery);
  }
  if (marks.low_battery_on_mains) {
    writelog("UPS reports battery low while on mains (a self-test?); nothing is shut down");
  }
}

// The sleep is the scheduled time, or after a power fail RESTART_SLEEP: the
// UPS then comes back once that time is over and the mains are present, so a
// host halted in a power race (mains back before the switch-off) boots again.
long qx_switch_off(int fd, const SwitchOffRequest &request) {
  const long minutes = request.sleep_minutes != 0 ? request.sleep_minutes : request.restart_minutes;
  const std::string command = qx::switch_off_command(request.delay_seconds, minutes);
  if (write_all(fd, command.data(), command.size()) < 0) {
    std::perror("qx: write(switch-off) fail");
  }
  // The host halts next: the bytes must have left the line by then.
  tcdrain(fd);
  return std::clamp(minutes, qx::shortest_restart, qx::longest_restart);
}

int qx_self_test(int fd) {
  tcflush(fd, TCIFLUSH);
  if (write_all(fd, qx::self_test_command.data(), qx::self_test_command.size()) < 0) {
    std::perror("qx: write(self-test) fail");
  }
  sleep_full(qx_self_test_seconds);
  std::optional<qx::Status> status;
  const int result = ask_status(fd, status);
  if (status) {
    copy_text(ups_teststatus, ups_teststatus_size, qx::self_test_result(*status));
    copy_text(ups_test_result, ups_teststatus_size, ups_teststatus);
  }
  return result;
}

unsigned qx_lacks() {
  return lacks_runtime | lacks_load_current | charge_estimated | state.absent;
}

void qx_reset() {
  state = QxState{};
}

int qx_open(const char *device_filename) {
  return open_line(device_filename, B2400);
}

const UpsDriver driver{
    "qx", qx_open, qx_identify, qx_poll, qx_switch_off, qx_self_test, qx_lacks, qx_reset,
};

}  // namespace

const UpsDriver &qx_driver() {
  return driver;
}

}  // namespace tornax
