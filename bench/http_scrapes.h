// Scrapes of the daemon's HTTP endpoint as a monitoring system makes them:
// one GET over a new loopback connection, read to its end. Back to back, to
// measure what a scrape costs the daemon, or paced, to see whether scrapes
// disturb the monitoring cycle.
#ifndef TORNAX_BENCH_HTTP_SCRAPES_H
#define TORNAX_BENCH_HTTP_SCRAPES_H

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/kit/no_copy.h"

namespace tornax::bench {

// One GET of `path`; true when the answer was "200 OK" and complete.
bool scrape(int port, const std::string &path);

// `count` scrapes one after another; returns how many failed.
int scrape_many(int port, const std::string &path, int count);

// Scrapes `path` every `interval` in a thread of its own until destroyed.
class PacedScraper : test::NoCopy {
 public:
  PacedScraper(int port, std::string path, std::chrono::milliseconds interval);
  ~PacedScraper();
  int done() const { return done_.load(); }
  int failed() const { return failed_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> done_{0};
  std::atomic<int> failed_{0};
  std::thread thread_;
};

}  // namespace tornax::bench

#endif  // TORNAX_BENCH_HTTP_SCRAPES_H
