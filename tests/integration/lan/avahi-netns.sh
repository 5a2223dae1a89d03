#!/usr/bin/env bash
# Runs a command inside fresh network and mount namespaces holding `lo`, a veth pair and a
# private D-Bus system bus with its own Avahi daemon, so multicast DNS and ICE never leave
# this machine and never meet the host's daemons. Inside, QUORLINTH_NETNS=1 and
# QUORLINTH_AVAHI_NETNS=1.
#   avahi-netns.sh command [args...]
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
  self="$(readlink -f "$0")"
  if [ "$(id -u)" = 0 ]; then
    exec unshare --net --mount --propagation private -- "$self" --inside "$@"
  fi
  exec unshare -rn --mount --propagation private -- "$self" --inside "$@"
fi
shift

ip link set lo up
ip link add v0 type veth peer name v1
ip addr add 10.213.0.1/24 dev v0
ip addr add 10.213.0.2/24 dev v1
ip link set v0 up
ip link set v1 up
ip route add default via 10.213.0.2 dev v0

# A private /run: the daemons' sockets and pid files, nothing of the host's.
mount -t tmpfs tmpfs /run
mkdir -p /run/dbus /run/avahi-daemon

daemons=()
stop_daemons() {
  for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${daemons[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_daemons EXIT

dbus-daemon --system --nofork --nopidfile 2>/dev/null &
daemons+=($!)
for _ in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.05; done
avahi-daemon --no-drop-root --no-chroot --no-rlimits -f /etc/avahi/avahi-daemon.conf >/dev/null 2>&1 &
daemons+=($!)
for _ in $(seq 200); do avahi-daemon --check 2>/dev/null && break; sleep 0.05; done

export QUORLINTH_NETNS=1 QUORLINTH_AVAHI_NETNS=1
status=0
"$@" || status=$?
exit "$status"
