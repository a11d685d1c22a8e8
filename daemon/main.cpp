// tornax: the UPS monitoring daemon. Wires the real host into the daemon.
#include "daemon/host.h"
#include "daemon/monitor.h"

int main() {
  tornax::SystemHostActions host;
  tornax::daemon_main(host);
}
