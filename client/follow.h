// Following daemons: the loop that keeps one connection per supply in one
// process, reconnects each after a loss as often as allowed, and reacts to
// the lines. With one daemon the reactions act on the host directly and
// every message is the single daemon's; with several, each supply's lines
// decide its own health (client/supply.h), messages name the supply, and the
// host shuts down when too few supplies are left.
#ifndef TORNAX_CLIENT_FOLLOW_H
#define TORNAX_CLIENT_FOLLOW_H

#include <optional>
#include <string>
#include <vector>

#include "client/connection.h"
#include "client/options.h"
#include "client/reactions.h"

namespace tornax {

// A daemon to follow, resolved: its name in messages, its addresses, and
// the key its lines must carry (none: the plain stream).
struct FollowedSupply {
  std::string name;
  std::vector<ServerAddress> addresses;
  std::optional<StatusKey> key;
};

// Follows `supplies` until each has used up its reconnect attempts
// (settings.reconnect_remain each). One supply: the single daemon's loop,
// whose key is settings.key. Returns the exit status: 0 once the attempts
// are used up; 1 for an unknown protocol (with one daemon at once, with
// several once all have ended) or, with one daemon, when no socket can be
// made. Messages go to the standard streams.
int follow_supplies(const AlertSettings &settings, const std::vector<FollowedSupply> &supplies,
                    AlertActions &actions, const ConnectionLimits &limits = {});

// Follows one server on the connected descriptor `fd` (the caller keeps it
// and closes it) as the single daemon's loop does, until the connection
// ends. `state` carries the values and counters across sessions.
Session follow_session(int fd, const AlertSettings &settings, ClientState &state,
                       AlertActions &actions, const ConnectionLimits &limits = {});

}  // namespace tornax

#endif  // TORNAX_CLIENT_FOLLOW_H
