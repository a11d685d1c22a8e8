#include "daemon/net/descriptors.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>

#include "daemon/core/error.h"
#include "daemon/net/admission.h"
#include "daemon/net/listener.h"
#include "daemon/report/logger.h"

namespace tornax {

namespace {

// A hard limit of "unlimited" can't be a soft one for descriptors: the kernel
// refuses any value above fs.nr_open.
rlim_t largest_allowed(rlim_t hard) {
  if (hard != RLIM_INFINITY) {
    return hard;
  }
  std::ifstream nr_open("/proc/sys/fs/nr_open");
  unsigned long value = 0;
  return nr_open >> value ? static_cast<rlim_t>(value) : static_cast<rlim_t>(1024 * 1024);
}

}  // namespace

long raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    const rlim_t wanted = largest_allowed(limit.rlim_max);
    if (limit.rlim_cur < wanted) {
      limit.rlim_cur = wanted;
      setrlimit(RLIMIT_NOFILE, &limit);  // on failure the old limit stays, and counts
    }
  }
  return descriptor_limit();
}

long descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return LONG_MAX;
  }
  return static_cast<long>(std::min<rlim_t>(limit.rlim_cur, LONG_MAX));
}

int open_descriptors() {
  DIR *fds = opendir("/proc/self/fd");
  if (fds == nullptr) {
    return 0;
  }
  int count = 0;
  while (const dirent *entry = readdir(fds)) {
    count += entry->d_name[0] != '.' ? 1 : 0;
  }
  closedir(fds);
  return count - 1;  // the directory stream's own
}

int client_capacity(long limit, int open) {
  const long room = limit - open - descriptor_reserve;
  return static_cast<int>(std::clamp<long>(room, 0, INT_MAX));
}

void check_client_capacity(const Settings &s) {
  int capacity = admission().descriptor_budget();
  if (capacity < 0) {
    // Before the servers start: their listening sockets are still to come,
    // one per address for each surface that is on.
    const int surfaces =
        (s.max_client != 0 ? 1 : 0) + (s.nut_port != 0 ? 1 : 0) + (s.http_port != 0 ? 1 : 0);
    const int listeners = surfaces * static_cast<int>(listen_addresses(s).size());
    capacity = client_capacity(descriptor_limit(), open_descriptors() + listeners);
  }
  if (s.max_client <= capacity) {
    return;
  }
  tornax_warn_and_log(
      "MAX_CLIENT %d does not fit the descriptor limit of %ld: at most %d clients can be served, "
      "more get the refusal line",
      s.max_client, descriptor_limit(), capacity);
}

}  // namespace tornax
