// The HTTP endpoint's three documents, made from the facts of the last cycle:
// the Prometheus text format (/metrics), one JSON object (/status) and a
// status page (/) with charts of the last hours, which updates itself in
// place (or, without JavaScript, reloads). Pure functions: no clock, no lock.
//
// Every text that comes from the UPS or the configuration (identification,
// location, self-test status) is first made valid UTF-8 without control
// characters, then escaped for the format it goes into, so no reply of a UPS
// and no configuration can break a scrape, a JSON parser or the page.
#ifndef TORNAX_DAEMON_NET_HTTP_RENDER_H
#define TORNAX_DAEMON_NET_HTTP_RENDER_H

#include <ctime>
#include <string>
#include <string_view>

#include "daemon/core/cycle_facts.h"

namespace tornax {

// Seconds between two updates of the status page.
inline constexpr int status_page_refresh_seconds = 5;

// What is read at the moment of the request rather than from the cycle.
struct LiveFacts {
  std::time_t now = 0;
  int status_clients = 0;  // connections the status server serves
  bool self_test = false;  // a scheduled self-test holds the cycle
  int nut_clients = 0;     // connections the network UPS server serves
};

std::string render_metrics(const CycleFacts &facts, const LiveFacts &live);
std::string render_status_json(const CycleFacts &facts, const LiveFacts &live);
std::string render_status_page(const CycleFacts &facts, const LiveFacts &live);

// The Content-Security-Policy of every answer: nothing from anywhere, the
// page's own inline style aside, its own script (named by its hash) and that
// script's requests for the page.
const std::string &content_security_policy();

// The event's name in label values and JSON keys: the configuration's stem in
// lower case ("powerfail", "comm_connect"); `e` is an event index.
std::string event_name(int e);

// `text` as valid UTF-8 without control characters: each byte that is not
// part of a well-formed sequence, and each control character, becomes U+FFFD.
std::string clean_text(std::string_view text);

// A label value of the Prometheus text format, without its quotes.
std::string prometheus_label(std::string_view text);

// Text for HTML element content and attribute values.
std::string html_escape(std::string_view text);

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_HTTP_RENDER_H
