// Fuzzes what the HTTP endpoint's handler takes from outside: the method and
// the path of a request (the library has parsed the rest), and the texts and
// numbers that come from the UPS and the configuration into the three
// documents. The input is lines: method, path, identification, location,
// self-test status; then whatever bytes remain fill the measurements and the
// event slots.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/net/http_render.h"
#include "daemon/net/http_server.h"
#include "fuzz/harness.h"

using namespace tornax;

namespace {

std::string_view next_line(std::string_view &input) {
  const std::size_t end = std::min(input.find('\n'), input.size());
  const std::string_view line = input.substr(0, end);
  input.remove_prefix(std::min(end + 1, input.size()));
  return line;
}

template <typename T>
void take_bytes(std::string_view &input, T &value) {
  if (input.size() >= sizeof value) {
    std::memcpy(&value, input.data(), sizeof value);
    input.remove_prefix(sizeof value);
  }
}

CycleFacts facts_from(std::string_view &input) {
  CycleFacts facts;
  facts.cycled = true;
  facts.ups_version = std::string(next_line(input));
  facts.location = std::string(next_line(input));
  const std::string_view status = next_line(input).substr(0, 3);
  std::memcpy(facts.values.teststatus, status.data(), status.size());
  for (float *value : {&facts.values.linevoltage, &facts.values.invvoltage,
                       &facts.values.percentbatt, &facts.values.percentloadpower,
                       &facts.values.freq, &facts.values.loadcurrent, &facts.backuptime}) {
    take_bytes(input, *value);
  }
  take_bytes(input, facts.values.schedule_down_timer);
  take_bytes(input, facts.powerfail_timeout);
  take_bytes(input, facts.status);
  return facts;
}

// The same facts with every outside text made plain: the documents' markup
// must not depend on what those texts hold.
CycleFacts plain_texts(CycleFacts facts) {
  facts.ups_version = "x";
  facts.location = "x";
  std::strcpy(facts.values.teststatus, "x");
  return facts;
}

bool valid_utf8(const std::string &text) {
  try {
    (void)nlohmann::json(text).dump();  // strict: throws on a malformed sequence
    return true;
  } catch (const nlohmann::json::exception &) {
    return false;
  }
}

bool is_metric_value(std::string_view value) {
  if (value == "+Inf" || value == "-Inf" || value == "NaN") {
    return true;
  }
  const std::string text(value);
  char *end = nullptr;
  std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size();
}

// A sample line: a name, labels with quoted values (\\, \" and nothing else
// escaped), a space, a value.
bool is_sample(std::string_view line) {
  std::size_t at = line.find_first_of("{ ");
  if (at == 0 || at == std::string_view::npos) {
    return false;
  }
  if (line[at] == '{') {
    bool quoted = false;
    for (++at; at < line.size() && (quoted || line[at] != '}'); ++at) {
      if (quoted && line[at] == '\\') {
        if (++at >= line.size() || (line[at] != '\\' && line[at] != '"'))
          return false;
      } else if (line[at] == '"') {
        quoted = !quoted;
      }
    }
    if (at + 1 >= line.size() || line[at + 1] != ' ')
      return false;
    ++at;
  }
  return is_metric_value(line.substr(at + 1));
}

void check_metrics(const std::string &text) {
  fuzz::require(valid_utf8(text), "the metrics are UTF-8");
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::string_view line = next_line(rest);
    fuzz::require(line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0 || is_sample(line),
                  "every metrics line is a comment or a well-formed sample");
  }
}

std::size_t count(const std::string &text, char c) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

void check_documents(const CycleFacts &facts) {
  const LiveFacts live{0, 1, false};
  check_metrics(render_metrics(facts, live));
  const std::string json = render_status_json(facts, live);
  const nlohmann::json status = nlohmann::json::parse(json, nullptr, false);
  fuzz::require(!status.is_discarded(), "/status parses as JSON");
  fuzz::require(status["ups"]["location"] == clean_text(*facts.location),
                "/status carries the location as text");
  const std::string page = render_status_page(facts, live);
  const std::string plain = render_status_page(plain_texts(facts), live);
  fuzz::require(valid_utf8(page), "the page is UTF-8");
  fuzz::require(count(page, '<') == count(plain, '<') && count(page, '>') == count(plain, '>'),
                "no outside text adds markup to the page");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char *>(data), size);
  const std::string method(next_line(input));
  const std::string path(next_line(input));
  const CycleFacts facts = facts_from(input);

  const HttpAnswer answer = answer_request(method, path, facts, {});
  const bool served = (method == "GET" || method == "HEAD") &&
                      (path == "/" || path == "/metrics" || path == "/status");
  fuzz::require((answer.status == 200) == served, "only GET and HEAD of the three paths succeed");
  fuzz::require(answer.status == 200 || answer.status == 404 || answer.status == 405,
                "every other request is refused as not found or not allowed");
  check_documents(facts);
  return 0;
}
