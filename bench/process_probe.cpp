#include "bench/process_probe.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "tests/kit/files.h"
#include "tests/kit/processes.h"

namespace tornax::bench {
namespace {

// The value after "Name:" in a /proc status-like text, -1 when absent.
long field_value(const std::string &text, const char *name) {
  const std::size_t at = text.find(std::string("\n") + name + ":");
  if (at == std::string::npos) {
    return -1;
  }
  return std::strtol(text.c_str() + at + std::strlen(name) + 2, nullptr, 10);
}

double task_runtime_seconds(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *tasks = opendir(dir.c_str());
  if (tasks == nullptr) {
    return 0;
  }
  double total = 0;
  while (dirent *entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    const std::string schedstat = test::read_file(dir + "/" + entry->d_name + "/schedstat");
    total += std::strtod(schedstat.c_str(), nullptr) / 1e9;
  }
  closedir(tasks);
  return total;
}

}  // namespace

std::map<long, long> thread_wakeups(pid_t pid) {
  std::map<long, long> wakeups;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *tasks = opendir(dir.c_str());
  if (tasks == nullptr) {
    return wakeups;
  }
  while (dirent *entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') {
      const std::string status = test::read_file(dir + "/" + entry->d_name + "/status");
      wakeups[std::strtol(entry->d_name, nullptr, 10)] =
          field_value(status, "voluntary_ctxt_switches");
    }
  }
  closedir(tasks);
  return wakeups;
}

int threads_woken(const std::map<long, long> &before, const std::map<long, long> &after,
                  long times) {
  int woken = 0;
  for (const auto &[tid, count] : after) {
    const auto then = before.find(tid);
    woken += then != before.end() && count - then->second >= times ? 1 : 0;
  }
  return woken;
}

ProcessSample sample_process(pid_t pid, bool smaps) {
  ProcessSample sample;
  const std::string base = "/proc/" + std::to_string(pid);
  test::ProcessStat stat;
  if (test::read_process_stat(pid, &stat)) {
    sample.cpu_seconds =
        static_cast<double>(stat.ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  sample.runtime_seconds = task_runtime_seconds(pid);
  const std::string status = test::read_file(base + "/status");
  sample.rss_kib = field_value(status, "VmRSS");
  sample.hwm_kib = field_value(status, "VmHWM");
  sample.threads = static_cast<int>(field_value(status, "Threads"));
  if (smaps) {
    sample.pss_kib = field_value("\n" + test::read_file(base + "/smaps_rollup"), "Pss");
  }
  return sample;
}

}  // namespace tornax::bench
