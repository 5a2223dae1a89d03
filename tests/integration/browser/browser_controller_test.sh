#!/usr/bin/env bash
# Headless Chromium controls a real sharing host (run through scripts/netns --veth): the real
# service, `quorlinth-cli share` with the synthetic screen, and tests/browser/controller.mjs
# signed in as a second device of the same account. Passes when the page decoded enough frames
# at the host's size and the host accepted the page's pointer, key and text messages.
set -euo pipefail
bin="${QUORLINTH_BINARY_DIR:?}"
source_dir="${QUORLINTH_SOURCE_DIR:?}"
node="${NODE_PROGRAM:-node}"
driver="$source_dir/tests/browser/controller.mjs"
service="$bin/service/quorlinth-service"
cli="$bin/src/app/quorlinth-cli"
password='correct horse battery'
size=1280x720

modules="$source_dir/tests/browser/node_modules"
if [ ! -d "$modules/playwright-core" ] || [ ! -d "$modules/ws" ]; then
  echo "playwright-core or ws is not installed (run npm install in tests/browser)"
  exit 77
fi

source "$source_dir/tests/support/session.sh"

start_service alice "$password" --dev
as host login alice "$password" >/dev/null || fail "host login"
host_id="$(as host whoami | cut -f2)"
in_background host share --accept-all --ice-address 127.0.0.1 --print-control --source pattern \
  --pattern-size "$size" >"$work/share.out" 2>&1
wait_for "$work/share.out" "信令已连接" 20 || fail "host did not reach the signaling service"

# The driver holds the session until its standard input closes: the host's output is checked
# while the session is still up, then closing fd 3 ends it.
mkfifo "$work/hold"
QUORLINTH_TEST_PASSWORD="$password" "$node" "$driver" --service "$base" --user alice --device "$host_id" \
  --expect-size "$size" --frames 30 <"$work/hold" >"$work/driver.out" 2>&1 &
driver_pid=$!
pids+=("$driver_pid")
exec 3>"$work/hold"

wait_for "$work/driver.out" "^控制已发送" 60 "$driver_pid" ||
  fail "the page did not get its frames or could not send input"
# The channel is ordered: once the text is in, everything sent before it is too.
wait_for "$work/share.out" "^控制 text\$" 10 || fail "host did not accept the page's text message"
accepted="$(grep "^控制 " "$work/share.out" | cut -d' ' -f2 | paste -sd' ')"
[ "$accepted" = "move pointer pointer key text" ] || fail "host accepted \"$accepted\""
exec 3>&-
wait "$driver_pid" || fail "driver failed"
grep -q "^PASS" "$work/driver.out" || fail "driver did not pass"
wait_for "$work/share.out" "状态 会话结束" 10 || fail "host did not see the session end"

cat "$work/driver.out"
echo "1 passed, 0 failed"
