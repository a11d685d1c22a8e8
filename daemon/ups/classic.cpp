#include "daemon/ups/classic.h"

#include <climits>
#include <cstring>

#include "daemon/ups/ups.h"
#include "tornax.h"

namespace tornax {
namespace {

ClassicQuirks quirks;

// The eight queries of a cycle, each only if the one before was answered.
// Returns the last query's result: positive when the whole chain was
// answered. The readings the thresholds follow are noted in `fresh` only
// when their reply was well formed: an unanswered query stores 0, which is
// no reading of an empty battery.
int run_chain(int fd, FreshReadings &fresh) {
  using Query = int (*)(int, float *);
  static const struct {
    Query query;
    float *target;
  } chain[] = {
      {get_linevoltage, &ups_linevoltage},
      {get_invvoltage, &ups_invvoltage},
      {get_percentbatt, &ups_percentbatt},
      {get_percentloadpower, &ups_percentloadpower},
      {get_freq, &ups_freq},
      {get_loadcurrent, &ups_loadcurrent},
      {get_backuptime, &ups_backuptime},
  };
  for (const auto &step : chain) {
    const int byte_read = step.query(fd, step.target);
    if (byte_read <= 0) {
      return byte_read;
    }
    if (step.target == &ups_percentbatt) {
      fresh.charge_percent = ups_percentbatt;
    } else if (step.target == &ups_backuptime) {
      fresh.runtime_minutes = ups_backuptime;
    }
  }
  return get_upsteststatus(fd, ups_teststatus);
}

// For one model family the inverter voltage shown is the line voltage while
// that is within its normal window, and a line reading of 50 V or less is 0.
void correct_voltages() {
  if (quirks.voltage_correction_enable != 1) {
    return;
  }
  if (quirks.lower_correction <= ups_linevoltage && ups_linevoltage <= quirks.upper_correction) {
    ups_invvoltage = ups_linevoltage;
  }
  if (ups_linevoltage <= quirks.zero_correction) {
    ups_linevoltage = 0.0f;
  }
}

// The prefix queue holds the marks of every reply since the last poll (the
// identification's and a self-test's too): "!" and "@" power fail, "$" power
// back, "*" low battery; a blank means nothing.
void take_marks(UpsPoll &poll) {
  for (int i = 1; i <= last_prefixqueue && i < prefixqueue_size; ++i) {
    switch (prefixqueue[i]) {
      case '!':
      case '@':
        poll.add_mark(UpsMark::power_fail);
        break;
      case '$':
        poll.add_mark(UpsMark::power_back);
        break;
      case '*':
        poll.add_mark(UpsMark::low_battery);
        break;
      default:
        break;
    }
  }
  last_prefixqueue = 0;
}

void classic_identify(int fd) {
  get_version(fd, ups_version);
  get_linenormal(fd, &ups_linenormal);
  const std::size_t length = strnlen(ups_version, ups_version_size);
  quirks.family = length > 8 ? std::string(ups_version + 8, length - 8) : std::string();
  if (quirks.family.compare(0, 5, "Kyrel") == 0) {
    quirks.voltage_correction_enable = 1;
    quirks.sleep_time_multiplier = 0.97f;
  } else {
    quirks.voltage_correction_enable = 0;
    quirks.sleep_time_multiplier = 0.993f;
  }
  quirks.zero_correction = 50.0f;
  quirks.lower_correction = ups_linenormal * 91.0f / 100.0f;
  quirks.upper_correction = ups_linenormal * 109.0f / 100.0f;
}

void classic_poll(int fd, UpsPoll &poll) {
  poll.result = run_chain(fd, poll.fresh);
  correct_voltages();
  take_marks(poll);
}

long classic_switch_off(int fd, const SwitchOffRequest &request) {
  const long sleep = request.sleep_corrected ? request.sleep_minutes
                                             : corrected_sleep_time(request.sleep_minutes,
                                                                    quirks.sleep_time_multiplier);
  return switch_off_ups(fd, {request.delay_seconds, static_cast<int>(sleep),
                             static_cast<int>(request.restart_minutes)});
}

int classic_self_test(int fd) {
  return ups_test(fd, ups_teststatus);
}

unsigned classic_lacks() {
  return lacks_temperature;
}

void classic_reset() {
  quirks = ClassicQuirks{};
}

const UpsDriver driver{
    "classic",          openport,          classic_identify, classic_poll,
    classic_switch_off, classic_self_test, classic_lacks,    classic_reset,
};

}  // namespace

const UpsDriver &classic_driver() {
  return driver;
}

ClassicQuirks &classic_quirks() {
  return quirks;
}

long corrected_sleep_time(long ups_sleep_time, float multiplier) {
  const double product = static_cast<double>(ups_sleep_time) * static_cast<double>(multiplier);
  // Also keeps a NaN or an out-of-range product from reaching the conversion.
  if (!(product > static_cast<double>(INT_MIN))) {
    return INT_MIN;
  }
  if (!(product < static_cast<double>(INT_MAX))) {
    return INT_MAX;
  }
  return static_cast<long>(product);
}

}  // namespace tornax
