// The rules for a host on several supplies: each supply's health from its
// daemon's lines and silences, and the quorum over them.
#include "client/supply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/status_line.h"

namespace tornax {
namespace {

// A status line with the fields the rules read.
std::string line(unsigned int word, int remaining = 30, int schedule = -1) {
  char text[128];
  std::snprintf(text, sizeof text, "%x 230.0 230.0 100 20 50.0 1.2 %d -1 OK %d", word, remaining,
                schedule);
  return text;
}

// One step of a supply's life: a line, or "" for its connection ending.
struct Step {
  std::string line;
  SupplyHealth health;
  std::string change;  // the health change told, without the name
};

Step silence(SupplyHealth health, const std::string &change = "") {
  return {"", health, change};
}

TEST(SupplyWatchTest, EachSupplysHealthFollowsItsOwnLines) {
  using H = SupplyHealth;
  const std::string lost_on_battery = "Supply lost (its lines stopped while on battery)";
  const struct {
    const char *name;
    int powerfail_minutes;  // -p
    int schedule_minutes;   // -s
    std::vector<Step> steps;
  } cases[] = {
      {"mains then silent: a warning once",
       -1,
       -1,
       {{line(0), H::healthy, ""},
        silence(H::silent, "Supply silent while on mains"),
        silence(H::silent),
        {line(0), H::healthy, "Supply healthy again"}}},
      {"never reached", -1, -1, {silence(H::silent, "Supply not reached"), silence(H::silent)}},
      {"silent on battery: lost until a line says otherwise",
       -1,
       -1,
       {{line(0x02), H::healthy, ""},
        silence(H::lost, lost_on_battery),
        silence(H::lost),
        {line(0), H::healthy, "Supply healthy again"}}},
      {"low battery: lost for good, as its counter is never lowered",
       -1,
       -1,
       {{line(0x0a), H::lost, "Supply lost (low battery)"},
        {line(0), H::lost, ""},
        silence(H::lost)}},
      {"power-fail time within -p, then power back",
       5,
       -1,
       {{line(0x02, 6), H::healthy, ""},
        {line(0x02, 4), H::lost, "Supply lost (power fail timeout)"},
        {line(0, 4), H::healthy, "Supply healthy again"}}},
      {"scheduled shutdown within -s",
       -1,
       3,
       {{line(0x20, 30, 5), H::healthy, ""},
        {line(0x20, 30, 2), H::lost, "Supply lost (scheduled shutdown due)"}}},
  };
  for (const auto &c : cases) {
    AlertSettings settings;
    settings.powerfail_shutdown_time = c.powerfail_minutes;
    settings.schedule_shutdown_time = c.schedule_minutes;
    SupplyWatch watch("ups-b:4004");
    for (std::size_t n = 0; n < c.steps.size(); ++n) {
      const Step &step = c.steps[n];
      SupplyNews news;
      if (step.line.empty()) {
        news = watch.on_silence();
      } else {
        parse_status_line(step.line.c_str(), watch.state().values);
        news = watch.on_line(settings);
      }
      EXPECT_EQ(watch.health(), step.health) << c.name << ", step " << n;
      EXPECT_EQ(news.change, step.change.empty() ? "" : "ups-b:4004 : " + step.change)
          << c.name << ", step " << n;
    }
  }
}

TEST(SupplyWatchTest, WarningsAreTheRulesAlertsNamingTheSupply) {
  AlertSettings settings;
  SupplyWatch watch("[::1]:4005");
  parse_status_line(line(0x0a).c_str(), watch.state().values);
  EXPECT_EQ(watch.on_line(settings).warnings,
            (std::vector<std::string>{"[::1]:4005 : Power fail detect",
                                      "[::1]:4005 : Low battery detect"}));
}

TEST(QuorumTest, TheHostGoesWhenFewerThanTheMinimumAreLeft) {
  using H = SupplyHealth;
  const struct {
    std::vector<H> supplies;
    int minimum;
    bool broken;
  } cases[] = {
      {{H::healthy, H::lost}, 1, false},
      {{H::lost, H::lost}, 1, true},
      {{H::silent, H::lost}, 1, false},  // silent on mains still counts
      {{H::silent, H::lost, H::healthy}, 2, false},
      {{H::silent, H::lost, H::lost}, 2, true},
      {{H::healthy, H::healthy, H::silent}, 3, false},
      {{H::healthy, H::lost, H::healthy}, 3, true},
  };
  AlertSettings settings;
  for (const auto &c : cases) {
    std::vector<SupplyWatch> watches;
    for (const H health : c.supplies) {
      watches.emplace_back("s");
      if (health != H::silent) {
        parse_status_line(line(health == H::lost ? 0x08 : 0).c_str(),
                          watches.back().state().values);
        watches.back().on_line(settings);
      }
      ASSERT_EQ(watches.back().health(), health);
    }
    const Quorum quorum = count_supplies(watches, c.minimum);
    EXPECT_EQ(quorum.broken(), c.broken) << testing::PrintToString(c.minimum);
  }
  EXPECT_EQ(quorum_shutdown_alert({1, 3, 2}),
            "Too few healthy supplies (1 of 3, 2 needed),shutdown executed");
}

}  // namespace
}  // namespace tornax
