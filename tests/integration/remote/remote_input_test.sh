#!/usr/bin/env bash
# Remote control end to end inside a private network namespace (scripts/netns): the real service,
# an Xvfb with an X client that reports what reaches it (remote_probe), `quorlinth-cli share
# --source x11 --allow-input` on that display, and `quorlinth-cli connect --input-script` that
# clicks into a window, types "Hello, 世界", drags a window and right-clicks.
# The same script runs over the cloud and over the LAN: the person sees the same status lines
# and the same picture, and the host's X server receives the same input. Then the controller's
# signaling is cut mid-session, and the service is stopped mid-session: the picture goes on.
set -euo pipefail
bin="${QUORLINTH_BINARY_DIR:?}"
here="$(cd "$(dirname "$0")" && pwd)"
service="$bin/service/quorlinth-service"
cli="$bin/src/app/quorlinth-cli"
probe="$bin/tests/integration/remote/remote_probe"
png_probe="$here/../session/png_probe.py"
source "$here/../../support/session.sh"

start_service alice 'correct horse battery' --dev
start_xvfb 1280x720

as host login alice 'correct horse battery' >/dev/null || fail "host login"
as viewer login alice 'correct horse battery' >/dev/null || fail "viewer login"
host_id="$(as host whoami | cut -f2)"
in_background host share --source x11 --allow-input --accept-all --ice-address 127.0.0.1 >"$work/share.out" 2>&1
wait_for "$work/share.out" "信令已连接" 20 || fail "host did not reach the signaling service"
wait_for "$work/share.out" "配对密码 " 20 || fail "host printed no LAN pairing password"
lan_password="$(sed -n 's/.*配对密码 \([^ ]*\).*/\1/p' "$work/share.out" | tail -n 1)"

cat >"$work/input.txt" <<'SCRIPT'
# Click into the text window, then type.
move 0.25 0.5
click
type Hello, 世界
# Drag the small window by its body, then right-click the text window.
drag 0.1 0.1 0.5 0.3
move 0.75 0.75
click right
wait 300
SCRIPT

probe_pid=""
start_probe() { # NAME: a fresh probe (its small window back in place, nothing typed yet)
  if [ -n "$probe_pid" ]; then kill "$probe_pid" && wait "$probe_pid" 2>/dev/null || true; fi
  "$probe" >"$work/$1.probe.out" 2>&1 &
  probe_pid=$!
  pids+=("$probe_pid")
  wait_for "$work/$1.probe.out" "^ready 1280x720" 10 "$probe_pid" || fail "the probe did not start"
}

near() { # A B: within 2 pixels
  local d=$(($1 - $2))
  [ "${d#-}" -le 2 ]
}

check_probe() { # NAME: the host's X server received exactly the script's input
  local out="$work/$1.probe.out" b x y
  read -r b x y < <(grep "^press 1 " "$out" | head -n 1 | cut -d' ' -f2-) || fail "$1: no left click"
  near "$x" 320 && near "$y" 360 || fail "$1: left click at $x,$y instead of 320,360"
  grep -q "^focus$" "$out" || fail "$1: the click did not focus the text window"
  [ "$(grep "^typed " "$out" | tail -n 1)" = "typed Hello, 世界" ] ||
    fail "$1: typed '$(grep "^typed " "$out" | tail -n 1)' instead of 'Hello, 世界'"
  read -r x y < <(grep "^window " "$out" | tail -n 1 | cut -d' ' -f2-) || fail "$1: the window was not dragged"
  near "$x" 576 && near "$y" 180 || fail "$1: the dragged window is at $x,$y instead of 576,180"
  read -r b x y < <(grep "^press 3 " "$out" | head -n 1 | cut -d' ' -f2-) || fail "$1: no right button press"
  near "$x" 960 && near "$y" 540 || fail "$1: right click at $x,$y instead of 960,540"
  grep -q "^release 3 " "$out" || fail "$1: the right button was not released"
  [ "$(grep -c "^press 2 " "$out")" = 0 ] || fail "$1: a middle button arrived"
}

# What the person reads once the picture is there, the same whichever way it came. The route
# line is left out: a short session may end before the first route check reports.
seen_after_picture() { # OUTPUT
  sed -n '/^画面 /,$p' "$1" | grep -E "^(状态|画面|已保存)" | grep -v "^状态 已连接 · " | sed "s|$work/||" | sort
}

check_picture() { # NAME: the saved picture shows the small window where it was dragged
  local colours
  colours="$(python3 "$png_probe" "$work/$1.png" 656,225 144,81 640,600)"
  echo "$colours" | grep -q "^size 1280x720$" || fail "$1: picture size: $colours"
  echo "$colours" | tail -n +2 | while read -r point r g b; do
    case "$point" in
    656,225) want="255 204 0" ;;
    *) want="51 102 153" ;;
    esac
    read -r wr wg wb <<<"$want"
    for pair in "$r $wr" "$g $wg" "$b $wb"; do
      read -r got exp <<<"$pair"
      d=$((got - exp))
      [ "${d#-}" -le 40 ] || { echo "$1: $point is ($r $g $b), expected ($want)" >"$work/picture.err"; exit 1; }
    done
  done || fail "$(cat "$work/picture.err")"
}

# --- Over the cloud.
start_probe cloud
as viewer connect "$host_id" --ice-address 127.0.0.1 --input-script "$work/input.txt" --seconds 90 \
  --save "$work/cloud.png" >"$work/cloud.out" 2>&1 || fail "connect over the cloud"
for line in "画面 1280 × 720" "状态 已连接" "状态 输入脚本已完成"; do
  grep -q "^$line$" "$work/cloud.out" || fail "cloud: no line '$line'"
done
check_probe cloud
check_picture cloud
! grep -q "世界" "$work/share.out" || fail "typed text reached the host's output"

# --- Over the LAN, with the pairing password.
start_probe lan
as viewer connect --lan 127.0.0.1 --lan-password "$lan_password" --ice-address 127.0.0.1 \
  --input-script "$work/input.txt" --seconds 90 --save "$work/lan.png" >"$work/lan.out" 2>&1 ||
  fail "connect over the LAN"
check_probe lan
check_picture lan
diff <(seen_after_picture "$work/cloud.out" | sed 's/cloud/X/') <(seen_after_picture "$work/lan.out" | sed 's/lan/X/') \
  >"$work/same.out" 2>&1 || fail "cloud and LAN sessions read differently: $(cat "$work/same.out")"
grep -q "^状态 已连接$" "$work/lan.out" || fail "LAN: never connected"

# --- The controller's signaling drops mid-session (a relay in front of the service cuts it):
# the picture goes on.
python3 "$here/signal_cut_relay.py" "${base##*:}" >"$work/relay.out" 2>&1 &
relay=$!
pids+=("$relay")
wait_for "$work/relay.out" "^[0-9]" 10 "$relay" || fail "the relay did not start"
relayed="http://127.0.0.1:$(head -n 1 "$work/relay.out")"
with_homes cutter "$cli" --service "$relayed" login alice 'correct horse battery' >/dev/null || fail "login via relay"
with_homes cutter "$cli" --service "$relayed" connect "$host_id" --ice-address 127.0.0.1 --frames 150 --seconds 60 \
  --verbose >"$work/cut.out" 2>&1 &
cutter=$!
pids+=("$cutter")
wait_for "$work/cut.out" "^画面 " 30 "$cutter" || fail "cut: no picture before the cut"
kill -USR1 "$relay"
wait "$cutter" || fail "the session ended when its signaling dropped"
grep -q "signal lost while streaming" "$work/cut.out" || fail "cut: the signaling was never lost"
# Only now does the service hear the controller is gone, and ends the host's session.
ended="$(grep -c "^状态 会话结束" "$work/share.out" || true)"
kill "$relay"
for _ in $(seq 100); do [ "$(grep -c "^状态 会话结束" "$work/share.out")" -gt "$ended" ] && break; sleep 0.1; done

# --- The service stops in the middle of a LAN session: the picture goes on.
start_probe stop
as viewer connect --lan 127.0.0.1 --lan-password "$lan_password" --ice-address 127.0.0.1 --frames 150 \
  --seconds 60 >"$work/stop.out" 2>&1 &
viewer=$!
pids+=("$viewer")
wait_for "$work/stop.out" "^画面 " 30 "$viewer" || fail "stop: no picture before the service stopped"
kill "${pids[0]}"
wait "${pids[0]}" 2>/dev/null || true
wait "$viewer" || fail "the LAN session ended when the service stopped"

# --- The service stops in the middle of a cloud session: the picture goes on there too. The
# service comes back on the same address first, and the host signs in to it again.
signed_in="$(grep -c "信令已连接" "$work/share.out")"
"$service" --listen "${base#http://}" --db "$work/service.sqlite" --dev >"$work/service2.out" 2>&1 &
pids+=($!)
for _ in $(seq 300); do [ "$(grep -c "信令已连接" "$work/share.out")" -gt "$signed_in" ] && break; sleep 0.1; done
[ "$(grep -c "信令已连接" "$work/share.out")" -gt "$signed_in" ] || fail "the host did not sign in again"
as viewer connect "$host_id" --ice-address 127.0.0.1 --frames 150 --seconds 60 >"$work/cloudstop.out" 2>&1 &
viewer=$!
pids+=("$viewer")
wait_for "$work/cloudstop.out" "^画面 " 30 "$viewer" || fail "cloud stop: no picture before the service stopped"
kill "${pids[-2]}"
wait "$viewer" || fail "the cloud session ended when the service stopped"

echo "1 passed, 0 failed"
