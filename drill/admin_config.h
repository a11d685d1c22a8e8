// The administrator's configuration as the daemon reads it, from the
// document of `tornax -t --json`, and the drill's copy of it: the same file
// less the statements the drill replaces (found where the daemon's own parser
// says they stand), plus the drill's statements. Nothing here parses the
// configuration's language or the summary's wording.
#ifndef TORNAX_DRILL_ADMIN_CONFIG_H
#define TORNAX_DRILL_ADMIN_CONFIG_H

#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tornax::drill {

struct Hook {
  std::string event;  // "POWERFAIL"
  std::string path;
  std::optional<std::string> refusal;  // why the daemon would not run it
};

class AdminConfig {
 public:
  // Throws Failure (status 2) for a text that is no such document.
  explicit AdminConfig(const std::string &json_text);

  // The summary row `what` of `tornax -t` ("BACKUPTIME"), as the daemon words it.
  std::string row(const std::string &what) const;
  // A member by its JSON pointer ("/network/nut_server/port").
  const nlohmann::json &at(const char *pointer) const;
  int number(const char *pointer) const { return at(pointer).get<int>(); }
  bool yes(const char *pointer) const { return at(pointer).get<bool>(); }
  std::optional<std::string> text(const char *pointer) const;

  // The UPS protocol can't tell `reading` ("runtime", "temperature"...).
  bool lacks(const std::string &reading) const;
  bool status_server_on() const { return number("/network/status_server/max_client") != 0; }
  bool nut_server_on() const { return number("/network/nut_server/port") != 0; }
  // Some event is paged; and there is a modem to page through.
  bool pages_configured() const;
  bool pages_possible() const { return pages_configured() && text("/modem_device").has_value(); }
  // The event's settings, by its name ("POWERFAIL").
  const nlohmann::json &event(const std::string &name) const;
  std::vector<std::string> event_names() const;
  std::vector<Hook> hooks() const;

  // The rows a faithful copy must share with the original, with the parts
  // the drill replaces on purpose (ports, the modem's path) left out; rows
  // named in `skipped` are not compared.
  std::vector<std::pair<std::string, std::string>> compared_rows(
      const std::set<std::string> &skipped) const;

  // `original` (the file this document was read from) without the lines of
  // the statements whose keyword is in `dropped`.
  std::string without_statements(const std::string &original,
                                 const std::set<std::string> &dropped) const;

 private:
  nlohmann::json doc_;
};

// The keyword of a statement: its first word.
std::string keyword_of(const std::string &statement);

}  // namespace tornax::drill

#endif  // TORNAX_DRILL_ADMIN_CONFIG_H
