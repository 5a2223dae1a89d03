#!/usr/bin/env bash
# Glass-to-glass latency of a sharing session, with baselines measured in the same run.
#   bench/latency.sh [--seconds N] [--cases A,B...]
#     N: seconds recorded per case (default 30); --cases runs only the named cases (default all)
# Builds what it needs (into QUORLINTH_BUILD_DIR, default build/), then, inside a private
# network namespace holding only loopback: a 1920×1080 Xvfb with the latency probe on it, the
# real account service, coturn, and `quorlinth-cli share --source x11 --allow-input` as the
# sharing host; the controller is the real client running inside latency_bench. Cases:
#   sharp_direct     quality sharp, direct route, moving content
#   sharp_paint      sharp_direct read once the application's remote view painted each picture
#                    (off screen, at the view's refresh tick): adds the view's wait and drawing
#   standard_relay   quality standard, forced relay through coturn, moving content
#   static           quality sharp, direct route, only the probe's clock changes
#   floor_sharp      the same capture → encoder settings → decoder in one process (sharp, direct)
#   floor_standard   the same for standard on a relay route's profile
#   floor_paced      floor_sharp fed as the share host feeds its encoder (newest picture, 33 ms pulse)
#   vnc              x11vnc on the same display, read by a libvncclient viewer
#   impaired_8m      sharp_direct over an impaired link: 8 Mbit/s, 40 ms round trip, 1 % loss
#   drop_20_to_3     sharp_direct over a 20 Mbit/s link (40 ms round trip) that drops to 3 Mbit/s
#                    ten seconds into the recording
# The impaired links: this kernel has no netem, so the controller runs in a namespace of its
# own behind link_emulator (tests/integration/rtc), a user-space link between two TUN devices.
# Prints every figure as `name value unit`, then a table, the p50 of each stage a frame passes
# (for our cases from both processes' media traces, joined by RTP timestamp; for the floor from
# its own timestamps), and the ratios ours/floor, ours/VNC.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORLINTH_BUILD_DIR:-$root/build}"
seconds=30
cases=all
inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --cases) cases="$2"; shift 2 ;;
    --inside) inside=1; shift ;;
    *) echo "usage: $0 [--seconds N] [--cases A,B...]" >&2; exit 2 ;;
  esac
done
[[ "$seconds" =~ ^[0-9]+$ ]] && [ "$seconds" -ge 1 ] || { echo "--seconds takes a whole number ≥ 1" >&2; exit 2; }

if [ "$inside" = 0 ]; then
  QUORLINTH_BUILD_DIR="$build" "$root/scripts/build" quorlinth-service quorlinth-cli latency_bench latency_probe \
    link_emulator >&2
  QUORLINTH_BUILD_DIR="$build" exec "$root/scripts/netns" -- "$(readlink -f "$0")" --inside --seconds "$seconds" --cases "$cases"
fi

# ---- inside the namespace ------------------------------------------------------------------
service="$build/service/quorlinth-service"
cli="$build/src/app/quorlinth-cli"
bench="$build/bench/latency/latency_bench"
probe="$build/bench/latency/latency_probe"
emulator="$build/tests/integration/rtc/link_emulator"
source "$root/tests/support/session.sh"
results="$work/results.txt"
stop() { # PID: ends one process this script started and waits for it
  kill -INT "$1" 2>/dev/null || true
  for _ in $(seq 1 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

start_xvfb 1920x1080

start_relay

# On every address: the impaired cases' controller reaches it across the emulated link.
start_service alice 'correct horse battery' --dev --ice-config "$work/ice.json" --listen 0.0.0.0:0
base="${base/0.0.0.0/127.0.0.1}"
as host login alice 'correct horse battery' >/dev/null || fail "host login"
as viewer login alice 'correct horse battery' >/dev/null || fail "viewer login"
host_id="$(as host whoami | cut -f2)"

start_probe() { # [--static]
  if ! kill -0 "$xserver" 2>/dev/null; then
    wait "$xserver" && status=0 || status=$?
    fail "the X server exited (status $status)"
  fi
  "$probe" "$@" >"$work/probe.out" 2>&1 &
  probe_pid=$!
  pids+=("$probe_pid")
  wait_for "$work/probe.out" "probe ready" 10 || fail "the probe did not start"
}
measure() { # CASE COMMAND...: runs one measuring command, keeping its figures
  echo "== $1" >&2
  shift
  "$@" | tee -a "$results" || fail "case failed: $*"
}

ours() { # CASE PROBE-FLAGS -- SHARE-FLAGS...   ($viewer_flags: more flags for the viewer)
  local name="$1" probe_flags="$2"; shift 3
  start_probe $probe_flags
  # Both processes trace each frame's stages (the engine's QUORLINTH_MEDIA_TRACE); the bench
  # joins the two traces into per-stage timings.
  local host_trace="$work/trace-host-$name" viewer_trace="$work/trace-viewer-$name"
  QUORLINTH_MEDIA_TRACE="$host_trace" in_background host share --accept-all --source x11 --allow-input \
    --ice-address 127.0.0.1 "$@" >"$work/share-$name.out" 2>&1
  local host_pid="${pids[-1]}"
  wait_for "$work/share-$name.out" "信令已连接" 20 || fail "$name: the host did not reach the signaling service"
  measure "$name" env QUORLINTH_MEDIA_TRACE="$viewer_trace" $(homes viewer) "$bench" cloud --service "$base" \
    --device "$host_id" --case "$name" --seconds "$seconds" --host-pid "$host_pid" --xserver-pid "$xserver" \
    --host-trace "$host_trace" --viewer-trace "$viewer_trace" ${viewer_flags:-}
  stop "$host_pid"
  stop "$probe_pid"
}

floor() { # CASE FLOOR-FLAGS...
  local name="$1"; shift
  start_probe
  measure "$name" "$bench" floor --case "$name" --seconds "$seconds" --xserver-pid "$xserver" "$@"
  stop "$probe_pid"
}

impaired() { # CASE RATE_BPS ONE_WAY_DELAY_MS LOSS_PERCENT [DROP_TO_BPS]
  local name="$1" rate="$2" delay="$3" loss="$4" drop_to="${5:-}"
  rm -f "$work/link.in"
  mkfifo "$work/link.in"
  "$emulator" --rate "$rate" --delay "$delay" --loss "$loss" <"$work/link.in" >"$work/link-$name.out" 2>&1 &
  local link_pid=$!
  pids+=("$link_pid")
  exec 7>"$work/link.in" # held open: the emulator runs until it closes
  wait_for "$work/link-$name.out" '"ready"' 10 || fail "$name: the link emulator did not start"
  local far=(nsenter "--net=/proc/$link_pid/ns/net") far_base="${base/127.0.0.1/10.77.0.1}"
  with_homes far "${far[@]}" "$cli" --service "$far_base" login alice 'correct horse battery' >/dev/null ||
    fail "$name: login across the link"
  start_probe
  local host_trace="$work/trace-host-$name" viewer_trace="$work/trace-viewer-$name"
  QUORLINTH_MEDIA_TRACE="$host_trace" in_background host share --accept-all --source x11 --allow-input \
    --ice-address 10.77.0.1 --quality sharp >"$work/share-$name.out" 2>&1
  local host_pid="${pids[-1]}"
  wait_for "$work/share-$name.out" "信令已连接" 20 || fail "$name: the host did not reach the signaling service"
  local drop=()
  [ -n "$drop_to" ] && drop=(--link-control "$work/link.in" --drop-to "$drop_to" --drop-after 10)
  measure "$name" env QUORLINTH_MEDIA_TRACE="$viewer_trace" $(homes far) "${far[@]}" "$bench" cloud \
    --service "$far_base" --ice-address 10.77.0.2 --device "$host_id" --case "$name" --seconds "$seconds" \
    --host-pid "$host_pid" --xserver-pid "$xserver" --host-trace "$host_trace" --viewer-trace "$viewer_trace" \
    "${drop[@]}"
  stop "$host_pid"
  stop "$probe_pid"
  exec 7>&-
  stop "$link_pid"
}

vnc() {
  start_probe
  x11vnc -display "$DISPLAY" -rfbport 5977 -localhost -nopw -shared -forever -noipv6 >"$work/x11vnc.out" 2>&1 &
  local vnc_pid=$!
  pids+=("$vnc_pid")
  wait_for "$work/x11vnc.out" "PORT=5977" 20 || fail "x11vnc did not start"
  measure vnc "$bench" vnc --case vnc --port 5977 --seconds "$seconds" --host-pid "$vnc_pid" --xserver-pid "$xserver"
  stop "$vnc_pid"
  stop "$probe_pid"
}

wanted() { [ "$cases" = all ] || [[ ",$cases," == *",$1,"* ]]; }
wanted sharp_direct && ours sharp_direct "" -- --quality sharp
wanted sharp_paint && viewer_flags=--paint ours sharp_paint "" -- --quality sharp
wanted standard_relay && ours standard_relay "" -- --quality standard --relay
wanted static && ours static --static -- --quality sharp
wanted floor_sharp && floor floor_sharp --quality sharp
wanted floor_standard && floor floor_standard --quality standard --relay
wanted floor_paced && floor floor_paced --quality sharp --paced
wanted vnc && vnc
wanted impaired_8m && impaired impaired_8m 8000000 20 1
wanted drop_20_to_3 && impaired drop_20_to_3 20000000 20 0 3000000

awk -f "$root/bench/latency/summary.awk" "$results"
