#include "tests/support/http_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <png.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "tests/kit/files.h"
#include "tests/kit/loopback.h"

namespace tornax::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string lower(std::string text) {
  for (char &c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

// Writes `input` and reads the output until both are done or the deadline.
bool exchange(int in, int out, const std::string &input, std::string &output,
              Clock::time_point deadline) {
  std::size_t written = 0;
  if (input.empty()) {
    close(in);
    in = -1;
  }
  for (;;) {
    pollfd waits[2] = {{out, POLLIN, 0}, {in, POLLOUT, 0}};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || poll(waits, in >= 0 ? 2 : 1, static_cast<int>(left.count())) <= 0) {
      if (in >= 0)
        close(in);
      return false;
    }
    if (in >= 0 && waits[1].revents != 0) {
      const ssize_t n = write(in, input.data() + written, input.size() - written);
      written += n > 0 ? static_cast<std::size_t>(n) : input.size();
      if (written >= input.size()) {
        close(in);
        in = -1;
      }
    }
    if (waits[0].revents != 0) {
      char chunk[4096];
      const ssize_t n = read(out, chunk, sizeof chunk);
      if (n <= 0) {
        if (in >= 0)
          close(in);
        return true;
      }
      output.append(chunk, static_cast<std::size_t>(n));
    }
  }
}

}  // namespace

CommandResult run_command(const std::vector<std::string> &argv, const std::string &input,
                          bool with_errors, int seconds) {
  int to_child[2];
  int from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) {
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // its own group, so a time-out ends what it started too
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    if (with_errors) {
      dup2(from_child[1], 2);
    } else {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
    }
    std::vector<char *> args;
    for (const std::string &arg : argv) {
      args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  CommandResult result;
  const bool done = exchange(to_child[1], from_child[0], input, result.output,
                             Clock::now() + std::chrono::seconds(seconds));
  close(from_child[0]);
  if (!done && pid > 0) {
    kill(-pid, SIGKILL);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  }
  return result;
}

bool have_program(const std::string &name) {
  return run_command({"sh", "-c", "command -v " + name}).status == 0;
}

std::string HttpReply::header(const std::string &name) const {
  std::istringstream lines(headers);
  const std::string wanted = lower(name) + ":";
  for (std::string line; std::getline(lines, line);) {
    if (lower(line).rfind(wanted, 0) == 0) {
      std::string value = line.substr(wanted.size());
      value.erase(0, value.find_first_not_of(' '));
      while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) {
        value.pop_back();
      }
      return value;
    }
  }
  return "";
}

HttpReply curl(int port, const std::string &path, const std::string &method,
               const std::vector<std::string> &options, const std::string &host) {
  std::vector<std::string> argv = {"curl", "-sS", "-i", "--max-time", "20"};
  if (method == "HEAD") {
    argv.push_back("-I");
  } else if (method != "GET") {
    argv.insert(argv.end(), {"-X", method});
  }
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back("http://" + host + ":" + std::to_string(port) + path);
  const CommandResult run = run_command(argv);
  HttpReply reply;
  const std::size_t end = run.output.find("\r\n\r\n");
  if (run.status != 0 || end == std::string::npos) {
    return reply;
  }
  reply.headers = run.output.substr(0, end + 2);
  reply.body = run.output.substr(end + 4);
  reply.status = std::atoi(reply.headers.c_str() + reply.headers.find(' ') + 1);
  return reply;
}

std::string raw_request(int port, const std::string &request, int seconds) {
  const int fd = connect_loopback(port);
  if (fd < 0) {
    return "";
  }
  send_all(fd, request);
  std::string answer;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    pollfd wait{fd, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) {
      break;
    }
    answer.append(chunk, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer;
}

std::map<std::string, std::string> metric_samples(const std::string &text) {
  std::map<std::string, std::string> samples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const std::size_t space = line.rfind(' ');
    samples[line.substr(0, space)] = line.substr(space + 1);
  }
  return samples;
}

CommandResult promtool_check(const std::string &text) {
  return run_command({"promtool", "check", "metrics"}, text, true);
}

CommandResult check_status_form(const std::string &json) {
  // Each field with the types the README gives it.
  static const char *const form = R"(
    def num: type == "number";
    def has_form($f): . as $o | ($f | to_entries | all(.key as $k | .value as $t |
      ($o | has($k)) and ($o[$k] | type) as $actual | ($t | split("|") | index($actual)) != null));
    has_form({daemon: "object", updated: "number|null", ups: "object", state: "string",
              flags: "object", status_word: "number", input_voltage_volts: "number|null",
              output_voltage_volts: "number|null", input_frequency_hertz: "number|null",
              output_current_amperes: "number|null", battery_charge_ratio: "number|null",
              battery_charge_estimated: "boolean",
              ups_load_ratio: "number|null", battery_runtime_seconds: "number|null",
              temperature_celsius: "number|null", readings: "object",
              battery_charge_low_ratio: "number|null", battery_runtime_low_seconds: "number|null",
              remain_minutes: "number", shutdown_remaining_seconds: "number|null",
              last_selftest: "string|null", next_shutdown: "object|null", next_selftest: "number|null",
              events_total: "object", recent_events: "array", cycle_duration_seconds: "number"})
    and (.daemon | has_form({version: "string", start_time: "number", status_clients: "number",
                                    nut_clients: "number"}))
    and (.readings | has_form({stale: "boolean", time: "number|null", age_seconds: "number|null"}))
    and (.ups | has_form({model: "string", mfr: "string|null", location: "string|null",
                          comm_up: "boolean", nominal_voltage_volts: "number|null"}))
    and (.flags | has_form({on_battery: "boolean", low_battery: "boolean", comm_lost: "boolean",
                            self_test: "boolean", shutdown_pending: "boolean"}))
    and (.state | IN("starting", "on_line", "on_battery", "low_battery", "comm_lost",
                     "shutting_down"))
    and (.events_total | keys == ["comm_connect", "comm_error", "lowbatt", "overload",
                                  "powerfail", "powerfail_down", "powerreturn", "schedule_down"])
    and (.events_total | all(.[]; num))
    and (.recent_events | all(.[]; has_form({time: "number", event: "string", text: "string"})))
    and (.next_shutdown == null or
         (.next_shutdown | has_form({time: "number", ups_off_minutes: "number"})))
  )";
  return run_command({"jq", "-e", form}, json, true);
}

CommandResult chromium_page(const std::string &url, const std::string &screenshot,
                            const std::vector<std::string> &flags) {
  const TempDir profile;  // a new empty profile each time
  std::vector<std::string> argv = {"chromium",
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-quic",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--user-data-dir=" + profile.path(),
                                   "--window-size=390,844",
                                   "--screenshot=" + screenshot,
                                   "--dump-dom"};
  argv.insert(argv.end(), flags.begin(), flags.end());
  argv.push_back(url);
  return run_command(argv, "", false, 120);
}

long count_pixels(const std::string &path, unsigned int rgb, int tolerance) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
    return -1;
  }
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) == 0) {
    png_image_free(&image);
    return -1;
  }
  const int want[3] = {static_cast<int>(rgb >> 16 & 0xFF), static_cast<int>(rgb >> 8 & 0xFF),
                       static_cast<int>(rgb & 0xFF)};
  long count = 0;
  for (std::size_t i = 0; i + 2 < pixels.size(); i += 3) {
    bool near = true;
    for (int c = 0; c < 3; ++c) {
      near = near && std::abs(pixels[i + static_cast<std::size_t>(c)] - want[c]) <= tolerance;
    }
    count += near ? 1 : 0;
  }
  return count;
}

}  // namespace tornax::test
