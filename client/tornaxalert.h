// The tornaxalert program: start-up checks, the command line, the server's
// address, detaching from the terminal, then following the daemon until the
// reconnect attempts are used up or SIGTERM ends it.
#ifndef TORNAX_CLIENT_TORNAXALERT_H
#define TORNAX_CLIENT_TORNAXALERT_H

namespace tornax {

inline constexpr const char *alert_version = "1.40";

// The whole program. Returns its exit status: 0 after -h, in the parent
// after the fork and when the detached child has used up its reconnects; 1
// for every refused start and for an unknown protocol.
int tornaxalert_main(int argc, char **argv);

// SIGTERM handler of the detached client: writes "<title> stopped\n" on
// standard error and ends the process with status 0.
void kill_daemon(int signal_number);

}  // namespace tornax

#endif  // TORNAX_CLIENT_TORNAXALERT_H
