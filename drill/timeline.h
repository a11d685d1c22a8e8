// The drill's timeline: every line the programs write, as it is written,
// with the time since the start and a tag naming where it came from. Each
// source is a file: the timeline reads what is new in it, whole lines only.
// A line one source repeats is shown once, with a count. Each line shown
// also goes to the run's timeline file and stays in memory, and the summary
// is drawn from it. Main thread only.
#ifndef TORNAX_DRILL_TIMELINE_H
#define TORNAX_DRILL_TIMELINE_H

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace tornax::drill {

struct Entry {
  int tenths = 0;  // tenths of a second since the start
  std::string tag;
  std::string text;
};

// "12.3" for 123 tenths.
std::string seconds_text(int tenths);

class Timeline {
 public:
  // Lines go to standard output and to `file` (truncated).
  explicit Timeline(const std::string &file);
  Timeline(const Timeline &) = delete;
  Timeline &operator=(const Timeline &) = delete;

  // Shows "  12.3s [tag]      text" and records it.
  void say(const std::string &tag, const std::string &text);
  const std::vector<Entry> &entries() const { return entries_; }
  // How many entries hold `text`.
  int count(const std::string &text) const;

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::string file_;
  std::vector<Entry> entries_;
};

// The files the programs write, each read from where it was last read.
class Sources {
 public:
  // Sources and their tags are listed in timeline.cpp; `dir` is the run's.
  explicit Sources(const std::string &dir);
  ~Sources();
  Sources(const Sources &) = delete;
  Sources &operator=(const Sources &) = delete;

  // The order in which one round reads the sources: while the programs
  // start, and once they run (see timeline.cpp).
  enum class Phase { starting, running };
  void order(Phase phase);
  // Reads every source once; true when anything was read.
  bool read(Timeline &timeline);
  // Shows the repeats not yet shown.
  void flush(Timeline &timeline);
  // Forgets the sources whose file lies under `prefix`, to read them anew.
  void forget_under(const std::string &prefix);

 private:
  struct Source {
    std::string path, tag;
    int fd = -1;
    std::string partial, last;
    int repeats = 0;
  };
  void show(Timeline &timeline, Source &source, const std::string &line);
  void flush_one(Timeline &timeline, Source &source);
  static void close_source(Source &source);

  std::map<std::string, Source> sources_;
  std::vector<std::string> order_;
};

}  // namespace tornax::drill

#endif  // TORNAX_DRILL_TIMELINE_H
