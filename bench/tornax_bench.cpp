// tornax-bench: measures the daemon on this machine against the simulated
// UPS with its replies paced at 4800 baud, and prints one Markdown table.
//
// The simulated UPS and every probe run in this process, outside the
// sandbox; the daemon and tornaxalert run only inside scripts/sandbox. The
// phases, in order: idle footprint and cycle cost with no client; the cost
// of HTTP scrapes and their effect on the cycle; event latency over a series
// of outages; a burst of clients connecting at once;
// fan-out to growing numbers of clients.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/cycles.h"
#include "bench/exchange_floor.h"
#include "bench/http_scrapes.h"
#include "bench/latency_probes.h"
#include "bench/nut_clients.h"
#include "bench/process_probe.h"
#include "bench/sandboxed.h"
#include "bench/status_clients.h"
#include "sim/simulated_ups.h"
#include "tests/kit/files.h"
#include "tests/kit/processes.h"

namespace tornax::bench {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct Options {
  std::string source_dir;
  std::string build_dir;
  int idle_seconds = 60;
  int outages = 20;
  int fanout_seconds = 30;
  std::vector<int> fanout_clients = {10, 100, 1000};
  int burst_clients = 100;
  int nut_outages = 10;
  int pollers = 100;
  int scrapes = 1000;       // back to back, per document
  int scrape_seconds = 30;  // window of a scrape every 100 ms
  unsigned seed = 1;
  bool keep = false;
};

// ---- Results ---------------------------------------------------------------

struct IdleResult {
  double floor_per_cycle = 0;  // CPU of eight bare exchanges
  ProcessSample end;
  double cpu = 0;      // utime + stime over the window
  double runtime = 0;  // the scheduler's run time over the window
  CycleStats cycles;
};

struct ScrapeCost {
  std::string path;
  double cpu = 0;      // the daemon's run time over the scrapes, idle share taken off
  double seconds = 0;  // wall time of the scrapes
  int failed = 0;
};

struct HttpResult {
  std::vector<ScrapeCost> costs;
  int paced_done = 0, paced_failed = 0;
  int paced_threads = -1;  // daemon threads woken at least once by each paced scrape
  CycleStats cycles;       // while a scrape came every 100 ms
};

struct LatencyResult {
  std::vector<Sighting> failures, returns;
};

struct BurstResult {
  int clients = 0;
  double seconds = -1;  // until the last had its first line; -1: not all had one
  bool refused = false;
};

// Per client over a fan-out window: the fewest and the median status lines,
// the longest gap between two, and how many clients were lost or refused.
struct LineTallies {
  int min = 0;
  double median = 0;
  double max_gap = 0;
  int lost = 0;
};

struct FanoutResult {
  int clients = 0;
  int greeted = 0;
  LineTallies lines;
  double cpu = 0;
  long peak_rss_kib = 0;
  int peak_threads = 0;
  CycleStats cycles;
};

// ---- Set-up ----------------------------------------------------------------

void say(const std::string &text) {
  std::fprintf(stderr, "bench: %s\n", text.c_str());
}

void raise_fd_limit(rlim_t wanted) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur >= wanted) {
    return;
  }
  limit.rlim_cur = wanted;
  limit.rlim_max = std::max(limit.rlim_max, wanted);
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    throw std::runtime_error("cannot raise the descriptor limit; run as root or raise ulimit -n");
  }
}

// A port nobody uses now, for the daemon to take: the system's pick for a
// socket bound to port 0.
int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof address;
  const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
  if (fd >= 0) {
    close(fd);
  }
  if (!bound) {
    throw std::runtime_error("cannot find a free port");
  }
  return ntohs(address.sin_port);
}

void write_file(const std::string &path, const std::string &content) {
  if (!test::write_file(path, content)) {
    throw std::runtime_error("cannot write " + path);
  }
}

// A healthy UPS on the simulator's link, every event logged, alerts to the
// (stubbed) wall program, a power-fail timeout far beyond any outage of the
// run, and a status server with room for every client of the fan-out.
std::string daemon_config(const std::string &device, int port, int max_client, int nut_port,
                          int http_port) {
  std::ostringstream c;
  c << "UPS_DEVICE " << device << "\nBACKUPTIME 60\n";
  for (const char *event : {"POWERFAIL", "POWERRETURN", "LOWBATT", "POWERFAIL_DOWN", "COMM_ERROR",
                            "COMM_CONNECT", "SCHEDULE_DOWN", "OVERLOAD"}) {
    c << event << "_ALERT 0 all \"" << event << " event\"\n" << event << "_LOG yes\n";
  }
  c << "WALLPATH /usr/bin/wall\nMAX_CLIENT " << max_client << "\nPORT " << port << "\n";
  c << "NUT_PORT " << nut_port << "\nNUT_MAX_CLIENT " << max_client << "\nNUT_USER "
    << nut_bench_user << " " << nut_bench_password << "\n";
  c << "LISTEN 127.0.0.1\nHTTP_PORT " << http_port << "\n";
  return c.str();
}

pid_t read_pid_file(const std::string &path, milliseconds limit) {
  pid_t pid = 0;
  test::wait_until([&] { return (pid = std::atoi(test::read_file(path).c_str())) > 0; }, limit);
  return pid;
}

bool file_contains(const std::string &path, const std::string &text, milliseconds limit) {
  return test::wait_until([&] { return test::read_file(path).find(text) != std::string::npos; },
                          limit);
}

// This program's own file, to run the bare cycles in a process of their own.
std::string self_program() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

// ---- The run ---------------------------------------------------------------

class Bench {
 public:
  explicit Bench(const Options &options);
  ~Bench();
  void start_daemon();
  IdleResult measure_idle();
  HttpResult measure_http(const IdleResult &idle);
  LatencyResult measure_latency();
  BurstResult measure_burst(int clients);
  FanoutResult measure_fanout(int clients);
  UpsmonLatency measure_upsmon();
  PollingResult measure_polling(int clients);
  void stop_daemon();
  // Waits until the daemon is back to `threads` (its connection threads for
  // closed clients have noticed and ended).
  void settle(int threads);

 private:
  void start_alert_client();
  void wait_for_threads(int threads, milliseconds limit);

  Options options_;
  std::string work_;
  int port_ = 0;
  int nut_port_ = 0;
  int http_port_ = 0;
  SimulatedUps ups_;
  std::unique_ptr<Sandboxed> daemon_;
  pid_t daemon_pid_ = 0;
  std::unique_ptr<Sandboxed> alert_;
  pid_t alert_pid_ = 0;
  std::mt19937 random_;
};

SimulatedUpsOptions simulator_options(const std::string &work) {
  SimulatedUpsOptions ups;
  ups.pacing = true;
  ups.link_path = work + "/ups";
  ups.low_battery_percent = 0;  // the outages must never end in a shutdown
  return ups;
}

Bench::Bench(const Options &options)
    : options_(options),
      work_(test::make_temp_dir("tornax-bench")),
      port_(free_port()),
      nut_port_(free_port()),
      http_port_(free_port()),
      ups_(simulator_options(work_)),
      random_(options.seed) {
  ups_.start();
  std::filesystem::create_directories(work_ + "/home");
  const int most =
      *std::max_element(options_.fanout_clients.begin(), options_.fanout_clients.end());
  const std::string config = work_ + "/home/tornax.conf";
  write_file(config, daemon_config(work_ + "/ups", port_,
                                   std::max({most, options_.burst_clients, options_.pollers}) + 10,
                                   nut_port_, http_port_));
  chmod(config.c_str(), 0600);  // it holds a password
}

Bench::~Bench() {
  if (alert_) {
    alert_->stop(alert_pid_, seconds(5));
  }
  stop_daemon();
  ups_.stop();
  if (!options_.keep) {
    std::filesystem::remove_all(work_);
  } else {
    say("records kept in " + work_);
  }
}

void Bench::start_daemon() {
  const std::string record = work_ + "/daemon";
  std::filesystem::create_directories(record);
  daemon_ = std::make_unique<Sandboxed>(options_.source_dir, record,
                                        std::vector<std::string>{options_.build_dir + "/tornax"},
                                        std::vector<std::string>{"TORNAXHOME=" + work_ + "/home"});
  const pid_t inner = read_pid_file(work_ + "/home/tornax.pid", seconds(15));
  daemon_pid_ = inner > 0 ? daemon_->find("tornax", inner, seconds(5)) : 0;
  if (daemon_pid_ == 0) {
    throw std::runtime_error("the daemon did not start; see " + record);
  }
  say("daemon runs as host pid " + std::to_string(daemon_pid_) + ", status port " +
      std::to_string(port_));
}

void Bench::stop_daemon() {
  if (daemon_) {
    daemon_->stop(daemon_pid_, seconds(10));
    daemon_.reset();
  }
}

IdleResult Bench::measure_idle() {
  say("idle: " + std::to_string(options_.idle_seconds) + " s with no client");
  std::this_thread::sleep_for(seconds(5));  // start-up done, first cycles behind
  IdleResult result;
  // The cost of a context switch on a shared virtual machine drifts by
  // several times within minutes: the bare floor runs in the same window.
  std::thread floor([&] {
    try {
      result.floor_per_cycle =
          exchange_floor_per_cycle(std::max(1, options_.idle_seconds - 3), self_program());
    } catch (const std::exception &error) {
      say(std::string("floor not measured: ") + error.what());
    }
  });
  const ProcessSample before = sample_process(daemon_pid_, false);
  const auto from = Clock::now();
  std::this_thread::sleep_for(seconds(options_.idle_seconds));
  const auto to = Clock::now();
  floor.join();
  result.end = sample_process(daemon_pid_, true);
  result.cpu = result.end.cpu_seconds - before.cpu_seconds;
  result.runtime = result.end.runtime_seconds - before.runtime_seconds;
  result.cycles = analyse_cycles(ups_.received(), from, to);
  return result;
}

HttpResult Bench::measure_http(const IdleResult &idle) {
  say("http: " + std::to_string(options_.scrapes) + " scrapes of each document, then one every " +
      "100 ms for " + std::to_string(options_.scrape_seconds) + " s");
  const double idle_rate = idle.runtime / options_.idle_seconds;
  HttpResult result;
  for (const char *path : {"/metrics", "/status", "/"}) {
    ScrapeCost cost;
    cost.path = path;
    const double before = sample_process(daemon_pid_, false).runtime_seconds;
    const auto from = Clock::now();
    cost.failed = scrape_many(http_port_, path, options_.scrapes);
    cost.seconds = std::chrono::duration<double>(Clock::now() - from).count();
    cost.cpu =
        sample_process(daemon_pid_, false).runtime_seconds - before - idle_rate * cost.seconds;
    result.costs.push_back(cost);
  }
  const auto from = Clock::now();
  {
    // The main thread wakes for the cycle's serial exchanges, scrape or not.
    std::map<long, long> before = thread_wakeups(daemon_pid_);
    before.erase(daemon_pid_);
    const PacedScraper scraper(http_port_, "/metrics", milliseconds(100));
    std::this_thread::sleep_for(seconds(options_.scrape_seconds));
    result.paced_done = scraper.done();
    result.paced_failed = scraper.failed();
    result.paced_threads = threads_woken(before, thread_wakeups(daemon_pid_), result.paced_done);
  }
  result.cycles = analyse_cycles(ups_.received(), from, Clock::now());
  return result;
}

void Bench::start_alert_client() {
  const std::string record = work_ + "/alert";
  std::filesystem::create_directories(record);
  const std::string wall = "cat >> " + work_ + "/alert.fifo";
  alert_ = std::make_unique<Sandboxed>(
      options_.source_dir, record,
      std::vector<std::string>{options_.build_dir + "/tornaxalert", "-a", "all", "-w", wall, "-x",
                               "/bin/true", "127.0.0.1", std::to_string(port_)},
      std::vector<std::string>{});
  if (!file_contains(record + "/stdout", "Connected to", seconds(10))) {
    throw std::runtime_error("tornaxalert did not connect; see " + record);
  }
  std::this_thread::sleep_for(milliseconds(200));  // its starting parent has left
  alert_pid_ = alert_->find("tornaxalert", 0, seconds(5));
}

LatencyResult Bench::measure_latency() {
  say("latency: " + std::to_string(options_.outages) + " outages (seed " +
      std::to_string(options_.seed) + ")");
  LatencyProbes probes(work_ + "/home/tornax.log", port_, work_ + "/alert.fifo");
  start_alert_client();
  // Mains changes fall at random points of the daemon's second.
  std::uniform_int_distribution<int> pause_ms(1500, 3000);
  probes.pass(seconds(3));
  LatencyResult result;
  for (int i = 0; i < options_.outages; ++i) {
    probes.pass(milliseconds(pause_ms(random_)));
    ups_.set_mains(false);
    result.failures.push_back(probes.watch(true, Clock::now(), seconds(6)));
    probes.pass(milliseconds(pause_ms(random_)));
    ups_.set_mains(true);
    result.returns.push_back(probes.watch(false, Clock::now(), seconds(6)));
  }
  alert_->stop(alert_pid_, seconds(5));
  alert_.reset();
  return result;
}

UpsmonLatency Bench::measure_upsmon() {
  say("upsmon: " + std::to_string(options_.nut_outages) + " outages, network UPS port " +
      std::to_string(nut_port_));
  std::uniform_int_distribution<int> pause_ms(1500, 3000);
  return bench::measure_upsmon(
      options_.source_dir, work_, nut_port_, options_.nut_outages,
      [this](bool on) { ups_.set_mains(on); }, [&] { return pause_ms(random_); });
}

PollingResult Bench::measure_polling(int clients) {
  say("polling: " + std::to_string(clients) + " clients for " +
      std::to_string(options_.fanout_seconds) + " s");
  return bench::measure_polling(daemon_pid_, nut_port_, clients, options_.fanout_seconds);
}

void Bench::settle(int threads) {
  wait_for_threads(threads, seconds(10));
}

void Bench::wait_for_threads(int threads, milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (sample_process(daemon_pid_, false).threads > threads && Clock::now() < end) {
    std::this_thread::sleep_for(milliseconds(100));
  }
}

BurstResult Bench::measure_burst(int clients) {
  say("burst: " + std::to_string(clients) + " clients connecting at once");
  const int base_threads = sample_process(daemon_pid_, false).threads;
  BurstResult result;
  result.clients = clients;
  StatusClients connections(port_);
  result.seconds = connections.connect_at_once(clients, seconds(30));
  for (const ClientTally &tally : connections.tallies()) {
    result.refused = result.refused || tally.refused;
  }
  connections.close_all();
  wait_for_threads(base_threads, seconds(10));
  return result;
}

FanoutResult Bench::measure_fanout(int clients) {
  say("fan-out: " + std::to_string(clients) + " clients for " +
      std::to_string(options_.fanout_seconds) + " s");
  FanoutResult result;
  result.clients = clients;
  const int base_threads = sample_process(daemon_pid_, false).threads;
  StatusClients connections(port_);
  result.greeted = connections.connect(clients, seconds(5));
  const auto watch_daemon = [&] {
    const ProcessSample now = sample_process(daemon_pid_, false);
    result.peak_rss_kib = std::max(result.peak_rss_kib, now.rss_kib);
    result.peak_threads = std::max(result.peak_threads, now.threads);
  };
  connections.follow(seconds(2), watch_daemon);  // every connection thread into its rhythm
  const ProcessSample before = sample_process(daemon_pid_, false);
  const auto from = Clock::now();
  connections.follow(seconds(options_.fanout_seconds), watch_daemon);
  const auto to = Clock::now();
  result.cpu = sample_process(daemon_pid_, false).cpu_seconds - before.cpu_seconds;
  result.cycles = analyse_cycles(ups_.received(), from, to);
  std::vector<double> counts;
  result.lines.min = clients > 0 ? 1 << 30 : 0;
  for (const ClientTally &tally : connections.tallies()) {
    counts.push_back(tally.window_lines);
    result.lines.min = std::min(result.lines.min, tally.window_lines);
    result.lines.max_gap = std::max(result.lines.max_gap, tally.max_gap_seconds);
    result.lines.lost += tally.lost || tally.refused ? 1 : 0;
  }
  result.lines.median = median(counts);
  connections.close_all();
  wait_for_threads(base_threads, seconds(10));
  return result;
}

// ---- The table -------------------------------------------------------------

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string mib(long kib) {
  return fixed(static_cast<double>(kib) / 1024.0, 2) + " MiB";
}

std::string verdict(bool met) {
  return met ? "met" : "**missed**";
}

struct Spread {
  double min = -1, median = -1, max = -1;
  int missing = 0;
};

Spread spread(const std::vector<Sighting> &sightings, double Sighting::*field) {
  std::vector<double> values;
  Spread s;
  for (const Sighting &sighting : sightings) {
    if (sighting.*field < 0) {
      ++s.missing;
    } else {
      values.push_back(sighting.*field);
    }
  }
  if (!values.empty()) {
    s.min = *std::min_element(values.begin(), values.end());
    s.max = *std::max_element(values.begin(), values.end());
    s.median = median(values);
  }
  return s;
}

std::string spread_text(const Spread &s) {
  std::string text = fixed(s.min, 3) + " / " + fixed(s.median, 3) + " / " + fixed(s.max, 3) + " s";
  if (s.missing > 0) {
    text += " (" + std::to_string(s.missing) + " never seen)";
  }
  return text;
}

void row(const std::string &measure, const std::string &value, const std::string &target = "",
         const std::string &result = "") {
  std::printf("| %s | %s | %s | %s |\n", measure.c_str(), value.c_str(), target.c_str(),
              result.c_str());
}

void idle_rows(const IdleResult &idle, int seconds_) {
  const ProcessSample &end = idle.end;
  row("Idle RSS / PSS", mib(end.rss_kib) + " / " + mib(end.pss_kib), "PSS ≤ 1.5 MiB",
      verdict(end.pss_kib >= 0 && end.pss_kib <= 1536));
  row("Idle threads", std::to_string(end.threads));
  row("Idle CPU over " + std::to_string(seconds_) + " s (utime+stime; scheduler run time)",
      fixed(idle.cpu, 2) + " s; " + fixed(idle.runtime, 4) + " s", "≤ 0.02 s",
      // utime + stime comes in whole clock ticks: the exact run time decides too.
      verdict(std::max(idle.cpu, idle.runtime) <= 0.02 * seconds_ / 60.0));
  const CycleStats &c = idle.cycles;
  const double per_cycle = c.cycles > 0 ? idle.runtime / c.cycles : 0;
  row("CPU per cycle (run time / " + std::to_string(c.cycles) +
          " cycles) vs the same 8 exchanges bare",
      fixed(per_cycle * 1e6, 0) + " µs vs " +
          (idle.floor_per_cycle > 0 ? fixed(idle.floor_per_cycle * 1e6, 0) + " µs (×" +
                                          fixed(per_cycle / idle.floor_per_cycle, 2) + ")"
                                    : std::string("not measured")));
  row("Cycle wall time median / max vs wire floor (" + fixed(c.median_bytes, 0) + " B × 2.08 ms)",
      fixed(c.median_wall * 1e3, 1) + " / " + fixed(c.max_wall * 1e3, 1) + " ms vs " +
          fixed(c.wire_floor * 1e3, 1) + " ms (×" + fixed(c.median_wall / c.wire_floor, 3) + ")");
  row("Cycle period idle min / median / max", fixed(c.min_period, 3) + " / " +
                                                  fixed(c.median_period, 3) + " / " +
                                                  fixed(c.max_period, 3) + " s");
}

void latency_rows(const LatencyResult &latency) {
  const std::string n = std::to_string(latency.failures.size());
  for (const bool failure : {true, false}) {
    const auto &list = failure ? latency.failures : latency.returns;
    const std::string what = failure ? "Power fail" : "Power return";
    row(what + " → log, min / median / max of " + n, spread_text(spread(list, &Sighting::log)));
    row(what + " → plain status client", spread_text(spread(list, &Sighting::status_line)));
    const Spread alert = spread(list, &Sighting::alert);
    row(what + " → tornaxalert's wall command", spread_text(alert), "median ≤ 1.1 s",
        verdict(alert.missing == 0 && alert.median <= 1.1));
  }
}

// Every line: each client had a line at least every 1.5 s (no status interval
// lost) and none was dropped or refused.
bool every_line(const FanoutResult &f) {
  return f.greeted == f.clients && f.lines.lost == 0 && f.lines.max_gap < 1.5;
}

// The cycle kept its period: no tick was missed and the median stayed at the
// idle median within 1 %.
bool period_kept(const CycleStats &c, const CycleStats &idle) {
  return c.cycles > 0 && c.max_period < 1.5 &&
         std::abs(c.median_period - idle.median_period) <= 0.01 * idle.median_period;
}

void fanout_rows(const FanoutResult &f, const CycleStats &idle, int window) {
  const std::string n = std::to_string(f.clients) + " clients";
  const bool big = f.clients >= 1000;
  row(n + ": lines per client min / median of " + std::to_string(window) + " s; longest gap",
      std::to_string(f.lines.min) + " / " + fixed(f.lines.median, 1) + "; " +
          fixed(f.lines.max_gap, 3) + " s" +
          (f.greeted < f.clients ? " (" + std::to_string(f.clients - f.greeted) + " not served)"
                                 : ""),
      big ? "every line" : "", big ? verdict(every_line(f)) : "");
  row(n + ": daemon CPU", fixed(f.cpu, 2) + " s", big ? "≤ 1.5 s" : "",
      big ? verdict(f.cpu <= 1.5 * window / 30.0) : "");
  row(n + ": peak RSS / threads", mib(f.peak_rss_kib) + " / " + std::to_string(f.peak_threads),
      big ? "RSS ≤ 24 MiB" : "", big ? verdict(f.peak_rss_kib <= 24 * 1024) : "");
  row(n + ": cycle period min / median / max",
      fixed(f.cycles.min_period, 3) + " / " + fixed(f.cycles.median_period, 3) + " / " +
          fixed(f.cycles.max_period, 3) + " s",
      big ? "unaffected" : "", big ? verdict(period_kept(f.cycles, idle)) : "");
}

void http_rows(const HttpResult &h, const CycleStats &idle, int scrapes) {
  for (const ScrapeCost &c : h.costs) {
    row("HTTP " + c.path + ": daemon CPU per 1000 scrapes (" + std::to_string(scrapes) +
            " back to back, idle share off); scrapes a second",
        fixed(c.cpu * 1000.0 / scrapes * 1e3, 1) + " ms; " + fixed(scrapes / c.seconds, 0) +
            (c.failed > 0 ? " (" + std::to_string(c.failed) + " failed)" : ""));
  }
  const CycleStats &c = h.cycles;
  row("Cycle period min / median / max with a /metrics scrape every 100 ms (" +
          std::to_string(h.paced_done) + " scrapes)",
      fixed(c.min_period, 3) + " / " + fixed(c.median_period, 3) + " / " + fixed(c.max_period, 3) +
          " s" + (h.paced_failed > 0 ? " (" + std::to_string(h.paced_failed) + " failed)" : ""),
      "unaffected", verdict(period_kept(c, idle) && h.paced_failed == 0));
  row("Daemon threads woken by each of those scrapes", std::to_string(h.paced_threads), "1",
      verdict(h.paced_threads == 1));
}

void burst_row(const BurstResult &b) {
  const bool met = b.seconds >= 0 && b.seconds < 2.0 && !b.refused;
  row(std::to_string(b.clients) + " clients connecting at once: until the last has its first line",
      b.seconds < 0 ? std::string("not all served within 30 s")
                    : fixed(b.seconds, 3) + " s" + (b.refused ? " (some refused)" : ""),
      "< 2 s", verdict(met));
}

std::string values_text(std::vector<double> values) {
  if (values.empty()) {
    return "none";
  }
  return fixed(*std::min_element(values.begin(), values.end()), 3) + " / " +
         fixed(median(values), 3) + " / " +
         fixed(*std::max_element(values.begin(), values.end()), 3) + " s";
}

void nut_rows(const UpsmonLatency &upsmon, const PollingResult &polling, int window) {
  const std::string missing =
      upsmon.missing > 0 ? " (" + std::to_string(upsmon.missing) + " never seen)" : "";
  row("Power fail → upsmon's ONBATT notification, min / median / max",
      values_text(upsmon.on_battery) + missing);
  row("Power return → upsmon's ONLINE notification", values_text(upsmon.on_line));
  const std::string c = std::to_string(polling.clients) + " clients polling ups.status each second";
  row(c + ": answers (failures) in " + std::to_string(window) + " s",
      std::to_string(polling.answers) + " (" + std::to_string(polling.failures) + ")");
  row(c + ": answer time median / max",
      fixed(polling.median_ms, 3) + " / " + fixed(polling.max_ms, 3) + " ms");
  row(c + ": daemon CPU; peak RSS / threads", fixed(polling.cpu, 2) + " s; " +
                                                  mib(polling.peak_rss_kib) + " / " +
                                                  std::to_string(polling.peak_threads));
}

void print_table(const Options &options, const IdleResult &idle, const HttpResult &http,
                 const LatencyResult &latency, const BurstResult &burst,
                 const std::vector<FanoutResult> &fanout, const UpsmonLatency &upsmon,
                 const PollingResult &polling) {
  std::printf("| Measure | Value | Target | Result |\n|---|---|---|---|\n");
  idle_rows(idle, options.idle_seconds);
  http_rows(http, idle.cycles, options.scrapes);
  latency_rows(latency);
  burst_row(burst);
  for (const FanoutResult &f : fanout) {
    fanout_rows(f, idle.cycles, options.fanout_seconds);
  }
  nut_rows(upsmon, polling, options.fanout_seconds);
  std::fflush(stdout);
}

// ---- Options ---------------------------------------------------------------

std::vector<int> client_counts(const char *text) {
  std::vector<int> counts;
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    counts.push_back(std::max(1, std::atoi(item.c_str())));
  }
  return counts;
}

void usage(FILE *out) {
  std::fprintf(out,
               "usage: tornax-bench --source DIR --build DIR [options]\n"
               "  --idle S        idle window in seconds (60)\n"
               "  --outages N     power failures for the latency (20)\n"
               "  --fanout S      window of each fan-out level in seconds (30)\n"
               "  --clients LIST  fan-out levels, comma-separated (10,100,1000)\n"
               "  --burst N       clients connecting at once (100)\n"
               "  --nut-outages N power failures for upsmon's notification (10)\n"
               "  --pollers N     network UPS clients polling the status (100)\n"
               "  --scrapes N     HTTP scrapes of each document back to back (1000)\n"
               "  --scrape-window S  window of a scrape every 100 ms, in seconds (30)\n"
               "  --seed N        seed of the random pauses between mains changes (1)\n"
               "  --keep          keep the work directory (logs, records)\n");
}

bool parse_options(int argc, char **argv, Options *options) {
  static const option long_options[] = {{"source", required_argument, nullptr, 's'},
                                        {"build", required_argument, nullptr, 'b'},
                                        {"idle", required_argument, nullptr, 'i'},
                                        {"outages", required_argument, nullptr, 'o'},
                                        {"fanout", required_argument, nullptr, 'f'},
                                        {"clients", required_argument, nullptr, 'c'},
                                        {"burst", required_argument, nullptr, 'u'},
                                        {"seed", required_argument, nullptr, 'r'},
                                        {"nut-outages", required_argument, nullptr, 'n'},
                                        {"pollers", required_argument, nullptr, 'p'},
                                        {"scrapes", required_argument, nullptr, 'a'},
                                        {"scrape-window", required_argument, nullptr, 'w'},
                                        {"keep", no_argument, nullptr, 'k'},
                                        {nullptr, 0, nullptr, 0}};
  // The options that take a count or a number of seconds, at least 1.
  static const std::pair<int, int Options::*> counts[] = {
      {'i', &Options::idle_seconds},   {'o', &Options::outages},
      {'f', &Options::fanout_seconds}, {'u', &Options::burst_clients},
      {'n', &Options::nut_outages},    {'p', &Options::pollers},
      {'a', &Options::scrapes},        {'w', &Options::scrape_seconds}};
  int c;
  while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
    const auto count = std::find_if(std::begin(counts), std::end(counts),
                                    [c](const auto &entry) { return entry.first == c; });
    if (count != std::end(counts)) {
      options->*count->second = std::max(1, std::atoi(optarg));
      continue;
    }
    switch (c) {
      case 's':
        options->source_dir = optarg;
        break;
      case 'b':
        options->build_dir = optarg;
        break;
      case 'c':
        options->fanout_clients = client_counts(optarg);
        break;
      case 'r':
        options->seed = static_cast<unsigned>(std::strtoul(optarg, nullptr, 10));
        break;
      case 'k':
        options->keep = true;
        break;
      default:
        return false;
    }
  }
  return !options->source_dir.empty() && !options->build_dir.empty() &&
         !options->fanout_clients.empty();
}

int run(const Options &options) {
  raise_fd_limit(static_cast<rlim_t>(
      *std::max_element(options.fanout_clients.begin(), options.fanout_clients.end()) + 1024));
  Bench bench(options);
  bench.start_daemon();
  const IdleResult idle = bench.measure_idle();
  const HttpResult http = bench.measure_http(idle);
  const LatencyResult latency = bench.measure_latency();
  bench.settle(idle.end.threads);
  const BurstResult burst = bench.measure_burst(options.burst_clients);
  std::vector<FanoutResult> fanout;
  for (const int clients : options.fanout_clients) {
    fanout.push_back(bench.measure_fanout(clients));
  }
  const UpsmonLatency upsmon = bench.measure_upsmon();
  const PollingResult polling = bench.measure_polling(options.pollers);
  bench.stop_daemon();
  print_table(options, idle, http, latency, burst, fanout, upsmon, polling);
  return 0;
}

}  // namespace
}  // namespace tornax::bench

int main(int argc, char **argv) {
  if (argc == 4 && std::string(argv[1]) == "--floor-loop") {
    try {
      std::printf("%.9f\n", tornax::bench::run_bare_cycles(argv[2], std::atoi(argv[3])));
      return 0;
    } catch (const std::exception &error) {
      std::fprintf(stderr, "tornax-bench: %s\n", error.what());
      return 1;
    }
  }
  tornax::bench::Options options;
  if (!tornax::bench::parse_options(argc, argv, &options)) {
    tornax::bench::usage(stderr);
    return 2;
  }
  try {
    return tornax::bench::run(options);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "tornax-bench: %s\n", error.what());
    return 1;
  }
}
