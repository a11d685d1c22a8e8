#include "daemon/net/access_policy.h"
#include "daemon/net/admission.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tornax {
namespace {

std::string network_text(const std::string &text) {
  const std::optional<IpNetwork> network = parse_ip_network(text);
  return network ? format_ip_address(network->address) + "/" + std::to_string(network->prefix)
                 : "refused";
}

TEST(AccessPolicyTest, AddressesAndNetworksAsWritten) {
  const struct {
    const char *text, *network;
  } cases[] = {
      {"192.0.2.7", "192.0.2.7/32"},
      {"10.1.2.3/8", "10.0.0.0/8"},
      {"172.16.255.1/12", "172.16.0.0/12"},
      {"0.0.0.0/0", "0.0.0.0/0"},
      {"2001:DB8::1/33", "2001:db8::/33"},
      {"::ffff:192.0.2.7", "192.0.2.7/32"},  // an IPv4 peer seen over IPv6
      {"::1", "::1/128"},
      {"10", "refused"},
      {"10.1", "refused"},
      {"10.0.0.256", "refused"},
      {"10.0.0.1/", "refused"},
      {"10.0.0.1/33", "refused"},
      {"10.0.0.1/-1", "refused"},
      {"10.0.0.1/8x", "refused"},
      {"::1/129", "refused"},
      {"fe80::1%no-such-interface", "refused"},
      {"localhost", "refused"},
      {"", "refused"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(network_text(c.text), c.network) << c.text;
  }
  EXPECT_EQ(format_ip_address(*parse_ip_address("fe80::1%1")), "fe80::1%1");
}

TEST(AccessPolicyTest, AllowChecksEveryNetworkOfItsFamily) {
  const std::vector<IpNetwork> allow = {*parse_ip_network("192.0.2.0/25"),
                                        *parse_ip_network("10.0.0.7"),
                                        *parse_ip_network("2001:db8:8000::/33")};
  const struct {
    const char *peer;
    bool allowed;
  } cases[] = {{"192.0.2.0", true},        {"192.0.2.127", true},       {"192.0.2.128", false},
               {"10.0.0.7", true},         {"10.0.0.8", false},         {"::ffff:10.0.0.7", true},
               {"2001:db8:8000::1", true}, {"2001:db8:7fff::1", false}, {"::", false}};
  for (const auto &c : cases) {
    EXPECT_EQ(allowed(allow, *parse_ip_address(c.peer)), c.allowed) << c.peer;
  }
  EXPECT_TRUE(allowed({}, *parse_ip_address("203.0.113.9")));  // no ALLOW: everyone
}

TEST(AccessPolicyTest, ListenAddressesCountOnceAndWildcardsCoverTheirFamily) {
  std::vector<IpAddress> list;
  for (const char *text : {"127.0.0.2", "::1", "127.0.0.2", "0.0.0.0", "10.0.0.1", "::"}) {
    add_listen_address(list, *parse_ip_address(text));
  }
  std::vector<std::string> texts;
  for (const IpAddress &address : list) {
    texts.push_back(format_ip_address(address));
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"0.0.0.0", "::"}));
}

TEST(AccessPolicyTest, HostPlacesAndTheRefusalLog) {
  const IpAddress one = *parse_ip_address("192.0.2.1");
  const IpAddress two = *parse_ip_address("192.0.2.2");
  HostPlaces places;
  EXPECT_TRUE(places.take(one, 2));
  EXPECT_TRUE(places.take(one, 2));
  EXPECT_FALSE(places.take(one, 2));
  EXPECT_TRUE(places.take(two, 2));
  places.release(one);
  EXPECT_EQ(places.held(one), 1);
  EXPECT_TRUE(places.take(one, 0));  // 0: no limit
  EXPECT_TRUE(places.take(one, 0));

  RefusalLog log(2);
  EXPECT_TRUE(log.should_log(one, 100));
  EXPECT_FALSE(log.should_log(one, 159));
  EXPECT_TRUE(log.should_log(one, 160));
  EXPECT_TRUE(log.should_log(two, 161));
  // Full of addresses refused within the minute: a third is not logged ...
  EXPECT_FALSE(log.should_log(*parse_ip_address("192.0.2.3"), 162));
  // ... until one of them is a minute old.
  EXPECT_TRUE(log.should_log(*parse_ip_address("192.0.2.3"), 220));
}

TEST(AccessPolicyTest, LinesBeyondTheBoundAreSummedOnceTheirMinuteIsOver) {
  LineBudget lines(2);
  EXPECT_TRUE(lines.take(100));
  EXPECT_TRUE(lines.take(101));
  EXPECT_FALSE(lines.take(102));
  EXPECT_FALSE(lines.take(159));
  EXPECT_EQ(lines.held_back(159), 0u);  // their minute goes on
  EXPECT_EQ(lines.held_back(160), 2u);
  EXPECT_EQ(lines.held_back(300), 0u);  // summed once
  EXPECT_TRUE(lines.take(300));
}

TEST(AccessPolicyTest, FailedLoginsMakeTheirHostWaitTwiceAsLongEachTime) {
  using std::chrono::seconds;
  const LoginThrottle::Clock::time_point t0{};
  const IpAddress host = *parse_ip_address("2001:db8::1");
  LoginThrottle throttle;
  EXPECT_TRUE(throttle.may_check(host, t0));
  // Each failure is recorded when it happens; the wait it starts doubles.
  const struct {
    int at;     // seconds after t0 the failure comes
    int until;  // and how long the host then waits for its next check
  } failures[] = {{0, 1}, {1, 3}, {3, 7}, {7, 15}};
  for (const auto &f : failures) {
    throttle.record(host, false, t0 + seconds(f.at), seconds(1));
    EXPECT_FALSE(throttle.may_check(host, t0 + seconds(f.until) - std::chrono::milliseconds(1)));
    EXPECT_TRUE(throttle.may_check(host, t0 + seconds(f.until)));
  }
  // The host's /64 is one host; a success forgets its failures.
  EXPECT_FALSE(throttle.may_check(*parse_ip_address("2001:db8::2"), t0 + seconds(8)));
  EXPECT_TRUE(throttle.may_check(*parse_ip_address("2001:db9::1"), t0 + seconds(8)));
  throttle.record(host, true, t0 + seconds(15), seconds(1));
  EXPECT_TRUE(throttle.may_check(host, t0 + seconds(15)));
}

}  // namespace
}  // namespace tornax
