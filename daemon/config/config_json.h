// `tornax -t --json`: the configuration as the daemon reads it, as one JSON
// document for programs (tornax-drill, an administrator's tooling). The plain
// summary's rows are in it too, under "summary", so a program can show the
// daemon's own words without parsing them.
#ifndef TORNAX_DAEMON_CONFIG_CONFIG_JSON_H
#define TORNAX_DAEMON_CONFIG_CONFIG_JSON_H

#include <ctime>
#include <nlohmann/json.hpp>
#include <vector>

#include "daemon/config/config_read.h"
#include "tornax.h"

namespace tornax {

// The document for `config` as read from a file whose statements stood at
// `statements`, with the schedules' next dates judged from `now`. One member
// per field of `json_fields` in config_json.cpp: a new setting is one field
// (or one member of a field) more. Times are seconds, dates seconds since
// the epoch, texts never set are null. Passwords are left out.
nlohmann::ordered_json configuration_json(const Settings &config, std::time_t now,
                                          const std::vector<StatementPlace> &statements);

}  // namespace tornax

#endif  // TORNAX_DAEMON_CONFIG_CONFIG_JSON_H
