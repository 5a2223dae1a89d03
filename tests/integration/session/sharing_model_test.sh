#!/usr/bin/env bash
# The sharing model from the command line, inside a private network namespace (run through
# scripts/netns): trusted devices are let in unattended, others are refused without a terminal,
# a guest gets in with --accept-all, stopping withdraws the device code, one share per device,
# and the persisted settings (the login item among them) read back.
set -euo pipefail
bin="${QUORLINTH_BINARY_DIR:?}"
here="$(cd "$(dirname "$0")" && pwd)"
service="$bin/service/quorlinth-service"
cli="$bin/src/app/quorlinth-cli"
source "$here/../../support/session.sh"

start_service alice 'correct horse battery' --dev
for role in host trusted stranger; do
  as "$role" login alice 'correct horse battery' >/dev/null || fail "$role login"
done
host_id="$(as host whoami | cut -f2)"
trusted_id="$(as trusted whoami | cut -f2)"

share() { # OUTPUT ARGS...: a share in the background with no terminal to answer prompts
  local out="$1"; shift
  in_background host share --source pattern --pattern-size 640x360 --ice-address 127.0.0.1 "$@" \
    </dev/null >"$work/$out" 2>&1
  share_pid=$!
  wait_for "$work/$out" "信令已连接" 20 "$share_pid" || fail "host did not reach the signaling service"
}

share share.out --trust "$trusted_id" --pairing
wait_for "$work/share.out" "^设备码 [0-9]\{9\} 临时密码 [0-9a-f]\{16\}$" 20 || fail "no device code"
read -r _ code _ password < <(grep "^设备码 " "$work/share.out")

# One sharing process per device home.
if as host share --source pattern --seconds 5 </dev/null >"$work/second.out" 2>&1; then
  fail "a second share of the same device ran"
fi
grep -q "已经在共享" "$work/second.out" || fail "the second share did not say why it stopped"

as trusted connect "$host_id" --ice-address 127.0.0.1 --frames 10 --seconds 60 >"$work/trusted.out" 2>&1 ||
  fail "the trusted device was not let in"
grep -q "状态 已接受可信设备 " "$work/share.out" || fail "trusted acceptance not shown"

if as stranger connect "$host_id" --ice-address 127.0.0.1 --seconds 30 >"$work/stranger.out" 2>&1; then
  fail "an untrusted device got in without anyone answering"
fi
grep -q "已拒绝：.*--accept-all.*--trust" "$work/share.out" || fail "the refusal does not say what to do"

# Stopping sharing withdraws the device code at the service.
kill -TERM "$share_pid"
wait "$share_pid" || fail "share did not stop cleanly"
if as stranger connect --code "$code" --password "$password" --ice-address 127.0.0.1 --seconds 30 \
  >"$work/after-stop.out" 2>&1; then
  fail "the device code still worked after sharing stopped"
fi

# A guest by device code, let in by --accept-all.
share share2.out --accept-all --pairing
wait_for "$work/share2.out" "^设备码 " 20 || fail "no second device code"
read -r _ code _ password < <(grep "^设备码 " "$work/share2.out")
as stranger connect --code "$code" --password "$password" --ice-address 127.0.0.1 --frames 10 --seconds 60 \
  >"$work/guest.out" 2>&1 || fail "the guest was not let in"
grep -q "请求 .* guest" "$work/share2.out" || fail "host did not see a guest request"
kill -TERM "$share_pid"
wait "$share_pid" || true

# Settings persist per device home; the login item is an XDG autostart entry.
autostart="$work/host/config/autostart/quorlinth.desktop"
as host settings launch-at-login on >"$work/settings.out" 2>&1 || fail "settings launch-at-login on"
[ -f "$autostart" ] || fail "no autostart entry"
grep -q "^Exec=.*\"share\" \"--at-login\"" "$autostart" || fail "autostart entry does not share at login"
as host settings keep-awake off >/dev/null || fail "settings keep-awake off"
as host settings >"$work/settings.out" 2>&1 || fail "settings"
for line in "launch-at-login	on" "keep-awake	off" "trusted-devices	$trusted_id" "quality	native"; do
  grep -qx "$line" "$work/settings.out" || fail "settings do not show '$line'"
done
as host settings launch-at-login off >/dev/null || fail "settings launch-at-login off"
[ ! -e "$autostart" ] || fail "autostart entry left behind"
if as host settings quality best >"$work/bad.out" 2>&1; then fail "a bad quality was taken"; fi
grep -q "quality 只能是 native、sharp 或 standard" "$work/bad.out" || fail "bad quality not explained"

echo "1 passed, 0 failed"
