#include "client/supply.h"

#include <algorithm>

namespace tornax {
namespace {

const char *reason_of(ShutdownRule rule) {
  // In the order of ShutdownRule.
  static const char *const reasons[] = {"low battery", "power fail timeout",
                                        "scheduled shutdown due"};
  return reasons[static_cast<int>(rule)];
}

// Collects one line's decisions: its warnings as they come, and the first
// shutdown rule that holds.
class CollectingSink final : public ReactionSink {
 public:
  void warn(const char *message) override { warnings.emplace_back(message); }
  void shutdown_due(ShutdownRule rule, const char *) override {
    if (reason.empty()) {
      reason = reason_of(rule);
    }
  }
  std::vector<std::string> warnings;
  std::string reason;
};

}  // namespace

SupplyNews SupplyWatch::on_line(const AlertSettings &settings) {
  CollectingSink sink;
  react(state_, settings, sink);
  SupplyNews news;
  for (const std::string &warning : sink.warnings) {
    news.warnings.push_back(named(warning));
  }
  const SupplyHealth before = health_;
  health_ = sink.reason.empty() ? SupplyHealth::healthy : SupplyHealth::lost;
  if (health_ == SupplyHealth::lost && before != SupplyHealth::lost) {
    news.change = named("Supply lost (" + sink.reason + ")");
  } else if (health_ == SupplyHealth::healthy && (before == SupplyHealth::lost || silence_told_)) {
    news.change = named("Supply healthy again");
  }
  seen_ = true;
  silence_told_ = false;
  return news;
}

SupplyNews SupplyWatch::on_silence() {
  if (health_ == SupplyHealth::lost) {
    return {};
  }
  if (state_.status[POWERFAIL] != 0) {
    health_ = SupplyHealth::lost;
    return {{}, named("Supply lost (its lines stopped while on battery)")};
  }
  health_ = SupplyHealth::silent;
  if (silence_told_) {
    return {};
  }
  silence_told_ = true;
  return {{}, named(seen_ ? "Supply silent while on mains" : "Supply not reached")};
}

Quorum count_supplies(const std::vector<SupplyWatch> &supplies, int minimum) {
  Quorum quorum;
  quorum.total = static_cast<int>(supplies.size());
  quorum.minimum = minimum;
  quorum.counted = static_cast<int>(std::count_if(
      supplies.begin(), supplies.end(),
      [](const SupplyWatch &supply) { return supply.health() != SupplyHealth::lost; }));
  return quorum;
}

std::string quorum_shutdown_alert(const Quorum &quorum) {
  return "Too few healthy supplies (" + std::to_string(quorum.counted) + " of " +
         std::to_string(quorum.total) + ", " + std::to_string(quorum.minimum) +
         " needed),shutdown executed";
}

}  // namespace tornax
