#!/usr/bin/env bash
# Soak: one sharing host and one controller, connected and disconnected CYCLES times (default
# 1000), as real processes inside a private network namespace holding only loopback. Prints
# the host's open descriptors, threads and resident memory after the first and the last
# cycle, as `name value unit` lines.
#   bench/soak/soak.sh [CYCLES]      (QUORLINTH_BINARY_DIR defaults to build/)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
if [ -z "${QUORLINTH_NETNS:-}" ]; then
  exec "$root/scripts/netns" "$0" "$@"
fi
cycles="${1:-1000}"
bin="${QUORLINTH_BINARY_DIR:-$root/build}"
service="$bin/service/quorlinth-service"
cli="$bin/src/app/quorlinth-cli"
source "$root/tests/support/session.sh"

# One controller opens a session every second or two: lift the per-minute limit on that.
start_service alice 'correct horse battery' --dev --set session_request_limit=1000000
as host login alice 'correct horse battery' >/dev/null || fail "host login"
as viewer login alice 'correct horse battery' >/dev/null || fail "viewer login"
host_id="$(as host whoami | cut -f2)"
in_background host share --source pattern --accept-all --ice-address 127.0.0.1 --pattern-size 640x360 >"$work/share.out" 2>&1
host_pid=$!
wait_for "$work/share.out" "信令已连接" 20 "$host_pid" || fail "host did not reach the signaling service"

sample() { # LABEL: the host's descriptors, threads and resident memory
  echo "host_fds_$1 $(ls "/proc/$host_pid/fd" | wc -l) count"
  echo "host_threads_$1 $(awk '/^Threads:/ {print $2}' "/proc/$host_pid/status") count"
  echo "host_rss_$1 $(awk '/^VmRSS:/ {print $2}' "/proc/$host_pid/status") KiB"
}

failures=0
started=$SECONDS
for cycle in $(seq 1 "$cycles"); do
  if ! kill -0 "$host_pid" 2>/dev/null; then
    status=0
    wait "$host_pid" || status=$?
    fail "the host ended in cycle $cycle with status $status"
  fi
  # A host that has not yet seen the last session end answers busy: try again shortly.
  for try in 1 2 3 4 5; do
    if as viewer connect "$host_id" --ice-address 127.0.0.1 --frames 3 --seconds 20 >"$work/connect.out" 2>&1; then
      break
    fi
    [ "$try" -lt 5 ] || { failures=$((failures + 1)); cp "$work/connect.out" "$work/failed-$cycle.out"; }
    sleep 0.5
  done
  if [ "$cycle" -eq 1 ]; then sleep 1 && sample first; fi
  if [ $((cycle % 100)) -eq 0 ]; then
    echo "# $cycle cycles, $failures failed, host rss $(awk '/^VmRSS:/ {print $2}' "/proc/$host_pid/status") KiB" >&2
  fi
done
sleep 1
sample last
echo "cycles $cycles count"
echo "failed_cycles $failures count"
echo "cycle_time $(((SECONDS - started) * 1000 / cycles)) ms"
