// What the HTTP endpoint's tests share: requests through curl (the real
// client the endpoint must serve), raw requests for what curl won't send,
// outside checkers (promtool, jq, headless Chromium), and a reader of the
// Prometheus text format.
#ifndef TORNAX_TESTS_SUPPORT_HTTP_CLIENT_H
#define TORNAX_TESTS_SUPPORT_HTTP_CLIENT_H

#include <map>
#include <string>
#include <vector>

namespace tornax::test {

struct CommandResult {
  int status = -1;     // exit status; -1 when the command could not run or was killed
  std::string output;  // standard output (and standard error when asked)
};

// Runs `argv` (no shell) with `input` on its standard input; standard error
// joins the output when `with_errors`. Bounded: killed after `seconds`.
CommandResult run_command(const std::vector<std::string> &argv, const std::string &input = "",
                          bool with_errors = false, int seconds = 60);

// Whether a program is on the PATH.
bool have_program(const std::string &name);

struct HttpReply {
  int status = 0;       // 0: no answer
  std::string headers;  // the header block, lines ending in "\r\n"
  std::string body;
  // A header's value (name compared without case); empty when absent.
  std::string header(const std::string &name) const;
};

// One request with curl to http://<host>:<port><path>; `method` GET, HEAD or
// another. Extra curl options go in `options`.
HttpReply curl(int port, const std::string &path, const std::string &method = "GET",
               const std::vector<std::string> &options = {}, const std::string &host = "127.0.0.1");

// Sends `request` as it stands over a new loopback connection and returns
// everything the server sent until it closed the connection or `seconds`
// passed.
std::string raw_request(int port, const std::string &request, int seconds = 15);

// The samples of a Prometheus text document: "name{labels}" as written ->
// value text.
std::map<std::string, std::string> metric_samples(const std::string &text);

// `promtool check metrics` on `text`: its output, empty when it found nothing.
CommandResult promtool_check(const std::string &text);

// `jq -e` on a /status document: whether it parses and has every field the
// README documents, each of its type. The output names the first mismatch.
CommandResult check_status_form(const std::string &json);

// The DOM headless Chromium builds from the page at `url`, after also taking
// a screenshot of it into `screenshot` (a PNG path). `flags` are added to
// Chromium's (--virtual-time-budget=MS lets the page's scripts run that long
// first; --blink-settings=scriptEnabled=false turns JavaScript off).
CommandResult chromium_page(const std::string &url, const std::string &screenshot,
                            const std::vector<std::string> &flags = {});

// How many pixels of the PNG image at `path` are within `tolerance` of the
// colour `rgb` (0xRRGGBB) in each of red, green and blue; -1 when the file is
// no PNG image.
long count_pixels(const std::string &path, unsigned int rgb, int tolerance = 8);

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_HTTP_CLIENT_H
