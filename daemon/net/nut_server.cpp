#include "daemon/net/nut_server.h"

#include <sodium.h>
#include <sys/epoll.h>
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
#include <unordered_map>
#include <vector>

#include "daemon/core/cycle_facts.h"
#include "daemon/core/timings.h"
#include "daemon/net/access_policy.h"
#include "daemon/net/admission.h"
#include "daemon/net/listener.h"
#include "daemon/net/nut_protocol.h"
#include "daemon/net/nut_variables.h"
#include "daemon/net/surfaces.h"
#include "daemon/net/thread-server.h"
#include "daemon/net/tls_certificate.h"
#include "daemon/net/tls_transport.h"
#include "daemon/net/transport.h"
#include "daemon/report/deferred_log.h"
#include "daemon/report/logger.h"
#include "tornax.h"

namespace tornax {

std::atomic<int> &nut_clients = admission().counter(Surface::nut_server);

namespace {

constexpr const char *server_name = "Network UPS server";

// Bytes taken from a connection in one go; a fair share of the loop.
constexpr std::size_t read_size = 4096;

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
  // Waits until none is logged in or `deadline` passed; returns {told, gone}.
  std::pair<int, int> wait_until_gone(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_until(guard, deadline, [this] { return held_.empty(); });
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

// Never destroyed: the loop's thread uses it until the very end of the
// process (the shutdown ends it with _exit).
Logins &logins() {
  static Logins *const instance = new Logins;
  return *instance;
}

Listener *nut_listener = nullptr;
std::atomic<bool> server_started{false};
std::atomic<bool> fsd{false};
std::atomic<std::uint64_t> next_connection{1};

// The variables of the last publication, made once for all the requests
// that read it (the loop's thread alone).
struct VariablesCache {
  std::shared_ptr<const CycleFacts> facts;
  bool fsd = false;
  std::vector<NutVariable> variables;
};

const std::vector<NutVariable> &variables_of(const std::shared_ptr<const CycleFacts> &facts,
                                             bool forced) {
  // Never destroyed: the loop may still be answering when the process ends.
  static VariablesCache &cache = *new VariablesCache;
  if (cache.facts != facts || cache.fsd != forced) {
    cache.variables = nut_variables(*facts, forced);
    cache.facts = facts;
    cache.fsd = forced;
  }
  return cache.variables;
}

NutView view_now() {
  const std::shared_ptr<const CycleFacts> facts = latest_cycle_facts();
  NutView view;
  view.ups_name = facts->nut_upsname;
  view.description = facts->location.value_or("Unavailable");
  view.stale = !facts->cycled || comm_lost(*facts);
  view.forced_shutdown = fsd.load();
  view.variables = variables_of(facts, view.forced_shutdown);
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
  for (const NutAccount &account : latest_cycle_facts()->nut_users) {
    valid = (account.name == name && same_secret(account.password, password)) || valid;
  }
  return valid;
}

// ---- Connections --------------------------------------------------------------

class NutConnection;

// The connections being served, by descriptor (the loop's thread alone).
std::unordered_map<int, std::unique_ptr<NutConnection>> &connections() {
  static auto *const instance = new std::unordered_map<int, std::unique_ptr<NutConnection>>;
  return *instance;
}

// One connection on the loop: its requests are answered in order as their
// lines complete; a line beyond the limit is answered with an error. While
// an answer waits for room in the socket, no further line is read, so what
// a peer that stops reading costs stays one answer. The socket's bytes go
// through a Transport, so an encrypted session can sit under it.
class NutConnection {
 public:
  using Clock = EventLoop::Clock;

  NutConnection(int fd, Admission::Place place)
      : fd_(fd),
        transport_(std::make_unique<PlainTransport>(fd)),
        place_(std::move(place)),
        address_(format_ip_address(place_.peer())),
        last_input_(Clock::now()) {}

  ~NutConnection() {
    network_loop().cancel(deadline_);
    network_loop().cancel(resume_);
    network_loop().forget(fd_);
    close(fd_);
    if (session_.logged_in) {
      logins().remove(id_);
      log_later(std::string(server_name) + ": " + *session_.username + " from " + address_ +
                (session_.closing ? " logged out" : " went away while logged in"));
    }
  }
  NutConnection(const NutConnection &) = delete;
  NutConnection &operator=(const NutConnection &) = delete;

  // Starts serving; false when the loop can't watch it (it is then to go).
  bool start() {
    arm_deadline();
    return network_loop().watch(fd_, EPOLLIN, [this](std::uint32_t events) { ready(events); });
  }

 private:
  void ready(std::uint32_t events) {
    if (handshake_ != nullptr) {
      return shake_hands();
    }
    // A receive that had to write first (TLS) is taken again when it can.
    const bool retry = (events & EPOLLOUT) != 0 && (transport_->extra_events() & EPOLLOUT) != 0;
    if ((events & EPOLLOUT) != 0 && !flush()) {
      return end();
    }
    if (((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 || retry) && !read_input()) {
      return end();
    }
    go_on();
  }

  // The OK STARTTLS is sent: from here on the socket's bytes are TLS. What
  // came in the clear after the request is dropped, never answered.
  void begin_handshake() {
    input_.clear();
    lines_ = NutLineSplitter();
    auto tls = std::make_unique<TlsTransport>(fd_, latest_cycle_facts()->nut_certificate);
    handshake_ = tls.get();
    transport_ = std::move(tls);
    handshake_since_ = Clock::now();
    network_loop().cancel(deadline_);
    arm_deadline();
    shake_hands();
  }

  // One step of the handshake as the socket allows. A peer that fails it is
  // cut off; one that is slow loses its place at the handshake limit.
  void shake_hands() {
    switch (handshake_->handshake()) {
      case TlsTransport::Step::failed:
        return end();
      case TlsTransport::Step::again:
        network_loop().change(fd_, transport_->extra_events());
        return;
      case TlsTransport::Step::done:
        break;
    }
    handshake_ = nullptr;
    session_.starting_tls = false;
    session_.tls = true;
    last_input_ = Clock::now();
    // The client may have sent its first request with the handshake's end.
    if (!read_input()) {
      return end();
    }
    go_on();
  }

  // Answers what can be answered now, sends it, and waits for what is next.
  void go_on() {
    for (;;) {
      answer_lines();
      if (!flush()) {
        return end();
      }
      if (session_.starting_tls && output_.empty()) {
        return begin_handshake();
      }
      if (!output_.empty() || paused_ || session_.closing || session_.starting_tls ||
          input_.empty()) {
        break;
      }
    }
    if (output_.empty() && (session_.closing || (input_closed_ && !paused_))) {
      return end();
    }
    std::uint32_t events = 0;
    if (!paused_ && output_.empty() && !input_closed_ && !session_.closing &&
        !session_.starting_tls) {
      events |= EPOLLIN;
    }
    if (!output_.empty()) {
      events |= EPOLLOUT;
    }
    network_loop().change(fd_, events | transport_->extra_events());
  }

  // False when the connection failed. What the transport has decrypted is
  // taken whole (one record at most), since the socket can't tell of it.
  bool read_input() {
    char buffer[read_size];
    do {
      const ssize_t n = transport_->receive(buffer, sizeof buffer);
      if (n == 0) {
        input_closed_ = true;  // what it sent before it left is still answered
        return true;
      }
      if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK;
      }
      input_.append(buffer, static_cast<std::size_t>(n));
      last_input_ = Clock::now();
    } while (transport_->holds_input());
    return true;
  }

  // One line at a time, so a failed login can hold back the lines after it;
  // stops at the first answer, which goes out before the next is made.
  void answer_lines() {
    while (!paused_ && output_.empty() && !session_.closing && !session_.starting_tls &&
           !input_.empty()) {
      const std::size_t end = input_.find('\n');
      const std::size_t length = end == std::string::npos ? input_.size() : end + 1;
      lines_.take(input_.data(), length, [this](std::optional<std::string_view> line) {
        output_ += line ? answer(*line) : "ERR INVALID-ARGUMENT\n";
        return true;
      });
      input_.erase(0, length);
    }
  }

  std::string answer(std::string_view line) {
    const std::shared_ptr<const CycleFacts> rules = latest_cycle_facts();
    const NutServerSide side{
        view_now,
        [this](const std::string &name, const std::string &pass) { return login(name, pass); },
        rules->nut_certificate != nullptr, rules->nut_require_tls};
    std::string reply = answer_nut_request(line, session_, side);
    if (!login_failed_) {
      return reply;
    }
    // A refused login is answered a second later: guesses can't go at the
    // speed of the network even on one connection.
    login_failed_ = false;
    paused_ = true;
    resume_ = network_loop().after(timings.nut_second.get(), [this, held = std::move(reply)] {
      paused_ = false;
      output_ += held;
      go_on();
    });
    return "";
  }

  // A host whose login failed waits before its next one is even checked;
  // what it tries meanwhile fails too (daemon/net/admission.h).
  bool login(const std::string &name, const std::string &password) {
    LoginThrottle &throttle = admission().login_throttle();
    const Clock::time_point now = Clock::now();
    const bool valid = throttle.may_check(place_.peer(), now) && valid_account(name, password);
    throttle.record(place_.peer(), valid, now, timings.nut_second.get());
    if (!valid) {
      admission().note_failed_login(Surface::nut_server, place_.peer(), name);
      login_failed_ = true;
      return false;
    }
    logins().add(id_, address_);
    log_later(std::string(server_name) + ": " + name + " from " + address_ + " logged in" +
              (session_.tls ? " over TLS" : ""));
    return true;
  }

  // Sends what it can of the answers; false when the connection failed.
  bool flush() {
    while (!output_.empty()) {
      const ssize_t n = transport_->send(output_.data(), output_.size());
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          return false;
        }
        if (!output_waiting_) {
          output_waiting_ = true;
          output_since_ = Clock::now();
        }
        return true;
      }
      output_.erase(0, static_cast<std::size_t>(n));
    }
    output_waiting_ = false;
    return true;
  }

  // Silent for the idle limit, or an answer that found no room for the stall
  // limit: the connection ends and its place is freed.
  Clock::time_point deadline() const {
    Clock::time_point when = last_input_ + timings.nut_idle_limit.get();
    if (output_waiting_) {
      when = std::min(when, output_since_ + timings.stall_limit.get());
    }
    if (handshake_ != nullptr) {
      when = std::min(when, handshake_since_ + timings.nut_handshake_limit.get());
    }
    return when;
  }

  // Checked when it falls due rather than moved at every request.
  void arm_deadline() {
    deadline_ = network_loop().at(deadline(), [this] {
      if (Clock::now() >= deadline()) {
        return end();
      }
      arm_deadline();
    });
  }

  // Destroys the connection: nothing of it may be touched afterwards.
  void end() { connections().erase(fd_); }

  int fd_;
  std::unique_ptr<Transport> transport_;
  Admission::Place place_;
  std::string address_;
  std::uint64_t id_ = next_connection.fetch_add(1);
  NutSession session_;
  NutLineSplitter lines_;
  std::string input_;   // received, not yet answered
  std::string output_;  // answered, not yet sent
  bool input_closed_ = false;
  bool paused_ = false;
  bool login_failed_ = false;
  bool output_waiting_ = false;
  TlsTransport *handshake_ = nullptr;  // the transport, while its handshake goes on
  Clock::time_point handshake_since_{};
  Clock::time_point last_input_;
  Clock::time_point output_since_{};
  EventLoop::TimerId deadline_;
  EventLoop::TimerId resume_;
};

// ---- Admission ----------------------------------------------------------------

// The loop's decision on each connection its listener accepts. The protocol
// has no refusal line: a refused connection is closed at once.
void admit(int fd, const IpAddress &peer) {
  const std::shared_ptr<const CycleFacts> rules = latest_cycle_facts();
  Admission::Verdict verdict = admission().admit(Surface::nut_server, peer, *rules,
                                                 {rules->nut_max_client, "NUT_MAX_CLIENT"});
  if (!verdict.place) {
    close(fd);
    return;
  }
  limit_peer_waiting(fd);
  auto connection = std::make_unique<NutConnection>(fd, std::move(verdict.place));
  NutConnection *served = connection.get();
  connections()[fd] = std::move(connection);
  if (!served->start()) {
    connections().erase(fd);
  }
}

std::string hosts(int count) {
  return std::to_string(count) + (count == 1 ? " host" : " hosts");
}

// The hosts logged in, for the daemon's shutdown.
class LoggedInHosts final : public WaitingPeers {
 public:
  Clock::time_point tell_peers() override {
    fsd = true;
    logins().tell_all();
    const auto deadline = Clock::now() + static_cast<long>(latest_cycle_facts()->nut_hostsync) *
                                             timings.nut_second.get();
    waiting_ = logins().count();
    if (waiting_ == 0) {
      writelog("Shutdown: no host is logged in to the network UPS server");
    } else {
      writelog(("Shutdown: FSD set for " + hosts(waiting_) +
                " logged in to the network UPS server; waiting up to " +
                std::to_string(latest_cycle_facts()->nut_hostsync) + " seconds for them to log out")
                   .c_str());
    }
    return deadline;
  }

  void wait_for_peers(Clock::time_point deadline) override {
    if (waiting_ == 0) {
      return;
    }
    const auto [told, gone] = logins().wait_until_gone(deadline);
    write_deferred_log();
    const int left = logins().count();
    std::string text =
        "Shutdown: " + std::to_string(gone) + " of " + hosts(told) + " told logged out in time";
    if (left > 0) {
      text += "; going on without the " + hosts(left) + " still logged in";
    }
    writelog(text.c_str());
  }

 private:
  int waiting_ = 0;
};

}  // namespace

bool start_nut_server() {
  if (sodium_init() < 0) {
    report_surface_failure(std::string(server_name) +
                           " not started: the cryptography library cannot start");
    return false;
  }
  publish_settings();  // the answers and the admission read them from the publication
  network_loop();      // its descriptors are the daemon's own, outside the budget
  nut_listener = new Listener(server_name, listen_addresses(settings), settings.nut_port,
                              settings.listen.empty());
  nut_listener->open();
  admission().fix_descriptor_budget();
  network_loop().post([] { nut_listener->attach(network_loop(), admit); });
  if (!start_network_loop()) {
    return false;
  }
  static LoggedInHosts logged_in;
  add_waiting_peers(logged_in);
  server_started = true;
  return true;
}

void log_certificate_expiry(std::time_t now) {
  static std::shared_ptr<const TlsCertificate> warned_of;
  static std::time_t warned_at = 0;
  const std::shared_ptr<const TlsCertificate> &certificate = settings.nut_certificate;
  if (certificate == nullptr) {
    return;
  }
  const std::optional<std::string> warning = certificate_expiry_warning(*certificate, now);
  constexpr std::time_t day = std::time_t{24} * 60 * 60;
  if (!warning || (certificate == warned_of && now >= warned_at && now - warned_at < day)) {
    return;
  }
  warned_of = certificate;
  warned_at = now;
  writelog((std::string(server_name) + ": the certificate in " +
            settings.nut_certfile.value_or("") + " (" + certificate->subject() + ") " + *warning)
               .c_str());
}

int nut_server_port() {
  return nut_listener == nullptr ? 0 : nut_listener->port();
}

}  // namespace tornax
