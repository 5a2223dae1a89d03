#!/usr/bin/env bash
# Files and clipboard through the real programs, inside a private network namespace (run through
# scripts/netns): `connect --send` delivers files of several sizes and awkward names into the
# sharing side's download folder, a second copy is numbered, a sharing side that does not allow
# transfer refuses with its reason, 100 MiB crosses a TURN relay while a larger file is held
# back, and `connect --clipboard` keeps text and images in step between two X displays both ways.
set -euo pipefail
bin="${QUORLINTH_BINARY_DIR:?}"
here="$(cd "$(dirname "$0")" && pwd)"
service="$bin/service/quorlinth-service"
cli="$bin/src/app/quorlinth-cli"
source "$here/../../support/session.sh"

start_relay
start_service alice 'correct horse battery' --dev --ice-config "$work/ice.json"
for role in host viewer; do
  as "$role" login alice 'correct horse battery' >/dev/null || fail "$role login"
done
host_id="$(as host whoami | cut -f2)"
received="$work/host-downloads/Quorlinth"

share() { # OUTPUT ARGS...: a share in the background that accepts every request
  local out="$1"; shift
  XDG_DOWNLOAD_DIR="$work/host-downloads" in_background host share --accept-all --ice-address 127.0.0.1 "$@" \
    </dev/null >"$work/$out" 2>&1
  share_pid=$!
  wait_for "$work/$out" "信令已连接" 20 "$share_pid" || fail "host did not reach the signaling service"
}

send() { # OUTPUT FILES...: connect and send the files
  local out="$1"; shift
  XDG_DOWNLOAD_DIR="$work/viewer-downloads" as viewer connect "$host_id" --ice-address 127.0.0.1 --seconds 90 \
    --send "$@" >"$work/$out" 2>&1
}

# Files of 0 B, 1 B, 64 KiB + 1 and 100 MiB + 1 (allowed on this direct route only), a name with a
# colon and one that starts with dots.
mkdir -p "$work/files"
: >"$work/files/empty"
printf 'x' >"$work/files/one"
head -c 65537 /dev/urandom >"$work/files/chunk+1"
head -c $(((100 << 20) + 1)) /dev/urandom >"$work/files/large.bin" # over the relay limit: direct only
printf 'colon' >"$work/files/x:y"
printf 'dots' >"$work/files/..hidden"

as host settings allow-transfer on >/dev/null || fail "settings allow-transfer on"
share share.out --source pattern --pattern-size 640x360
send send.out "$work/files/empty" "$work/files/one" "$work/files/chunk+1" "$work/files/large.bin" \
  "$work/files/x:y" "$work/files/..hidden" || fail "connect --send"
for name in empty one chunk+1 large.bin; do
  cmp -s "$work/files/$name" "$received/$name" || fail "$name did not arrive intact"
  grep -q "^传输 已发送 $name，保存在对方的“下载/Quorlinth”" "$work/send.out" || fail "no note for $name"
done
grep -q "^发送 large.bin 100% [0-9.]* MB/s$" "$work/send.out" || fail "no progress line with a rate"
grep -q "^传输 已收到 large.bin，" "$work/share.out" || fail "the sharing side did not say what it received"
# Awkward names stay inside the folder, visible and readable.
[ "$(cat "$received"/x*y)" = colon ] || fail "the name with a colon was lost"
[ "$(find "$work" -name '..hidden' -path '*host-downloads*' | wc -l)" = 0 ] || fail "a dotted name stayed hidden"
[ -z "$(find "$work/host-downloads" -mindepth 1 -not -path "$received*")" ] || fail "a file escaped the folder"
[ -z "$(find "$received" -name '.*')" ] || fail "a hidden partial file was left behind"

# The same file again is numbered, not overwritten.
send again.out "$work/files/one" || fail "second send"
[ -f "$received/one (2)" ] || fail "the second copy was not numbered: $(ls "$received")"

# A missing file is refused before connecting, naming it.
if send missing.out "$work/files/nothing-here"; then fail "a missing file was accepted"; fi
grep -q "无法发送 .*nothing-here：文件不存在" "$work/missing.out" || fail "the missing file was not named"

# A sharing side that does not allow transfer refuses with its reason.
kill "$share_pid"; wait "$share_pid" 2>/dev/null || true
as host settings allow-transfer off >/dev/null || fail "settings allow-transfer off"
share share-off.out --source pattern --pattern-size 640x360
if send off.out "$work/files/one"; then fail "a file went to a side that does not allow transfer"; fi
grep -q "^传输 对方未开启“允许剪贴板与文件传输”" "$work/off.out" || fail "the refusal was not explained"
kill "$share_pid"; wait "$share_pid" 2>/dev/null || true

# Through the TURN relay: exactly 100 MiB goes, one byte more is held back with the reason.
as host settings allow-transfer on >/dev/null || fail "settings allow-transfer on"
share share-relay.out --source pattern --pattern-size 640x360 --relay
head -c $((100 << 20)) /dev/urandom >"$work/files/relay-limit.bin"
ln "$work/files/large.bin" "$work/files/over-limit.bin"
send relay.out "$work/files/relay-limit.bin" "$work/files/over-limit.bin" || true
cmp -s "$work/files/relay-limit.bin" "$received/relay-limit.bin" || fail "100 MiB did not cross the relay intact"
grep -q "^传输 over-limit.bin 超过 100 MB，中转连接下暂不发送；直连时不限大小" "$work/relay.out" ||
  fail "the file over the relay limit was not held back with its reason"
[ ! -e "$received/over-limit.bin" ] || fail "a file over the relay limit crossed the relay"
grep -q "route=relay" "$work/share-relay.out" || fail "the session did not go through the relay"
kill "$share_pid"; wait "$share_pid" 2>/dev/null || true

# Clipboard both ways between two X displays, without echo.
as host settings allow-transfer on >/dev/null
start_display() { # NAME: a virtual X display of its own; sets $display
  Xvfb -displayfd 3 -screen 0 640x360x24 -nolisten tcp -noreset 3>"$work/$1.display" >"$work/$1-xvfb.log" 2>&1 &
  pids+=($!)
  wait_for "$work/$1.display" "[0-9]" 15 || fail "Xvfb for $1 did not start"
  display=":$(head -n 1 "$work/$1.display")"
}
start_display host; host_display="$display"
start_display viewer; viewer_display="$display"
DISPLAY="$host_display" share share-x11.out --source x11
DISPLAY="$viewer_display" XDG_DOWNLOAD_DIR="$work/viewer-downloads" in_background viewer connect "$host_id" \
  --ice-address 127.0.0.1 --seconds 120 --clipboard >"$work/clipboard.out" 2>&1
wait_for "$work/clipboard.out" "^画面 " 30 || fail "the clipboard session did not show a picture"

clipboard_becomes() { # DISPLAY TARGET EXPECTED-FILE: waits until that display's clipboard holds it
  for _ in $(seq 1 150); do
    if DISPLAY="$1" timeout 5 xclip -o -selection clipboard -t "$2" >"$work/clip.now" 2>/dev/null &&
      cmp -s "$work/clip.now" "$3"; then return 0; fi
    sleep 0.2
  done
  return 1
}
printf '来自控制端的文字' >"$work/to-host.txt"
copy() { # DISPLAY FILE [TARGET]: owns that display's clipboard with the file until cleanup
  DISPLAY="$1" xclip -quiet -selection clipboard -t "${3:-UTF8_STRING}" -i "$2" >/dev/null 2>&1 &
  pids+=($!)
}
copy "$viewer_display" "$work/to-host.txt"
clipboard_becomes "$host_display" UTF8_STRING "$work/to-host.txt" || fail "text did not reach the sharing side"
printf 'from the sharing side 共享端' >"$work/to-viewer.txt"
copy "$host_display" "$work/to-viewer.txt"
clipboard_becomes "$viewer_display" UTF8_STRING "$work/to-viewer.txt" || fail "text did not reach the controller"
# The controller's clipboard keeps what it received: no echo overwrote it meanwhile.
sleep 2
clipboard_becomes "$viewer_display" UTF8_STRING "$work/to-viewer.txt" || fail "the received text was replaced"
# Text far beyond one SCTP piece (64 KiB), lines of Chinese, both ways.
for line in $(seq 1 5500); do printf '第%05d行 大段剪贴板文字\n' "$line"; done >"$work/large-to-viewer.txt"
copy "$host_display" "$work/large-to-viewer.txt"
clipboard_becomes "$viewer_display" UTF8_STRING "$work/large-to-viewer.txt" || fail "large text did not reach the controller"
sed 's/行/列/' "$work/large-to-viewer.txt" >"$work/large-to-host.txt"
copy "$viewer_display" "$work/large-to-host.txt"
clipboard_becomes "$host_display" UTF8_STRING "$work/large-to-host.txt" || fail "large text did not reach the sharing side"
# An image copied on the controller arrives as PNG.
convert -size 64x48 gradient:red-blue "PNG:$work/copied.png"
copy "$viewer_display" "$work/copied.png" image/png
clipboard_becomes "$host_display" image/png "$work/copied.png" || fail "the image did not arrive as PNG"
! grep -q "来自控制端\|from the sharing side" "$work"/*.out || fail "clipboard text reached the output"

echo "1 passed, 0 failed"
