#!/usr/bin/env bash
# Peers that vanish without a word, inside a private network namespace (run through
# scripts/netns): the real service, a sharing host and controllers as separate processes.
# A controller killed with SIGKILL mid-stream leaves the host idle, ready for the next
# controller within 35 s; a host killed mid-stream is reported by the controller in words.
set -euo pipefail
bin="${QUORLINTH_BINARY_DIR:?}"
here="$(cd "$(dirname "$0")" && pwd)"
service="$bin/service/quorlinth-service"
cli="$bin/src/app/quorlinth-cli"
source "$here/../../support/session.sh"

start_service alice 'correct horse battery' --dev
as host login alice 'correct horse battery' >/dev/null || fail "host login"
as viewer login alice 'correct horse battery' >/dev/null || fail "viewer login"
host_id="$(as host whoami | cut -f2)"

start_host() { # OUTPUT: sets $host_pid
  in_background host share --source pattern --accept-all --ice-address 127.0.0.1 --pattern-size 640x360 >"$work/$1" 2>&1
  host_pid=$!
  wait_for "$work/$1" "信令已连接" 20 "$host_pid" || fail "host did not reach the signaling service"
}

start_viewer() { # OUTPUT: a controller streaming until killed; sets $viewer_pid
  in_background viewer connect "$host_id" --ice-address 127.0.0.1 --seconds 120 >"$work/$1" 2>&1
  viewer_pid=$!
  wait_for "$work/$1" "已连接 · 直连" 30 "$viewer_pid" || fail "the controller did not start streaming"
}

# The controller vanishes: the next one gets frames within 35 s of the kill.
start_host share.out
start_viewer killed-viewer.out
sleep 2
kill -KILL "$viewer_pid"
killed_at=$SECONDS
attempt=0
until as viewer connect "$host_id" --ice-address 127.0.0.1 --frames 30 --seconds 20 >"$work/next-$attempt.out" 2>&1; do
  [ $((SECONDS - killed_at)) -lt 35 ] || fail "no new controller got frames within 35 s of the kill"
  attempt=$((attempt + 1))
  sleep 1
done
[ $((SECONDS - killed_at)) -le 35 ] || fail "the next controller got frames only $((SECONDS - killed_at)) s after the kill"
echo "next controller streaming $((SECONDS - killed_at)) s after the kill, attempt $((attempt + 1))"

# The host vanishes: the controller says so and ends.
start_viewer orphaned-viewer.out
sleep 2
kill -KILL "$host_pid"
wait_for "$work/orphaned-viewer.out" "对方的网络信令已断开，请稍后重新连接" 30 || fail "the controller did not report the vanished host"
for _ in $(seq 1 100); do kill -0 "$viewer_pid" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$viewer_pid" 2>/dev/null || fail "the controller kept running after reporting the vanished host"
if wait "$viewer_pid"; then fail "the controller exited successfully after losing its host"; fi

echo "1 passed, 0 failed"
