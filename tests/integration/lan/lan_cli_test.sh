#!/usr/bin/env bash
# LAN direct connection through the real programs, inside avahi-netns.sh (private network
# and mount namespaces, a veth pair, a private D-Bus and Avahi daemon). The account service
# runs only for the sign-ins and is gone before sharing starts: discovery, pairing, trust,
# video and the refusal of a reinstalled host all happen without it.
# Each computer runs in a UTS namespace of its own, so each has its own name.
set -euo pipefail
bin="${QUORLINTH_BINARY_DIR:?}"
here="$(cd "$(dirname "$0")" && pwd)"
service="$bin/service/quorlinth-service"
cli="$bin/src/app/quorlinth-cli"
source "$here/../../support/session.sh"
[ -n "${QUORLINTH_AVAHI_NETNS:-}" ] || fail "runs only inside avahi-netns.sh"

on_computer='hostname "$0" && exec "$@"'

named() { # NAME ROLE ARGS...: quorlinth-cli as that device, on a computer called NAME
  local name="$1" role="$2"; shift 2
  env $(homes "$role") unshare --uts sh -c "$on_computer" "$name" "$cli" --service "$base" "$@"
}

share_as() { # NAME ROLE [SHARE OPTIONS...] > OUTPUT: a LAN host sharing the test pattern
  # Started directly, not through `named`: a function in the background is a subshell, and
  # $! must be the sharing process itself.
  local name="$1" role="$2"; shift 2
  env $(homes "$role") unshare --uts sh -c "$on_computer" "$name" "$cli" --service "$base" \
    share --source pattern --pattern-size 640x360 --ice-address 10.213.0.1 "$@" &
  pids+=($!)
}

lan_password() { # OUTPUT: the newest pairing password the share printed
  grep -o '配对密码 [0-9a-z]*' "$1" | tail -n 1 | cut -d' ' -f2
}

stop_pid() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# Sign-ins are the only use of the service; afterwards it is stopped for good.
start_service alice 'correct horse battery' --dev
service_pid="${pids[0]}"
for role in host reinstalled viewer; do
  as "$role" login alice 'correct horse battery' >/dev/null || fail "$role login"
done
stop_pid "$service_pid"

# Help and argument checks.
as viewer lan list --help >"$work/help.out" 2>&1 || fail "lan list --help"
grep -q -- "--seconds" "$work/help.out" || fail "lan list --help does not name --seconds"
if as viewer lan list --seconds 0 >"$work/zero.out" 2>&1; then fail "lan list took --seconds 0"; fi
grep -q "需要 1 到 600 之间的整数" "$work/zero.out" || fail "no usage text for --seconds 0"

# Without a discovery daemon the listing says so in Chinese.
if env $(homes viewer) unshare --mount sh -c 'mount -t tmpfs tmpfs /run && exec "$@"' sh \
  "$cli" lan list --seconds 1 >"$work/nodaemon.out" 2>&1; then
  fail "lan list succeeded without a discovery daemon"
fi
grep -q "系统的局域网发现服务（avahi-daemon）没有运行" "$work/nodaemon.out" || fail "no daemon not reported"

share_as studyroom host --accept-all >"$work/share.out" 2>&1
share_pid=$!
wait_for "$work/share.out" "共享已开始" 20 "$share_pid" || fail "sharing did not start without the service"
if ! wait_for "$work/share.out" "局域网 端口 47120" 10 "$share_pid"; then
  echo "SKIPPED: quorlinth-cli share runs no LAN host (the model gets no LAN key store)"
  exit 77
fi
grep -q "局域网 端口 47120 地址 .* 配对密码 [2-9a-z]\{10\}$" "$work/share.out" || fail "no LAN line with a password"

# Discovery: the host is listed by the viewer, with an address connect --lan takes; a computer
# never lists itself.
named viewer-pc viewer lan list --seconds 4 >"$work/list.out" 2>"$work/list.err" || fail "lan list"
address="$(grep -P '^studyroom\t' "$work/list.out" | cut -f2)"
[[ "$address" =~ ^10\.213\.0\.[12]:47120$ ]] || fail "host not listed with its address: $(cat "$work/list.out")"
named studyroom viewer lan list --seconds 3 >"$work/own.out" 2>"$work/own.err" || fail "lan list on the host"
! grep -q "studyroom" "$work/own.out" || fail "the host listed itself"
grep -q "没有发现正在共享的电脑" "$work/own.err" || fail "an empty listing says nothing"

connect_lan() { # OUTPUT [ROLE] ARGS...: connect --lan to the listed address, by default from the viewer
  local out="$1" role=viewer; shift
  [ "${1:-}" = stranger ] && role=stranger && shift
  named "$role-pc" "$role" connect --lan "$address" --ice-address 10.213.0.2 --seconds 60 "$@" >"$out" 2>&1
}

# First dial without the password: refused with the reason's text.
if connect_lan "$work/nopassword.out"; then fail "connected without the pairing password"; fi
grep -q "需要配对密码" "$work/nopassword.out" || fail "need_password not said"

# With the password typed at the terminal when the host asks for it, and the host's consent:
# paired and trusted, video flows, the password changes.
password="$(lan_password "$work/share.out")"
cat >"$work/viewer-connect" <<EOS
#!/bin/sh
exec env $(homes viewer) unshare --uts sh -c '$on_computer' viewer-pc "$cli" --service "$base" \
  connect --lan "$address" --ice-address 10.213.0.2 --seconds 60 --frames 30 --save "$work/paired.png"
EOS
chmod +x "$work/viewer-connect"
printf '%s\n' "$password" | script -qec "$work/viewer-connect" /dev/null >"$work/paired.out" 2>&1 ||
  fail "paired connect"
grep -q "配对密码：" "$work/paired.out" || fail "the password was not asked for at the terminal"
grep -q "已保存 $work/paired.png 640x360" "$work/paired.out" || fail "no picture after pairing"
grep -q "局域网 局域网连接：viewer-pc" "$work/share.out" || fail "host did not report the LAN connection"
[ "$(lan_password "$work/share.out")" != "$password" ] || fail "password not changed after pairing"
python3 - "$work/host/config/quorlinth/defaults.json" <<'EOF' || fail "viewer not in the host's trusted devices"
import base64, json, sys
stored = json.load(open(sys.argv[1]))["mac.lan.trustedControllers"]
entries = json.loads(base64.b64decode(next(iter(stored.values()))))
assert [entry["name"] for entry in entries] == ["viewer-pc"], entries
EOF

# Trusted now: the second dial needs no password.
connect_lan "$work/trusted.out" --frames 30 --save "$work/trusted.png" || fail "trusted connect"
grep -q "已保存 $work/trusted.png 640x360" "$work/trusted.out" || fail "no picture for the trusted viewer"

# The same address answered by another installation (a new key), which has no terminal to ask
# for consent on: the viewer refuses it before any password; a newcomer with the right password
# is declined, and the password stays.
stop_pid "$share_pid"
share_as studyroom reinstalled >"$work/reinstalled.out" 2>&1
wait_for "$work/reinstalled.out" "局域网 端口 47120" 20 $! || fail "reinstalled host did not start"
password="$(lan_password "$work/reinstalled.out")"
if connect_lan "$work/declined.out" stranger --lan-password "$password"; then
  fail "connected without the host's consent"
fi
grep -q "对方拒绝了连接" "$work/declined.out" || fail "declined not said"
[ "$(lan_password "$work/reinstalled.out")" = "$password" ] || fail "declining changed the password"
if connect_lan "$work/changed.out" --lan-password "$password"; then
  fail "connected to a host with a new key at a known address"
fi
grep -q "对方的身份与上次连接时不同。" "$work/changed.out" || fail "new host key not refused with its text"
! grep -q "局域网连接：" "$work/reinstalled.out" || fail "the reinstalled host accepted the viewer"

echo "1 passed, 0 failed"
