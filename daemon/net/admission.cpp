#include "daemon/net/admission.h"

#include <algorithm>
#include <climits>

#include "daemon/core/clock.h"
#include "daemon/net/access_policy.h"
#include "daemon/net/descriptors.h"
#include "daemon/net/listener.h"
#include "daemon/report/deferred_log.h"

namespace tornax {
namespace {

constexpr long minute = 60;

// Failures of a host are forgotten this long after its last delay ended.
constexpr auto failures_kept = std::chrono::minutes(10);

// The longest delay a host waits after failed logins, in units.
constexpr int most_delay_units = 64;

// An IPv6 host is given its /64 by its network; anything longer is its own
// choice, made anew as it likes.
IpAddress host_of(const IpAddress &address) {
  IpAddress host = address;
  if (host.family == AF_INET6) {
    std::fill(host.bytes.begin() + 8, host.bytes.end(), 0);
    host.scope_id = 0;
  }
  return host;
}

std::string limit_text(const SurfaceLimit &limit, int most) {
  if (limit.name != nullptr) {
    return std::string(limit.name) + " " + std::to_string(most) + " reached";
  }
  return "its limit of " + std::to_string(most) + " connections reached";
}

std::string per_host_text(int per_host, bool from_setting) {
  if (from_setting) {
    return "MAX_CLIENT_PER_HOST " + std::to_string(per_host) + " reached";
  }
  return std::to_string(per_host) + " connections from one host reached";
}

}  // namespace

const char *surface_name(Surface surface) {
  switch (surface) {
    case Surface::status_server:
      return "Status server";
    case Surface::nut_server:
      return "Network UPS server";
    case Surface::http_endpoint:
      return "HTTP endpoint";
  }
  return "Network surface";
}

// ---- HostPlaces -------------------------------------------------------------

bool HostPlaces::take(const IpAddress &host, int limit, Surface surface, int surface_limit) {
  const std::lock_guard<std::mutex> guard(lock_);
  Held &places = held_[host];
  int &here = places.by_surface[static_cast<std::size_t>(surface)];
  if ((limit > 0 && places.total >= limit) || (surface_limit > 0 && here >= surface_limit)) {
    if (places.total == 0) {
      held_.erase(host);
    }
    return false;
  }
  ++places.total;
  ++here;
  return true;
}

void HostPlaces::release(const IpAddress &host, Surface surface) {
  const std::lock_guard<std::mutex> guard(lock_);
  const auto it = held_.find(host);
  if (it == held_.end()) {
    return;
  }
  int &here = it->second.by_surface[static_cast<std::size_t>(surface)];
  here = std::max(here - 1, 0);
  if (--it->second.total <= 0) {
    held_.erase(it);
  }
}

int HostPlaces::held(const IpAddress &host) const {
  const std::lock_guard<std::mutex> guard(lock_);
  const auto it = held_.find(host);
  return it == held_.end() ? 0 : it->second.total;
}

// ---- RefusalLog, LineBudget ---------------------------------------------------

bool RefusalLog::should_log(const IpAddress &address, long now_seconds) {
  const auto it = last_logged_.find(address);
  if (it != last_logged_.end()) {
    if (now_seconds - it->second < minute) {
      return false;
    }
    it->second = now_seconds;
    return true;
  }
  if (last_logged_.size() >= capacity_) {
    std::erase_if(last_logged_, [now_seconds](const auto &entry) {
      return now_seconds - entry.second >= minute;
    });
    if (last_logged_.size() >= capacity_) {
      return false;
    }
  }
  last_logged_.emplace(address, now_seconds);
  return true;
}

void LineBudget::roll(long now_seconds) {
  if (started_ && now_seconds - window_start_ < minute) {
    return;
  }
  to_report_ += held_;
  held_ = 0;
  used_ = 0;
  started_ = true;
  window_start_ = now_seconds;
}

bool LineBudget::take(long now_seconds) {
  roll(now_seconds);
  if (used_ < per_minute_) {
    ++used_;
    return true;
  }
  ++held_;
  return false;
}

unsigned long LineBudget::held_back(long now_seconds) {
  if (held_ != 0) {
    roll(now_seconds);
  }
  return std::exchange(to_report_, 0);
}

// ---- LoginThrottle --------------------------------------------------------------

bool LoginThrottle::may_check(const IpAddress &host, Clock::time_point now) const {
  const auto it = hosts_.find(host_of(host));
  return it == hosts_.end() || now >= it->second.until;
}

void LoginThrottle::record(const IpAddress &host, bool succeeded, Clock::time_point now,
                           std::chrono::milliseconds unit) {
  const IpAddress key = host_of(host);
  if (succeeded) {
    hosts_.erase(key);
    return;
  }
  if (hosts_.size() >= capacity_ && hosts_.count(key) == 0) {
    std::erase_if(hosts_,
                  [now](const auto &entry) { return now >= entry.second.until + failures_kept; });
    // Still full: the oldest delay makes room, so a new host is throttled too.
    if (hosts_.size() >= capacity_) {
      hosts_.erase(std::min_element(hosts_.begin(), hosts_.end(), [](const auto &a, const auto &b) {
        return a.second.until < b.second.until;
      }));
    }
  }
  Failures &failures = hosts_[key];
  if (failures.count != 0 && now >= failures.until + failures_kept) {
    failures.count = 0;
  }
  failures.count = std::min(failures.count + 1, 30);
  const int units = std::min(1 << std::min(failures.count - 1, 20), most_delay_units);
  failures.until = std::max(failures.until, now + unit * units);
}

// ---- Admission ----------------------------------------------------------------

Admission::Admission() : lines_(refusal_lines_per_minute) {}

Admission &admission() {
  static Admission *const instance = new Admission;
  return *instance;
}

std::atomic<int> &Admission::counter(Surface surface) {
  return counts_[static_cast<std::size_t>(surface)];
}

const std::atomic<int> &Admission::counter(Surface surface) const {
  return counts_[static_cast<std::size_t>(surface)];
}

Admission::Place &Admission::Place::operator=(Place &&other) noexcept {
  if (this != &other) {
    release();
    admission_ = std::exchange(other.admission_, nullptr);
    surface_ = other.surface_;
    peer_ = other.peer_;
    host_place_ = std::exchange(other.host_place_, false);
  }
  return *this;
}

void Admission::Place::release() {
  if (admission_ != nullptr) {
    admission_->give_back(*this);
    admission_ = nullptr;
    host_place_ = false;
  }
}

void Admission::give_back(const Place &place) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (place.host_place_) {
    hosts_.release(place.peer_, place.surface_);
  }
  counter(place.surface_).fetch_sub(1);
}

void Admission::fix_descriptor_budget() {
  const std::lock_guard<std::mutex> guard(lock_);
  int connections = 0;
  for (const std::atomic<int> &count : counts_) {
    connections += count.load();
  }
  const int own = open_descriptors() - connections + listener_sockets_to_open();
  budget_ = client_capacity(descriptor_limit(), own);
}

// Under the lock: the surface's place, then the host's.
Admission::Taken Admission::take_places(Surface surface, const IpAddress &peer,
                                        const CycleFacts &rules, const SurfaceLimit &limit) {
  Taken taken;
  int total = 0;
  for (const std::atomic<int> &count : counts_) {
    total += count.load();
  }
  std::atomic<int> &here = counter(surface);
  const int by_descriptors = std::max(budget_.load(), 0) - (total - here.load());
  if (here.load() >= std::min(limit.most, by_descriptors)) {
    taken.why =
        by_descriptors < limit.most
            ? "the descriptors allow " + std::to_string(std::max(by_descriptors, 0)) + " clients"
            : limit_text(limit, limit.most);
    return taken;
  }
  const int per_host = rules.max_client_per_host;
  const int surface_default = per_host == 0 ? limit.per_host_default : 0;
  taken.host = hosts_.take(peer, per_host, surface, surface_default);
  if (!taken.host) {
    taken.why = per_host_text(per_host != 0 ? per_host : surface_default, per_host != 0);
  }
  taken.surface = taken.host || limit.answers_busy;
  if (taken.surface) {
    here.fetch_add(1);
  }
  return taken;
}

Admission::Verdict Admission::admit(Surface surface, const IpAddress &peer, const CycleFacts &rules,
                                    const SurfaceLimit &limit) {
  Verdict verdict;
  if (!allowed(rules.allow, peer)) {
    verdict.allowed = false;
    verdict.why = "not allowed by ALLOW";
  } else {
    if (budget_.load() < 0) {
      fix_descriptor_budget();
    }
    const std::lock_guard<std::mutex> guard(lock_);
    Taken taken = take_places(surface, peer, rules, limit);
    verdict.why = std::move(taken.why);
    if (taken.surface) {
      verdict.place.admission_ = this;
      verdict.place.surface_ = surface;
      verdict.place.peer_ = peer;
      verdict.place.host_place_ = taken.host;
    }
  }
  if (!verdict.why.empty()) {
    note_refusal(surface, peer, verdict.why);
  }
  return verdict;
}

void Admission::log_within_budget(std::string text, long now) {
  if (lines_.take(now)) {
    log_later(std::move(text));
  }
}

void Admission::note_refusal(Surface surface, const IpAddress &peer, const std::string &why) {
  const long now = monotonic_seconds();
  const std::lock_guard<std::mutex> guard(lock_);
  if (refusals_[static_cast<std::size_t>(surface)].should_log(peer, now)) {
    log_within_budget(std::string(surface_name(surface)) + " refused a connection from " +
                          format_ip_address(peer) + " (" + why + ")",
                      now);
  }
}

void Admission::note_failed_login(Surface surface, const IpAddress &peer, const std::string &name) {
  const long now = monotonic_seconds();
  const std::lock_guard<std::mutex> guard(lock_);
  if (failed_logins_.should_log(peer, now)) {
    log_within_budget(std::string(surface_name(surface)) + ": refused the login of " + name +
                          " from " + format_ip_address(peer) + " (wrong name or password)",
                      now);
  }
}

void Admission::write_summary() {
  unsigned long held = 0;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    held = lines_.held_back(monotonic_seconds());
  }
  if (held != 0) {
    log_later("Network surfaces: " + std::to_string(held) +
              " more refused connections or logins in the last minute, not logged one by one");
  }
}

}  // namespace tornax
