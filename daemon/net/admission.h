// Who may use the daemon's network surfaces (the status server, the network
// UPS server, the HTTP endpoint), decided in one place for all of them: ALLOW,
// the places each source host holds across every surface
// (MAX_CLIENT_PER_HOST), each surface's own limit, one budget of file
// descriptors that leaves the daemon what it needs to log, broadcast, page
// and reopen the serial line whatever the peers do, the throttle on failed
// logins, and the refusal log, bounded so that no peer, with however many
// addresses, can flood the log.
//
// Any thread may call it: the decisions take a lock of the admission's own,
// held only for the counting, never with tornax_mutex held and never while
// anything waits. Reports go to the log through log_later().
#ifndef TORNAX_DAEMON_NET_ADMISSION_H
#define TORNAX_DAEMON_NET_ADMISSION_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "daemon/core/cycle_facts.h"
#include "tornax.h"

namespace tornax {

enum class Surface { status_server, nut_server, http_endpoint };
inline constexpr int surface_count = 3;

// Refusal and failed-login lines logged in a minute, all surfaces together;
// the rest are summed up in one line.
inline constexpr int refusal_lines_per_minute = 30;

// The name that starts each report of a surface ("Status server").
const char *surface_name(Surface surface);

// The connections each source address holds, on every surface together and
// on each. Any thread; the lock is its own, held only for a look-up.
class HostPlaces {
 public:
  // Takes a place of `surface` for `host` unless the host already holds
  // `limit` places in all (0: no limit) or `surface_limit` on that surface
  // (0: none of its own).
  bool take(const IpAddress &host, int limit, Surface surface = Surface::status_server,
            int surface_limit = 0);
  // Gives back a place that take() gave.
  void release(const IpAddress &host, Surface surface = Surface::status_server);
  // Places `host` holds now, on every surface.
  int held(const IpAddress &host) const;

 private:
  struct Held {
    int total = 0;
    std::array<int, surface_count> by_surface{};
  };
  mutable std::mutex lock_;
  std::map<IpAddress, Held> held_;
};

// Decides which refusals of one kind are logged: an address the first time,
// then again only once a minute has passed. It remembers at most `capacity`
// addresses; while that many were all refused within the minute, a new
// address is not logged (a flood from many addresses must not grow memory).
// Not locked: its owner serialises the calls.
class RefusalLog {
 public:
  explicit RefusalLog(std::size_t capacity = 4096) : capacity_(capacity) {}
  // Whether to log a refusal of `address` at `now_seconds` (a monotonic
  // clock), remembering it when so.
  bool should_log(const IpAddress &address, long now_seconds);

 private:
  std::size_t capacity_;
  std::map<IpAddress, long> last_logged_;
};

// Bounds the lines a kind of report writes in a minute, whatever their
// source: lines beyond the bound are only counted, and once their minute is
// over the count is summed up in one line. Not locked, as RefusalLog.
class LineBudget {
 public:
  explicit LineBudget(int per_minute) : per_minute_(per_minute) {}
  // Whether a line may be written at `now_seconds`; counts it when not.
  bool take(long now_seconds);
  // The lines held back in minutes that are over by `now_seconds`, once;
  // 0 when none.
  unsigned long held_back(long now_seconds);

 private:
  void roll(long now_seconds);

  int per_minute_;
  bool started_ = false;
  long window_start_ = 0;
  int used_ = 0;
  unsigned long held_ = 0;       // in the current minute
  unsigned long to_report_ = 0;  // in minutes that are over
};

// Failed logins cost their source host: after each, the host's next login
// is not even checked before a delay that doubles with every failure (up to
// 64 units), and a login tried meanwhile counts as one more failure. So a
// host that opens many connections can't guess on all of them at once. An
// IPv6 host is its /64, as a host's addresses share one. Not locked, as
// RefusalLog.
class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  explicit LoginThrottle(std::size_t capacity = 4096) : capacity_(capacity) {}
  // Whether a login of `host` may be checked at `now`.
  bool may_check(const IpAddress &host, Clock::time_point now) const;
  // Records the outcome of a login of `host` (checked or not): a success
  // forgets its failures, a failure makes it wait `unit` times 2^(failures-1).
  void record(const IpAddress &host, bool succeeded, Clock::time_point now,
              std::chrono::milliseconds unit);

 private:
  struct Failures {
    int count = 0;
    Clock::time_point until{};
  };
  std::size_t capacity_;
  std::map<IpAddress, Failures> hosts_;
};

// A surface's own limit on the connections it serves at once.
struct SurfaceLimit {
  int most = 0;
  const char *name = nullptr;  // the setting that sets it ("MAX_CLIENT"); none: the surface's own
  int per_host_default = 0;    // places a host may hold here without MAX_CLIENT_PER_HOST; 0 any
  bool answers_busy = false;   // keeps a host beyond its places, to tell it so
};

class Admission {
 public:
  Admission();

  // What an admitted connection holds: its place among the surface's
  // connections and the descriptors, and (when it got one) a place of its
  // host's. Given back when it is destroyed or released. Move-only.
  class Place {
   public:
    Place() = default;
    Place(Place &&other) noexcept { *this = std::move(other); }
    Place &operator=(Place &&other) noexcept;
    Place(const Place &) = delete;
    Place &operator=(const Place &) = delete;
    ~Place() { release(); }
    explicit operator bool() const { return admission_ != nullptr; }
    bool host_place() const { return host_place_; }
    const IpAddress &peer() const { return peer_; }
    void release();

   private:
    friend class Admission;
    Admission *admission_ = nullptr;
    Surface surface_ = Surface::status_server;
    IpAddress peer_;
    bool host_place_ = false;
  };

  struct Verdict {
    Place place;          // empty when the connection is refused
    bool allowed = true;  // ALLOW let the peer in
    std::string why;      // why it was refused, or got no place of its host's
  };

  // Decides on a connection that `surface`'s listener accepted from `peer`,
  // under the settings the last publication carries and the surface's
  // `limit`. A refusal, and a connection admitted without a place of its
  // host's (the HTTP endpoint answers it, busy), is logged.
  Verdict admit(Surface surface, const IpAddress &peer, const CycleFacts &rules,
                const SurfaceLimit &limit);

  // Connections `surface` holds now. counter() is the same count as an
  // atomic, for the names other units know it by (the status server's
  // `client`).
  int count(Surface surface) const { return counter(surface).load(); }
  std::atomic<int> &counter(Surface surface);
  const std::atomic<int> &counter(Surface surface) const;

  // Works out the descriptor budget anew: the soft limit less what the
  // daemon holds itself, the reserve, and what listeners may still open.
  // Each surface's start calls it once its listener is open.
  void fix_descriptor_budget();
  // Connections all surfaces together may hold; -1 before the first fix.
  int descriptor_budget() const { return budget_.load(); }

  // A failed login of `name` on `surface` from `peer`: logged at most once a
  // minute for each address, within the bound on refusal lines.
  void note_failed_login(Surface surface, const IpAddress &peer, const std::string &name);
  // The throttle on failed logins; only the network loop's thread uses it.
  LoginThrottle &login_throttle() { return throttle_; }

  // Logs the refusals held back by the bound in minutes that are over; the
  // main thread calls it after each cycle.
  void write_summary();

 private:
  void give_back(const Place &place);
  void note_refusal(Surface surface, const IpAddress &peer, const std::string &why);
  void log_within_budget(std::string text, long now);
  struct Taken {
    bool surface = false;  // a place among the surface's connections
    bool host = false;     // a place of the host's
    std::string why;       // why not both
  };
  Taken take_places(Surface surface, const IpAddress &peer, const CycleFacts &rules,
                    const SurfaceLimit &limit);

  mutable std::mutex lock_;
  std::array<std::atomic<int>, surface_count> counts_{};
  std::atomic<int> budget_{-1};
  HostPlaces hosts_;
  std::array<RefusalLog, surface_count> refusals_;
  RefusalLog failed_logins_;
  LineBudget lines_;
  LoginThrottle throttle_;
};

// The one admission of the process; never destroyed, as the threads that
// use it run to the very end.
Admission &admission();

}  // namespace tornax

#endif  // TORNAX_DAEMON_NET_ADMISSION_H
