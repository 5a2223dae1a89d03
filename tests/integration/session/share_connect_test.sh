#!/usr/bin/env bash
# End to end inside a private network namespace (run through scripts/netns): the real
# service, a sharing host with the synthetic screen, and a controller connecting by device
# id and by device code. Checks decoded frames, the saved picture, the route and the
# diagnostics lines.
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

in_background host share --source pattern --accept-all --ice-address 127.0.0.1 --pattern-size 1280x720 >"$work/share.out" 2>&1
wait_for "$work/share.out" "信令已连接" 20 || fail "host did not reach the signaling service"

# By device id: 540 frames (18 s) so that the link summary and the video line (every 12 s)
# each have a second sample with rates.
as viewer connect "$host_id" --ice-address 127.0.0.1 --frames 540 --seconds 90 --verbose --save "$work/device.png" \
  >"$work/connect.out" 2>&1 || fail "connect by device id"
grep -q "已保存 $work/device.png 1280x720" "$work/connect.out" || fail "picture not saved at 1280x720"
grep -q "已连接 · 直连" "$work/connect.out" || fail "route not reported direct"
grep -Eq "^RTC 链路 .* [0-9]+kbps" "$work/connect.out" || fail "no link line with a rate"
grep -Eq "^RTC video 1280x720 fps=[0-9]+ kbps=[0-9]+ avgQP=" "$work/connect.out" || fail "no video line with rates"
grep -q "画质档位 sharp" "$work/share.out" || fail "host did not apply an encoding profile"

# The colour bars of the synthetic screen survive encoding (tolerance for H.264).
expected=("255 255 255" "255 255 0" "0 255 255" "0 255 0" "255 0 255" "255 0 0" "0 0 255" "0 0 0")
points=()
for i in 0 1 2 3 4 5 6 7; do points+=("$((80 + 160 * i)),100"); done
probe="$(python3 "$here/png_probe.py" "$work/device.png" "${points[@]}")"
echo "$probe" | grep -q "^size 1280x720$" || fail "saved PNG has the wrong size: $probe"
i=0
while read -r point r g b; do
  read -r er eg eb <<<"${expected[$i]}"
  for pair in "$r $er" "$g $eg" "$b $eb"; do
    read -r got want <<<"$pair"
    diff=$((got > want ? got - want : want - got))
    [ "$diff" -le 48 ] || fail "bar $i at $point is ($r $g $b), expected (${expected[$i]})"
  done
  i=$((i + 1))
done < <(echo "$probe" | tail -n +2)

# By device code and temporary password (a guest connection).
read -r code password < <(as host pairing | tr '\t' ' ')
[[ "$code" =~ ^[0-9]{9}$ ]] || fail "pairing gave no 9-digit code"
as viewer connect --code "$code" --password "$password" --ice-address 127.0.0.1 --frames 30 --seconds 60 \
  --save "$work/guest.png" >"$work/guest.out" 2>&1 || fail "connect by device code"
grep -q "已保存 $work/guest.png 1280x720" "$work/guest.out" || fail "guest picture not saved"
grep -q "请求 .* guest" "$work/share.out" || fail "host did not see a guest request"

# A wrong password is refused with the service's message.
if as viewer connect --code "$code" --password "0000000000000000" --ice-address 127.0.0.1 --seconds 30 \
  >"$work/wrong.out" 2>&1; then
  fail "a wrong temporary password connected"
fi
grep -q "无法连接：设备码或临时密码不正确，或已过期" "$work/wrong.out" || fail "wrong password not reported"

echo "1 passed, 0 failed"
