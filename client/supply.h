// A host fed by several supplies, each behind a UPS watched by its own
// daemon: what the client makes of each daemon's lines, and when too few
// supplies are left to keep the host up. Pure rules: the caller sends the
// alerts and runs the shutdown command.
//
// A supply is lost when its daemon's lines meet a shutdown rule (low
// battery, the power-fail time or the scheduled shutdown within the
// client's limits), or when its lines stop while it was last seen on
// battery. A supply that falls silent while on mains is presumed to feed the
// host still: a warning, not a loss. The host goes down when fewer supplies
// than the minimum are left that are not lost.
#ifndef TORNAX_CLIENT_SUPPLY_H
#define TORNAX_CLIENT_SUPPLY_H

#include <string>
#include <vector>

#include "client/options.h"
#include "client/reactions.h"

namespace tornax {

enum class SupplyHealth {
  healthy,  // its lines come and meet no shutdown rule
  silent,   // not heard from, last seen on mains (or never seen): still counted
  lost,
};

// What one event of a supply gives to tell, each text naming the supply:
// the reaction rules' warnings (alerts, as with one daemon), and a change of
// the supply's health (for the alerts and the client's own messages).
struct SupplyNews {
  std::vector<std::string> warnings;
  std::string change;  // empty: none
};

class SupplyWatch {
 public:
  explicit SupplyWatch(std::string name) : name_(std::move(name)) {}

  // The line just parsed into state().values: applies the reaction rules.
  SupplyNews on_line(const AlertSettings &settings);
  // The connection ended (or could not be made).
  SupplyNews on_silence();

  SupplyHealth health() const { return health_; }
  const std::string &name() const { return name_; }
  ClientState &state() { return state_; }

 private:
  std::string named(const std::string &text) const { return name_ + " : " + text; }

  std::string name_;
  ClientState state_;
  SupplyHealth health_ = SupplyHealth::silent;
  bool seen_ = false;
  bool silence_told_ = false;
};

// Supplies not lost, out of all, against the minimum.
struct Quorum {
  int counted = 0;
  int total = 0;
  int minimum = 1;
  bool broken() const { return counted < minimum; }
};
Quorum count_supplies(const std::vector<SupplyWatch> &supplies, int minimum);

// "Too few healthy supplies (1 of 3, 2 needed),shutdown executed".
std::string quorum_shutdown_alert(const Quorum &quorum);

}  // namespace tornax

#endif  // TORNAX_CLIENT_SUPPLY_H
