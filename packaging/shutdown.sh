#!/bin/sh
# tornax runs this script (when it is readable and executable) as the first step
# of bringing the host down, before it stops every process and unmounts the file
# systems. Stop here, cleanly and in order, whatever must not simply be killed:
# databases, virtual machines, services that write large files.
#
# The script runs as root, with / as its working directory. tornax waits for it
# to end, so keep it short: the UPS battery is running down meanwhile.
# Its exit status is ignored.

PATH=/usr/sbin:/usr/bin:/sbin:/bin

# tornax-drill --run-script rehearses the shutdown with TORNAX_DRILL=1: say
# what would be stopped, and stop nothing.
if [ "${TORNAX_DRILL:-}" = 1 ]; then
  echo "a drill: the services would be stopped here"
  exit 0
fi

log() { logger -t tornax-shutdown -- "$*" 2>/dev/null || true; }

log "UPS shutdown: stopping services"

# Examples; uncomment and adapt.
# systemctl stop postgresql
# virsh list --name | while read -r vm; do [ -n "$vm" ] && virsh shutdown "$vm"; done
# sleep 20

log "UPS shutdown: services stopped"
exit 0
