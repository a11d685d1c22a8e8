#include "daemon/ups/driver.h"

#include <iterator>
#include <string>

#include "daemon/ups/classic.h"
#include "daemon/ups/qx.h"

namespace tornax {
namespace {

// Every driver, one row each; the first is the default.
using DriverEntry = const UpsDriver &(*)();
constexpr DriverEntry driver_table[] = {
    classic_driver,
    qx_driver,
};

const UpsDriver *in_use = nullptr;

}  // namespace

const UpsDriver *find_ups_driver(std::string_view name) {
  for (const DriverEntry entry : driver_table) {
    if (name == entry().name) {
      return &entry();
    }
  }
  return nullptr;
}

std::size_t ups_driver_count() {
  return std::size(driver_table);
}

const UpsDriver &ups_driver_at(std::size_t index) {
  return driver_table[index]();
}

const char *ups_driver_names() {
  static const std::string names = [] {
    std::string text;
    for (const DriverEntry entry : driver_table) {
      text += (text.empty() ? "" : ", ") + std::string(entry().name);
    }
    return text;
  }();
  return names.c_str();
}

const UpsDriver &ups_driver() {
  return in_use != nullptr ? *in_use : driver_table[0]();
}

void use_ups_driver(const UpsDriver &driver) {
  in_use = &driver;
}

void reset_ups_drivers() {
  for (const DriverEntry entry : driver_table) {
    entry().reset();
  }
  in_use = nullptr;
}

bool ups_lacks(UpsLack lack) {
  return (ups_driver().lacks() & lack) != 0;
}

}  // namespace tornax
