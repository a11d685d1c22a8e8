// Every member of a Settings as text, to tell whether a reading changed any
// of them. Header-only and free of the test framework, so the fuzzing
// harnesses use it too.
#ifndef TORNAX_TESTS_SUPPORT_SETTINGS_TEXT_H
#define TORNAX_TESTS_SUPPORT_SETTINGS_TEXT_H

#include <optional>
#include <sstream>
#include <string>

#include "tornax.h"

namespace tornax::test {

inline std::string settings_text(const Settings &s) {
  std::ostringstream out;
  const auto time = [&out](const struct tm &t) {
    out << t.tm_mday << '/' << t.tm_mon << '/' << t.tm_year << ' ' << t.tm_hour << ':' << t.tm_min
        << '#' << t.tm_wday << ' ';
  };
  const auto text = [&out](const std::optional<std::string> &t) { out << (t ? *t : "-") << '|'; };
  for (int i = 0; i < event_count; ++i) {
    out << s.alert[i].who << ',' << s.alert[i].interval << ',' << s.alert[i].message << ','
        << s.alert[i].found << ';' << s.log_control[i].enable << s.log_control[i].found << ';'
        << s.pager[i].enable << s.pager[i].message << '\n';
  }
  text(s.modem_filename), text(s.ups_filename), text(s.wall_cmd), text(s.ups_location);
  out << s.turnoff_ups << ' ' << s.logsize << ' ' << s.powerfail_timeout << ' ' << s.silent_shutdown
      << ' ' << s.adapter_type << ' ' << s.ups_shutdown_delay << ' ' << s.port << ' '
      << s.max_client << ' ' << s.shutdown_schedule_mode << ' ' << s.num_shutdown_schedule << ' '
      << s.num_test_schedule << '\n';
  const auto address = [&out](const IpAddress &a) {
    out << a.family << '/' << a.scope_id << ':';
    for (unsigned char byte : a.bytes) {
      out << static_cast<int>(byte) << '.';
    }
    out << ' ';
  };
  for (const IpAddress &a : s.listen) {
    address(a);
  }
  for (const IpNetwork &n : s.allow) {
    address(n.address);
    out << '/' << n.prefix << ' ';
  }
  text(s.status_key_file);
  out << s.max_client_per_host << ' ' << s.http_port << ' ';
  if (s.status_key) {
    for (unsigned char byte : *s.status_key) {
      out << static_cast<int>(byte) << '.';
    }
  }
  out << '\n';
  for (int i = 0; i < max_schedule_entries; ++i) {
    time(s.shutdown_schedule_list[i].downtime), time(s.shutdown_schedule_list[i].uptime);
    time(s.test_schedule_list[i].time);
    out << s.test_schedule_list[i].executed << '\n';
  }
  time(s.schedule_apply.begin), time(s.schedule_apply.end);
  return out.str();
}

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_SETTINGS_TEXT_H
