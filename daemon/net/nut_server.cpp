#include "daemon/net/nut_server.h"

#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/core/error.h"
#include "daemon/net/access_policy.h"
#include "daemon/net/descriptors.h"
#include "daemon/net/listener.h"
#include "daemon/net/nut_protocol.h"
#include "daemon/net/nut_variables.h"
#include "daemon/net/thread-server.h"
#include "daemon/report/deferred_log.h"
#include "daemon/report/logger.h"
#include "tornax.h"

namespace tornax {

std::atomic<int> nut_clients{0};
std::atomic<int> nut_idle_limit_ms{nut_idle_limit_seconds * 1000};
std::atomic<int> nut_second_ms{1000};

namespace {

constexpr const char *server_name = "Network UPS server";

// What the answers and the admission read: the main thread replaces it after
// every cycle (and once at start-up), so a connection never waits on the
// cycle's lock, and a reload reaches the next request.
struct Published {
  NutReadings readings;
  std::string ups_name;
  std::string description;
  std::vector<NutAccount> accounts;
  std::vector<IpNetwork> allow;
  int max_client = default_nut_max_client;
  int max_client_per_host = 0;
  int hostsync = default_nut_hostsync;
};

// The logged-in hosts, and what the shutdown told them.
class Logins {
 public:
  void add(std::uint64_t connection, const std::string &address) {
    const std::lock_guard<std::mutex> guard(lock_);
    held_[connection] = address;
    told_ += fsd_ ? 1 : 0;
  }
  void remove(std::uint64_t connection) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (held_.erase(connection) != 0 && fsd_) {
      ++gone_;
    }
    changed_.notify_all();
  }
  int count() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(held_.size());
  }
  std::vector<std::string> addresses() const {
    const std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> list;
    for (const auto &[connection, address] : held_) {
      list.push_back(address);
    }
    return list;
  }
  // From now on every host logged in, or logging in, counts as told.
  void tell_all() {
    const std::lock_guard<std::mutex> guard(lock_);
    fsd_ = true;
    told_ = static_cast<int>(held_.size());
  }
  // Waits until none is logged in or `limit` passed; returns {told, gone}.
  std::pair<int, int> wait_until_gone(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, limit, [this] { return held_.empty(); });
    return {told_, gone_};
  }

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::map<std::uint64_t, std::string> held_;
  bool fsd_ = false;
  int told_ = 0;
  int gone_ = 0;
};

// These are never destroyed: detached connection threads use them until the
// very end of the process (the shutdown ends it with _exit).
Logins &logins() {
  static Logins *const instance = new Logins;
  return *instance;
}

HostPlaces &host_places() {
  static HostPlaces *const instance = new HostPlaces;
  return *instance;
}

RefusalLog &refusal_log() {  // the listener thread's alone
  static RefusalLog *const instance = new RefusalLog;
  return *instance;
}

std::mutex published_lock;
std::shared_ptr<const Published> &published_slot() {
  static auto *const instance = new std::shared_ptr<const Published>;
  return *instance;
}

Listener *nut_listener = nullptr;
std::atomic<bool> server_started{false};
std::atomic<bool> fsd{false};
std::atomic<int> capacity{0};
std::atomic<std::uint64_t> next_connection{1};

std::shared_ptr<const Published> published() {
  const std::lock_guard<std::mutex> guard(published_lock);
  return published_slot();
}

// Main thread: the only writer of the settings and the cycle's values, so it
// reads them without the lock.
void publish(bool answered) {
  auto next = std::make_shared<Published>();
  NutReadings &r = next->readings;
  r.answered = answered;
  r.ext_status = ext_status.load();
  r.linevoltage = ups_linevoltage;
  r.linenormal = ups_linenormal;
  r.invvoltage = ups_invvoltage;
  r.percentbatt = ups_percentbatt;
  r.percentloadpower = ups_percentloadpower;
  r.freq = ups_freq;
  r.loadcurrent = ups_loadcurrent;
  r.backuptime = ups_backuptime;
  r.teststatus.assign(ups_teststatus, strnlen(ups_teststatus, sizeof ups_teststatus));
  r.identification.assign(ups_version, strnlen(ups_version, sizeof ups_version));
  next->ups_name = settings.nut_upsname;
  next->description = settings.ups_location.value_or("Unavailable");
  next->accounts = settings.nut_users;
  next->allow = settings.allow;
  next->max_client = settings.nut_max_client;
  next->max_client_per_host = settings.max_client_per_host;
  next->hostsync = settings.nut_hostsync;
  const std::lock_guard<std::mutex> guard(published_lock);
  published_slot() = std::move(next);
}

NutView view_now() {
  const std::shared_ptr<const Published> now = published();
  NutView view;
  view.ups_name = now->ups_name;
  view.description = now->description;
  view.stale = !now->readings.answered;
  view.forced_shutdown = fsd.load();
  view.variables = nut_variables(now->readings, view.forced_shutdown);
  view.numlogins = logins().count();
  view.clients = logins().addresses();
  return view;
}

// Compared through a hash of each, so the time taken tells nothing about how
// much of a guess was right.
bool same_secret(const std::string &a, const std::string &b) {
  unsigned char hash_a[crypto_generichash_BYTES];
  unsigned char hash_b[crypto_generichash_BYTES];
  crypto_generichash(hash_a, sizeof hash_a, reinterpret_cast<const unsigned char *>(a.data()),
                     a.size(), nullptr, 0);
  crypto_generichash(hash_b, sizeof hash_b, reinterpret_cast<const unsigned char *>(b.data()),
                     b.size(), nullptr, 0);
  return sodium_memcmp(hash_a, hash_b, sizeof hash_a) == 0;
}

bool valid_account(const std::string &name, const std::string &password) {
  bool valid = false;
  for (const NutAccount &account : published()->accounts) {
    valid = (account.name == name && same_secret(account.password, password)) || valid;
  }
  return valid;
}

// ---- Connections --------------------------------------------------------------

long monotonic_seconds() {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count());
}

// Which failed logins are logged; every connection thread asks, so it has a
// lock of its own, never taken with another held.
class FailedLoginLog {
 public:
  bool should_log(const IpAddress &peer, long now_seconds) {
    const std::lock_guard<std::mutex> guard(lock_);
    return log_.should_log(peer, now_seconds);
  }

 private:
  std::mutex lock_;
  RefusalLog log_;
};

FailedLoginLog &failed_login_log() {
  static FailedLoginLog *const instance = new FailedLoginLog;
  return *instance;
}

struct NutConnection {
  int fd = -1;
  IpAddress peer;
};

bool send_all(int fd, const std::string &text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// One connection's requests: lines are answered in order as they complete;
// a line beyond the limit is answered with an error.
class RequestReader {
 public:
  RequestReader(int fd, const IpAddress &peer)
      : fd_(fd), peer_(peer), address_(format_ip_address(peer)) {}

  ~RequestReader() {
    if (session_.logged_in) {
      logins().remove(id_);
      log_later(std::string(server_name) + ": " + *session_.username + " from " + address_ +
                (session_.closing ? " logged out" : " went away while logged in"));
    }
  }
  RequestReader(const RequestReader &) = delete;
  RequestReader &operator=(const RequestReader &) = delete;

  // Answers what `data` completes; false once the connection is to end.
  bool take(const char *data, std::size_t length) {
    return lines_.take(data, length, [this](std::optional<std::string_view> line) {
      return line ? answer(*line) : send_all(fd_, "ERR INVALID-ARGUMENT\n");
    });
  }

 private:
  bool answer(std::string_view line) {
    const NutServerSide side{view_now, [this](const std::string &name, const std::string &pass) {
                               return login(name, pass);
                             }};
    const std::string reply = answer_nut_request(line, session_, side);
    return send_all(fd_, reply) && !session_.closing;
  }

  // A wrong guess costs its connection a second, so passwords can't be tried
  // at the speed of the network; its report is limited as the refusals are.
  bool login(const std::string &name, const std::string &password) {
    if (!valid_account(name, password)) {
      if (failed_login_log().should_log(peer_, monotonic_seconds())) {
        log_later(std::string(server_name) + ": refused the login of " + name + " from " +
                  address_ + " (wrong name or password)");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(nut_second_ms.load()));
      return false;
    }
    logins().add(id_, address_);
    log_later(std::string(server_name) + ": " + name + " from " + address_ + " logged in");
    return true;
  }

  int fd_;
  IpAddress peer_;
  std::string address_;
  std::uint64_t id_ = next_connection.fetch_add(1);
  NutSession session_;
  NutLineSplitter lines_;
};

void serve_requests(int fd, const IpAddress &peer) {
  RequestReader reader(fd, peer);
  char buffer[nut_line_limit];
  for (;;) {
    pollfd wait{fd, POLLIN, 0};
    const int ready = poll(&wait, 1, nut_idle_limit_ms.load());
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return;  // silent for the idle limit, or the wait failed
    }
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0 || !reader.take(buffer, static_cast<std::size_t>(n))) {
      return;
    }
  }
}

void release_places(const IpAddress &peer) {
  host_places().release(peer);
  nut_clients.fetch_sub(1);
}

void *serve_nut_client(void *argument) {
  const std::unique_ptr<NutConnection> connection(static_cast<NutConnection *>(argument));
  limit_peer_waiting(connection->fd);
  serve_requests(connection->fd, connection->peer);
  release_places(connection->peer);
  close(connection->fd);
  return nullptr;
}

// ---- Admission ----------------------------------------------------------------

void note_refusal(const IpAddress &peer, const std::string &why) {
  if (refusal_log().should_log(peer, monotonic_seconds())) {
    log_later(std::string(server_name) + " refused a connection from " + format_ip_address(peer) +
              " (" + why + ")");
  }
}

// The status server's clients hold descriptors from the same reserve-kept
// capacity, so both together must fit it.
bool take_client_place(int limit) {
  int current = nut_clients.load();
  while (current < limit && current + client.load() < capacity.load()) {
    if (nut_clients.compare_exchange_weak(current, current + 1)) {
      return true;
    }
  }
  return false;
}

std::optional<std::string> take_places(const IpAddress &peer, const Published &rules) {
  if (!take_client_place(rules.max_client)) {
    if (nut_clients.load() < rules.max_client) {
      return "the descriptors allow no more clients";
    }
    return "NUT_MAX_CLIENT " + std::to_string(rules.max_client) + " reached";
  }
  if (!host_places().take(peer, rules.max_client_per_host)) {
    nut_clients.fetch_sub(1);
    return "MAX_CLIENT_PER_HOST " + std::to_string(rules.max_client_per_host) + " reached";
  }
  return std::nullopt;
}

// The protocol has no refusal line: a refused connection is closed at once.
void admit(int fd, const IpAddress &peer) {
  const std::shared_ptr<const Published> rules = published();
  std::optional<std::string> why;
  if (!allowed(rules->allow, peer)) {
    why = "not allowed by ALLOW";
  } else {
    why = take_places(peer, *rules);
  }
  if (why) {
    note_refusal(peer, *why);
    close(fd);
    return;
  }
  auto *connection = new NutConnection{fd, peer};
  if (start_server_thread(serve_nut_client, connection) != 0) {
    delete connection;
    release_places(peer);
    close(fd);
    log_later(std::string(server_name) + ": cannot start a client thread, connection closed");
  }
}

void *watch_nut_server(void *listener) {
  static_cast<Listener *>(listener)->run(admit);
}

std::string hosts(int count) {
  return std::to_string(count) + (count == 1 ? " host" : " hosts");
}

}  // namespace

bool start_nut_server() {
  if (sodium_init() < 0) {
    tornax_warn_and_log("%s not started: the cryptography library cannot start", server_name);
    return false;
  }
  publish(false);
  std::vector<IpAddress> addresses = settings.listen;
  if (addresses.empty()) {
    addresses.push_back(*parse_ip_address("0.0.0.0"));
  }
  nut_listener = new Listener(server_name, addresses, settings.nut_port);
  nut_listener->open();
  capacity = client_capacity(descriptor_limit(), open_descriptors());
  server_started = true;
  if (const int error = start_server_thread(watch_nut_server, nut_listener); error != 0) {
    tornax_warn_and_log("%s not started: cannot start its thread (%s)", server_name,
                        std::strerror(error));
    return false;
  }
  return true;
}

int nut_server_port() {
  return nut_listener == nullptr ? 0 : nut_listener->port();
}

void publish_nut_readings() {
  if (server_started.load()) {
    publish(status[COMM_ERROR] == 0);
  }
}

void hold_for_secondaries() {
  if (!server_started.load()) {
    return;
  }
  fsd = true;
  logins().tell_all();
  const int seconds = published()->hostsync;
  const int waiting = logins().count();
  if (waiting == 0) {
    writelog("Shutdown: no host is logged in to the network UPS server");
    return;
  }
  writelog(("Shutdown: FSD set for " + hosts(waiting) +
            " logged in to the network UPS server; waiting up to " + std::to_string(seconds) +
            " seconds for them to log out")
               .c_str());
  const auto [told, gone] = logins().wait_until_gone(
      std::chrono::milliseconds(static_cast<long>(seconds) * nut_second_ms.load()));
  write_deferred_log();
  const int left = logins().count();
  std::string text =
      "Shutdown: " + std::to_string(gone) + " of " + hosts(told) + " told logged out in time";
  if (left > 0) {
    text += "; going on without the " + hosts(left) + " still logged in";
  }
  writelog(text.c_str());
}

}  // namespace tornax
