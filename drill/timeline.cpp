#include "drill/timeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>

#include "drill/text.h"

namespace tornax::drill {
namespace {

// Each source: its name, its file in the run's directory, its tag. A new
// source is a row here and a place in the orders below.
struct SourceEntry {
  const char *name;
  const char *file;
  const char *tag;
};

constexpr SourceEntry source_table[] = {
    {"simulator", "simulator", "ups"},
    {"daemon.out", "daemon.out", "daemon"},
    {"daemon.err", "daemon.err", "daemon"},
    {"log", "home/tornax.log", "log"},
    {"wall", "wall", "wall"},
    {"console", "daemon.sandbox/console", "console"},
    {"modem", "modem", "page"},
    {"hooks", "hooks.out", "hook"},
    {"script", "script", "script"},
    {"actions", "daemon.sandbox/actions", "halt"},
    {"client.out", "client.out", "client"},
    {"client.err", "client.err", "client"},
    {"client.wall", "client.wall", "client"},
    {"client.shutdown", "client.shutdown", "client"},
};

// Lines written within one round of reading are shown source by source, so
// the order of the sources stands in for the order of events. While the
// programs start, the simulator comes before the daemon's banner, and that
// before its log. Once they run, an event is logged, broadcast and paged
// before the daemon's shutdown prints its steps, its script runs and the
// sandbox records the host commands; the UPS gets its commands at the very
// end. The client's files come last in both.
constexpr const char *starting_order[] = {
    "simulator",   "daemon.out",     "daemon.err", "log",     "wall",       "console",
    "modem",       "hooks",          "script",     "actions", "client.out", "client.err",
    "client.wall", "client.shutdown"};
constexpr const char *running_order[] = {
    "log",    "wall",    "console",   "modem",      "hooks",      "daemon.out",  "daemon.err",
    "script", "actions", "simulator", "client.out", "client.err", "client.wall", "client.shutdown"};

// Lines that would only confuse: blank lines; the simulator's "ok" to each
// control command; "Terminated", which the sandbox's shell prints when the
// daemon's TERM-to-everyone ends it.
bool worth_showing(const std::string &tag, const std::string &line) {
  if (line.find_first_not_of(' ') == std::string::npos) {
    return false;
  }
  return !(tag == "ups" && line == "ok") && !(tag == "daemon" && line == "Terminated");
}

// What a UPS control command means.
std::string explain_ups(const std::string &line) {
  const auto value = [&](const std::string &marker) {
    const std::size_t at = line.find(marker) + marker.size();
    return line.substr(at, line.find_first_not_of("-0123456789", at) - at);
  };
  if (line.find("received \"TD=") != std::string::npos) {
    return " (shutdown delay " + value("received \"TD=") + ")";
  }
  if (line.find("received \"D=") != std::string::npos) {
    return " (switch off; sleep time " + value("received \"D=") + " min)";
  }
  if (const std::size_t s = line.find("received \"S"); s != std::string::npos) {
    std::string sleep = value("R");  // four digits
    sleep.erase(0, std::min(sleep.find_first_not_of('0'), sleep.size() - 1));
    return " (switch off; delay " + line.substr(s + 11, 2) + " min, sleep time " + sleep + " min)";
  }
  const bool test = line.find("received \"XT") != std::string::npos ||
                    line.find("received \"T\\r") != std::string::npos;
  return test ? " (self-test)" : "";
}

}  // namespace

std::string seconds_text(int tenths) {
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

Timeline::Timeline(const std::string &file) : file_(file) {
  write_file(file_, "");
}

void Timeline::say(const std::string &tag, const std::string &text) {
  const auto since = std::chrono::steady_clock::now() - start_;
  const int tenths =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count() / 100);
  const std::string t = seconds_text(tenths);
  std::printf("%6ss %-10s %s\n", t.c_str(), ("[" + tag + "]").c_str(), text.c_str());
  std::fflush(stdout);
  append_file(file_, t + "\t" + tag + "\t" + text + "\n");
  entries_.push_back({tenths, tag, text});
}

int Timeline::count(const std::string &text) const {
  int n = 0;
  for (const Entry &entry : entries_) {
    n += entry.text.find(text) != std::string::npos ? 1 : 0;
  }
  return n;
}

Sources::Sources(const std::string &dir) {
  for (const SourceEntry &entry : source_table) {
    sources_[entry.name].path = dir + "/" + entry.file;
    sources_[entry.name].tag = entry.tag;
  }
  order(Phase::starting);
}

Sources::~Sources() {
  for (auto &[name, source] : sources_) {
    close_source(source);
  }
}

void Sources::order(Phase phase) {
  if (phase == Phase::starting) {
    order_.assign(std::begin(starting_order), std::end(starting_order));
  } else {
    order_.assign(std::begin(running_order), std::end(running_order));
  }
}

bool Sources::read(Timeline &timeline) {
  bool got = false;
  for (const std::string &name : order_) {
    Source &source = sources_.at(name);
    if (source.fd < 0) {
      source.fd = open(source.path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (source.fd < 0) {
      continue;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(source.fd, buffer, sizeof buffer)) > 0) {
      source.partial.append(buffer, static_cast<std::size_t>(n));
    }
    for (std::size_t end; (end = source.partial.find('\n')) != std::string::npos;) {
      const std::string line = source.partial.substr(0, end);
      source.partial.erase(0, end + 1);
      show(timeline, source, line);
      got = true;
    }
  }
  return got;
}

void Sources::show(Timeline &timeline, Source &source, const std::string &line) {
  if (!worth_showing(source.tag, line)) {
    return;
  }
  if (line == source.last) {
    ++source.repeats;
    return;
  }
  flush_one(timeline, source);
  source.last = line;
  timeline.say(source.tag, source.tag == "ups" ? line + explain_ups(line) : line);
}

void Sources::flush_one(Timeline &timeline, Source &source) {
  if (source.repeats > 0) {
    timeline.say(source.tag,
                 "(" + std::to_string(source.repeats) + " more times: " + source.last + ")");
    source.repeats = 0;
  }
}

void Sources::flush(Timeline &timeline) {
  for (const std::string &name : order_) {
    flush_one(timeline, sources_.at(name));
  }
}

void Sources::forget_under(const std::string &prefix) {
  for (auto &[name, source] : sources_) {
    if (source.path.rfind(prefix, 0) == 0) {
      close_source(source);
      source.partial.clear();
      source.last.clear();
      source.repeats = 0;
    }
  }
}

void Sources::close_source(Source &source) {
  if (source.fd >= 0) {
    close(source.fd);
    source.fd = -1;
  }
}

}  // namespace tornax::drill
