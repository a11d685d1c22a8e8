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

namespace tornax::bench {
namespace {

std::string read_text(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The value after "Name:" in a /proc status-like text, -1 when absent.
long field_value(const std::string &text, const char *name) {
  const std::size_t at = text.find(std::string("\n") + name + ":");
  if (at == std::string::npos) {
    return -1;
  }
  return std::strtol(text.c_str() + at + std::strlen(name) + 2, nullptr, 10);
}

struct StatFields {
  pid_t parent = 0;
  char state = '?';
  std::string comm;
  unsigned long long ticks = 0;  // utime + stime
};

bool read_stat(pid_t pid, StatFields *fields) {
  const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t open = stat.find('(');
  const std::size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) {
    return false;
  }
  fields->comm = stat.substr(open + 1, close - open - 1);
  std::istringstream rest(stat.substr(close + 2));
  std::string skip;
  unsigned long long utime = 0, stime = 0;
  rest >> fields->state >> fields->parent;
  for (int i = 0; i < 9; ++i) {  // pgrp .. cmajflt
    rest >> skip;
  }
  rest >> utime >> stime;
  fields->ticks = utime + stime;
  return true;
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
    const std::string schedstat = read_text(dir + "/" + entry->d_name + "/schedstat");
    total += std::strtod(schedstat.c_str(), nullptr) / 1e9;
  }
  closedir(tasks);
  return total;
}

std::map<pid_t, StatFields> list_processes() {
  std::map<pid_t, StatFields> processes;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) {
    return processes;
  }
  while (dirent *entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    StatFields fields;
    if (pid > 0 && read_stat(pid, &fields)) {
      processes[pid] = fields;
    }
  }
  closedir(proc);
  return processes;
}

bool descends_from(pid_t pid, pid_t ancestor, const std::map<pid_t, StatFields> &processes) {
  for (int depth = 0; depth < 64 && pid > 1; ++depth) {
    const auto it = processes.find(pid);
    if (it == processes.end()) {
      return false;
    }
    if (it->second.parent == ancestor) {
      return true;
    }
    pid = it->second.parent;
  }
  return false;
}

// The last number of the NSpid line: the pid as the process's own namespace
// sees it.
pid_t inner_pid_of(pid_t pid) {
  const std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("\nNSpid:");
  if (at == std::string::npos) {
    return 0;
  }
  const std::string line = status.substr(at + 7, status.find('\n', at + 1) - at - 7);
  const std::size_t last = line.find_last_of(" \t");
  return static_cast<pid_t>(std::atoi(line.c_str() + (last == std::string::npos ? 0 : last + 1)));
}

}  // namespace

ProcessSample sample_process(pid_t pid, bool smaps) {
  ProcessSample sample;
  const std::string base = "/proc/" + std::to_string(pid);
  StatFields stat;
  if (read_stat(pid, &stat)) {
    sample.cpu_seconds =
        static_cast<double>(stat.ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  sample.runtime_seconds = task_runtime_seconds(pid);
  const std::string status = read_text(base + "/status");
  sample.rss_kib = field_value(status, "VmRSS");
  sample.hwm_kib = field_value(status, "VmHWM");
  sample.threads = static_cast<int>(field_value(status, "Threads"));
  if (smaps) {
    sample.pss_kib = field_value("\n" + read_text(base + "/smaps_rollup"), "Pss");
  }
  return sample;
}

bool process_alive(pid_t pid) {
  StatFields stat;
  return pid > 0 && read_stat(pid, &stat) && stat.state != 'Z';
}

pid_t find_descendant(pid_t ancestor, const std::string &comm, pid_t inner_pid,
                      std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    const auto processes = list_processes();
    for (const auto &[pid, fields] : processes) {
      if (fields.comm == comm && fields.state != 'Z' && descends_from(pid, ancestor, processes) &&
          (inner_pid == 0 || inner_pid_of(pid) == inner_pid)) {
        return pid;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return 0;
}

}  // namespace tornax::bench
