#!/usr/bin/env bash
# Relay when the ends cannot reach each other, inside a private network namespace (run
# through scripts/netns): the host gathers on 127.0.0.2 and the controller on 127.0.0.3, and
# nftables drops every packet between those two addresses, so only the TURN server (coturn
# on 127.0.0.1) joins them. Neither end is told to relay: ICE finds that out. The session
# streams, the controller reports the relayed route and the host applies the relay profile.
set -euo pipefail
bin="${QUORLINTH_BINARY_DIR:?}"
here="$(cd "$(dirname "$0")" && pwd)"
service="$bin/service/quorlinth-service"
cli="$bin/src/app/quorlinth-cli"
source "$here/../../support/session.sh"
[ -n "${QUORLINTH_NETNS:-}" ] || fail "run this through scripts/netns: it changes the firewall"
if ! command -v nft >/dev/null; then
  echo "skipped: nft is not installed (Debian package nftables)"
  exit 77
fi

nft -f - <<'NFT'
table inet quorlinth_test {
  chain output {
    type filter hook output priority 0; policy accept;
    ip saddr 127.0.0.2 ip daddr 127.0.0.3 counter drop
    ip saddr 127.0.0.3 ip daddr 127.0.0.2 counter drop
  }
}
NFT

secret="relay-test-secret"
turnserver -n --listening-ip=127.0.0.1 --relay-ip=127.0.0.1 --listening-port=3478 --use-auth-secret \
  --static-auth-secret="$secret" --realm=quorlinth.test --allow-loopback-peers --no-tls --no-dtls --no-cli \
  --log-file=stdout --simple-log >"$work/coturn.out" 2>&1 &
pids+=($!)
cat >"$work/ice.json" <<JSON
{"servers": [{"urls": ["turn:127.0.0.1:3478", "turn:127.0.0.1:3478?transport=tcp"], "secret": "$secret", "ttl": 3600}]}
JSON
start_service alice 'correct horse battery' --dev --ice-config "$work/ice.json"
as host login alice 'correct horse battery' >/dev/null || fail "host login"
as viewer login alice 'correct horse battery' >/dev/null || fail "viewer login"
host_id="$(as host whoami | cut -f2)"

in_background host share --source pattern --accept-all --ice-address 127.0.0.2 --pattern-size 1280x720 \
  >"$work/share.out" 2>&1
wait_for "$work/share.out" "信令已连接" 20 || fail "host did not reach the signaling service"

as viewer connect "$host_id" --ice-address 127.0.0.3 --frames 90 --seconds 60 --save "$work/relayed.png" \
  >"$work/connect.out" 2>&1 || fail "no session through the relay"
grep -q "已保存 $work/relayed.png 1280x720" "$work/connect.out" || fail "no picture through the relay"
grep -q "已连接 · TURN 中转" "$work/connect.out" || fail "the controller did not report the relayed route"
! grep -q "已连接 · 直连" "$work/connect.out" || fail "the controller reported a direct route"
wait_for "$work/share.out" "^画质档位 sharp maxKbps=4000 fps=20 viewerLevel=0x[0-9a-f]* route=relay$" 10 ||
  fail "the host did not apply the relay profile"
! grep -q "route=direct" "$work/share.out" || fail "the host saw a direct route"

# The ends did try each other directly, and the firewall stopped them.
dropped="$(nft list table inet quorlinth_test | sed -n 's/.*counter packets \([0-9]*\) .*/\1/p' | awk '{s += $1} END {print s + 0}')"
[ "${dropped:-0}" -gt 0 ] || fail "no direct packet was dropped: the test did not block what it meant to"
echo "direct packets dropped: $dropped"
echo "1 passed, 0 failed"
