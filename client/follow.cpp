#include "client/follow.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "client/status_line.h"
#include "client/supply.h"

namespace tornax {
namespace {

using Clock = StatusConnection::Clock;

void real_sleep(unsigned int seconds) {
  while (seconds > 0) {
    seconds = sleep(seconds);
  }
}

int whole_seconds(Clock::duration duration) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
  return ms <= 0 ? 0 : static_cast<int>((ms + 999) / 1000);
}

class Follower;

// The loop over every supply's connection.
class Engine {
 public:
  Engine(const AlertSettings &settings, const std::vector<FollowedSupply> &supplies,
         AlertActions &actions, const ConnectionLimits &limits);
  int run();

  void connected(std::size_t index);
  void status_line(std::size_t index, const char *line);

 private:
  enum class Stage { active, waiting, done };
  struct Supply {
    FollowedSupply followed;
    std::unique_ptr<StatusConnection> connection;
    std::unique_ptr<Follower> handler;
    Stage stage = Stage::active;
    int reconnect_remain = 0;
    Clock::time_point wake{};
  };

  bool single() const { return supplies_.size() == 1; }
  // "<title> : text" with one daemon, "<title> : <supply> : text" with several.
  void report(std::size_t index, const std::string &text) const;
  void tell(const std::string &text);
  void tell(const SupplyNews &news);
  std::optional<int> start(std::size_t index, Clock::time_point now);
  std::optional<int> ended(std::size_t index, const Session &session, Clock::time_point now);
  std::optional<int> say_how_it_ended(std::size_t index, const Session &session);
  void check_quorum(bool on_line);
  std::optional<int> wait_for_work(Clock::time_point now);
  std::optional<int> serve(Clock::time_point now);

  const AlertSettings &settings_;
  AlertActions &actions_;
  ConnectionLimits limits_;
  std::vector<Supply> supplies_;
  std::vector<SupplyWatch> watches_;
  bool quorum_broken_ = false;
  int exit_status_ = 0;
};

class Follower final : public ConnectionHandler {
 public:
  Follower(Engine &engine, std::size_t index) : engine_(engine), index_(index) {}
  void connected() override { engine_.connected(index_); }
  void status_line(const char *line) override { engine_.status_line(index_, line); }

 private:
  Engine &engine_;
  std::size_t index_;
};

Engine::Engine(const AlertSettings &settings, const std::vector<FollowedSupply> &supplies,
               AlertActions &actions, const ConnectionLimits &limits)
    : settings_(settings), actions_(actions), limits_(limits) {
  if (limits_.sleep == nullptr) {
    limits_.sleep = real_sleep;
  }
  for (std::size_t i = 0; i < supplies.size(); ++i) {
    Supply supply;
    supply.followed = supplies[i];
    supply.connection =
        std::make_unique<StatusConnection>(supplies[i].addresses, supplies[i].key, limits_);
    supply.handler = std::make_unique<Follower>(*this, i);
    supply.reconnect_remain = settings.reconnect_remain;
    supplies_.push_back(std::move(supply));
    watches_.emplace_back(supplies[i].name);
  }
}

void Engine::report(std::size_t index, const std::string &text) const {
  if (single()) {
    std::fprintf(stderr, "%s : %s\n", alert_title, text.c_str());
  } else {
    std::fprintf(stderr, "%s : %s : %s\n", alert_title, supplies_[index].followed.name.c_str(),
                 text.c_str());
  }
}

void Engine::tell(const std::string &text) {
  std::fprintf(stderr, "%s : %s\n", alert_title, text.c_str());
  actions_.alert(settings_.tornaxalert_who, text.c_str());
}

void Engine::tell(const SupplyNews &news) {
  for (const std::string &warning : news.warnings) {
    actions_.alert(settings_.tornaxalert_who, warning.c_str());
  }
  if (!news.change.empty()) {
    tell(news.change);
  }
}

void Engine::connected(std::size_t index) {
  if (single()) {
    std::printf("Connected to %s:%d\n", settings_.host.c_str(), static_cast<int>(settings_.port));
  } else {
    std::printf("Connected to %s\n", supplies_[index].followed.name.c_str());
  }
  std::fflush(stdout);
}

void Engine::status_line(std::size_t index, const char *line) {
  ClientState &state = watches_[index].state();
  parse_status_line(line, state.values);
  if (single()) {
    react(state, settings_, actions_);
    return;
  }
  tell(watches_[index].on_line(settings_));
  check_quorum(true);
}

// While too few supplies are left, the shutdown runs when that comes about
// and again on every line, as it does for one daemon's rules.
void Engine::check_quorum(bool on_line) {
  const Quorum quorum = count_supplies(watches_, settings_.minimum_supplies);
  if (quorum.broken()) {
    if (!quorum_broken_ || on_line) {
      const std::string alert = quorum_shutdown_alert(quorum);
      actions_.alert(settings_.tornaxalert_who, alert.c_str());
      actions_.run_shutdown(settings_.shutdown_cmd);
    }
    quorum_broken_ = true;
  } else if (quorum_broken_) {
    quorum_broken_ = false;
    tell("Enough healthy supplies again (" + std::to_string(quorum.counted) + " of " +
         std::to_string(quorum.total) + ", " + std::to_string(quorum.minimum) + " needed)");
  }
}

std::optional<int> Engine::start(std::size_t index, Clock::time_point now) {
  Supply &supply = supplies_[index];
  supply.stage = Stage::active;
  if (std::optional<Session> failed = supply.connection->open(now)) {
    return ended(index, *failed, now);
  }
  return std::nullopt;
}

// The messages of an end before "Connection lost"; an exit status when the
// single daemon's loop ends here.
std::optional<int> Engine::say_how_it_ended(std::size_t index, const Session &session) {
  const std::string error = std::strerror(session.error);
  switch (session.end) {
    case SessionEnd::no_socket:
      if (single()) {
        std::fprintf(stderr, "Create socket: %s\n", error.c_str());
        return 1;
      }
      report(index, "Create socket: " + error);
      break;
    case SessionEnd::connect_failed:
      if (single()) {
        std::fprintf(stderr, "Connect: %s\n", error.c_str());
      } else {
        report(index, "Connect: " + error);
      }
      break;
    case SessionEnd::unknown_protocol:
      report(index, "Unknow protocol");
      if (single()) {
        return 1;
      }
      break;
    case SessionEnd::refused:
      report(index, refused_message);
      break;
    case SessionEnd::unverified:
    case SessionEnd::stale: {
      const char *alert = session.end == SessionEnd::stale ? stale_message : unverified_alert;
      report(index, std::string(alert) + " (" + session.why + ")");
      const std::string text =
          single() ? std::string(alert) : supplies_[index].followed.name + " : " + alert;
      actions_.alert(settings_.tornaxalert_who, text.c_str());
      break;
    }
    case SessionEnd::lost:
      break;
  }
  return std::nullopt;
}

std::optional<int> Engine::ended(std::size_t index, const Session &session, Clock::time_point now) {
  if (std::optional<int> exit_status = say_how_it_ended(index, session)) {
    return exit_status;
  }
  Supply &supply = supplies_[index];
  const bool gave_up = session.end == SessionEnd::unknown_protocol;
  if (gave_up) {
    exit_status_ = 1;
  } else {
    report(index, "Connection lost");
  }
  if (!single()) {
    tell(watches_[index].on_silence());
    check_quorum(false);
  }
  if (gave_up) {
    supply.stage = Stage::done;
    return std::nullopt;
  }
  if (supply.reconnect_remain <= 0) {
    if (single()) {
      report(index, "Reconnect time expired. Quit.");
      return 0;
    }
    report(index, "Reconnect time expired");
    supply.stage = Stage::done;
    return std::nullopt;
  }
  report(index,
         "Wait " + std::to_string(whole_seconds(limits_.reconnect_wait)) + " seconds to reconnect");
  supply.stage = Stage::waiting;
  supply.wake = now + limits_.reconnect_wait;
  --supply.reconnect_remain;
  return std::nullopt;
}

// Nothing connected: the earliest reconnect's wait is slept through the
// seam, and then that attempt (and any due with it) is made.
std::optional<int> Engine::wait_for_work(Clock::time_point now) {
  Clock::time_point earliest = Clock::time_point::max();
  for (const Supply &supply : supplies_) {
    if (supply.stage == Stage::waiting) {
      earliest = std::min(earliest, supply.wake);
    }
  }
  limits_.sleep(static_cast<unsigned int>(whole_seconds(earliest - now)));
  for (std::size_t i = 0; i < supplies_.size(); ++i) {
    if (supplies_[i].stage == Stage::waiting && supplies_[i].wake <= earliest) {
      if (std::optional<int> exit_status = start(i, Clock::now())) {
        return exit_status;
      }
    }
  }
  return std::nullopt;
}

// Waits for the open connections or the next deadline, then serves them and
// makes the reconnects that are due.
std::optional<int> Engine::serve(Clock::time_point now) {
  std::vector<pollfd> entries;
  Clock::time_point next = Clock::time_point::max();
  for (const Supply &supply : supplies_) {
    if (supply.stage == Stage::active && supply.connection->is_open()) {
      entries.push_back(supply.connection->poll_entry());
      next = std::min(next, supply.connection->deadline());
    } else if (supply.stage == Stage::waiting) {
      next = std::min(next, supply.wake);
    }
  }
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
  poll(entries.data(), entries.size(), static_cast<int>(std::clamp<long long>(wait + 1, 0, 1000)));
  now = Clock::now();
  for (std::size_t i = 0; i < supplies_.size(); ++i) {
    Supply &supply = supplies_[i];
    std::optional<Session> session;
    if (supply.stage == Stage::active && supply.connection->is_open()) {
      session = supply.connection->service(now, *supply.handler);
    }
    std::optional<int> exit_status;
    if (session) {
      exit_status = ended(i, *session, now);
    } else if (supply.stage == Stage::waiting && supply.wake <= now) {
      exit_status = start(i, now);
    }
    if (exit_status) {
      return exit_status;
    }
  }
  return std::nullopt;
}

int Engine::run() {
  for (std::size_t i = 0; i < supplies_.size(); ++i) {
    if (std::optional<int> exit_status = start(i, Clock::now())) {
      return *exit_status;
    }
  }
  for (;;) {
    const bool open = std::any_of(supplies_.begin(), supplies_.end(), [](const Supply &supply) {
      return supply.stage == Stage::active && supply.connection->is_open();
    });
    const bool waiting = std::any_of(supplies_.begin(), supplies_.end(), [](const Supply &supply) {
      return supply.stage == Stage::waiting;
    });
    if (!open && !waiting) {
      break;
    }
    const Clock::time_point now = Clock::now();
    if (std::optional<int> exit_status = open ? serve(now) : wait_for_work(now)) {
      return *exit_status;
    }
  }
  std::fprintf(stderr, "%s : Reconnect time expired. Quit.\n", alert_title);
  return exit_status_;
}

// One connection on a descriptor the caller made.
class SessionFollower final : public ConnectionHandler {
 public:
  SessionFollower(const AlertSettings &settings, ClientState &state, AlertActions &actions)
      : settings_(settings), state_(state), actions_(actions) {}
  void status_line(const char *line) override {
    parse_status_line(line, state_.values);
    react(state_, settings_, actions_);
  }

 private:
  const AlertSettings &settings_;
  ClientState &state_;
  AlertActions &actions_;
};

}  // namespace

int follow_supplies(const AlertSettings &settings, const std::vector<FollowedSupply> &supplies,
                    AlertActions &actions, const ConnectionLimits &limits) {
  Engine engine(settings, supplies, actions, limits);
  return engine.run();
}

Session follow_session(int fd, const AlertSettings &settings, ClientState &state,
                       AlertActions &actions, const ConnectionLimits &limits) {
  StatusConnection connection({}, settings.key, limits);
  SessionFollower follower(settings, state, actions);
  connection.adopt(fd, Clock::now());
  for (;;) {
    pollfd entry = connection.poll_entry();
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(connection.deadline() - Clock::now())
            .count();
    poll(&entry, 1, static_cast<int>(std::clamp<long long>(wait + 1, 0, 1000)));
    if (std::optional<Session> session = connection.service(Clock::now(), follower)) {
      return *session;
    }
  }
}

}  // namespace tornax
