// The network UPS protocol server under its real and its many clients: how
// soon a real upsmon, a secondary in a sandbox of its own, is told that the
// UPS went on battery; and what a hundred clients that poll the UPS's status
// cost the daemon, with how long each answer took.
#ifndef TORNAX_BENCH_NUT_CLIENTS_H
#define TORNAX_BENCH_NUT_CLIENTS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "bench/process_probe.h"

namespace tornax::bench {

// The account the benchmark's daemon offers its secondaries.
inline constexpr const char *nut_bench_user = "upsmon";
inline constexpr const char *nut_bench_password = "bench-secret";

// Seconds from each mains change to upsmon's notification of it.
struct UpsmonLatency {
  std::vector<double> on_battery, on_line;
  int missing = 0;
};

// Starts upsmon from Debian's nut-client (in scripts/sandbox, its commands
// recording into `work`), waits for it to log in, then calls `set_mains`
// false and true `outages` times, `pause` apart, timing each notification.
UpsmonLatency measure_upsmon(const std::string &source_dir, const std::string &work, int port,
                             int outages, const std::function<void(bool)> &set_mains,
                             const std::function<int()> &pause_ms);

struct PollingResult {
  int clients = 0;
  int answers = 0;
  int failures = 0;  // wrong answers or lost connections
  double median_ms = -1, max_ms = -1;
  double cpu = 0;  // the daemon's, over the window
  long peak_rss_kib = -1;
  int peak_threads = -1;
};

// `clients` connections to the server on `port`, each asking for ups.status
// once a second (their phases spread over the second) for `seconds`.
PollingResult measure_polling(pid_t daemon, int port, int clients, int seconds);

}  // namespace tornax::bench

#endif  // TORNAX_BENCH_NUT_CLIENTS_H
