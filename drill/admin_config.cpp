#include "drill/admin_config.h"

#include <algorithm>

#include "drill/text.h"

namespace tornax::drill {

using nlohmann::json;

AdminConfig::AdminConfig(const std::string &json_text) {
  doc_ = json::parse(json_text, nullptr, false);
  if (!doc_.is_object() || !doc_.contains("summary") || !doc_.contains("statements")) {
    throw Failure(2, "tornax -t --json gave no configuration document");
  }
}

const json &AdminConfig::at(const char *pointer) const {
  const json::json_pointer where(pointer);
  if (!doc_.contains(where)) {
    throw Failure(2, std::string("tornax -t --json has no ") + pointer);
  }
  return doc_.at(where);
}

std::string AdminConfig::row(const std::string &what) const {
  const json &summary = doc_.at("summary");
  return summary.contains(what) ? summary.at(what).get<std::string>() : "";
}

std::optional<std::string> AdminConfig::text(const char *pointer) const {
  const json &value = at(pointer);
  return value.is_string() ? std::optional<std::string>(value.get<std::string>()) : std::nullopt;
}

bool AdminConfig::lacks(const std::string &reading) const {
  const json &lacked = at("/ups/lacks");
  return std::find(lacked.begin(), lacked.end(), reading) != lacked.end();
}

const json &AdminConfig::event(const std::string &name) const {
  for (const json &e : at("/events")) {
    if (e.at("name") == name) {
      return e;
    }
  }
  throw Failure(2, "tornax -t --json has no event " + name);
}

std::vector<std::string> AdminConfig::event_names() const {
  std::vector<std::string> names;
  for (const json &e : at("/events")) {
    names.push_back(e.at("name").get<std::string>());
  }
  return names;
}

bool AdminConfig::pages_configured() const {
  for (const json &e : at("/events")) {
    if (e.at("page").at("enabled").get<bool>()) {
      return true;
    }
  }
  return false;
}

std::vector<Hook> AdminConfig::hooks() const {
  std::vector<Hook> hooks;
  for (const json &e : at("/events")) {
    const json &hook = e.at("hook");
    if (hook.is_object()) {
      const json &refusal = hook.at("refusal");
      hooks.push_back(
          {e.at("name").get<std::string>(), hook.at("path").get<std::string>(),
           refusal.is_string() ? std::optional(refusal.get<std::string>()) : std::nullopt});
    }
  }
  return hooks;
}

std::vector<std::pair<std::string, std::string>> AdminConfig::compared_rows(
    const std::set<std::string> &skipped) const {
  std::string paged;
  for (const json &e : at("/events")) {
    if (e.at("page").at("enabled").get<bool>()) {
      paged += (paged.empty() ? "" : ", ") + e.at("name").get<std::string>();
    }
  }
  const json &nut = at("/network/nut_server");
  const int clients = number("/network/status_server/max_client");
  std::vector<std::pair<std::string, std::string>> rows = {
      {"UPS switch-off", row("UPS switch-off")},
      {"Alerted", row("Alerted")},
      {"Logged", row("Logged")},
      {"Paged", (paged.empty() ? "none" : paged) +
                    (pages_configured() && !pages_possible() ? ", no MODEM_DEVICE" : "")},
      {"BACKUPTIME", row("BACKUPTIME")},
      {"SILENT_SHUTDOWN", row("SILENT_SHUTDOWN")},
      {"SHUTDOWN_RUNTIME", row("SHUTDOWN_RUNTIME")},
      {"SHUTDOWN_CHARGE", row("SHUTDOWN_CHARGE")},
      {"Next scheduled shutdown", row("Next scheduled shutdown")},
      {"Next self-test", row("Next self-test")},
      {"Status server", clients == 0 ? "off" : "at most " + std::to_string(clients) + " clients"},
      {"Status key", row("Status key")},
      {"Network UPS server", !nut_server_on()
                                 ? "off"
                                 : "UPS " + nut.at("ups_name").get<std::string>() + ", at most " +
                                       nut.at("max_client").dump() + " clients, " +
                                       std::to_string(nut.at("users").size()) +
                                       " accounts, waits " + nut.at("hostsync_s").dump() + " s"},
  };
  std::erase_if(rows, [&](const auto &r) { return skipped.count(r.first) != 0; });
  return rows;
}

std::string AdminConfig::without_statements(const std::string &original,
                                            const std::set<std::string> &dropped) const {
  std::set<int> lines;
  for (const json &place : at("/statements")) {
    if (dropped.count(place.at("keyword").get<std::string>()) != 0) {
      for (int n = place.at("first_line"); n <= place.at("last_line").get<int>(); ++n) {
        lines.insert(n);
      }
    }
  }
  std::string copy;
  int n = 0;
  for (const std::string &line : lines_of(original)) {
    if (lines.count(++n) == 0) {
      copy += line + "\n";
    }
  }
  return copy;
}

std::string keyword_of(const std::string &statement) {
  const std::size_t start = statement.find_first_not_of(" \t");
  if (start == std::string::npos) {
    return "";
  }
  return statement.substr(start, statement.find_first_of(" \t", start) - start);
}

}  // namespace tornax::drill
