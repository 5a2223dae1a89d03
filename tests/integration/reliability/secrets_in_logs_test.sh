#!/usr/bin/env bash
# Secrets stay out of every log and output, inside a private network namespace (run through
# scripts/netns): real sign-ins, a share with a device code and temporary password, a
# controller connecting by device id and a guest by code, a wrong password, clipboard text
# both ways. Then every log file, the service's output and every command's output and error are
# searched for the passwords, the tokens in the key stores, the device code, the temporary
# password, the LAN pairing password and the clipboard texts. The share's own lines that show the codes to the person reading them
# out are the one place meant to hold them.
set -euo pipefail
bin="${QUORLINTH_BINARY_DIR:?}"
here="$(cd "$(dirname "$0")" && pwd)"
service="$bin/service/quorlinth-service"
cli="$bin/src/app/quorlinth-cli"
source "$here/../../support/session.sh"
# Under the test harness the programs keep no log file; here the log file is what is searched.
unset QUORLINTH_TEST

account_password='Sec.ret-horse-9247'
start_service alice "$account_password" --dev
echo "$account_password" | as host login alice >"$work/host-login.out" 2>"$work/host-login.err" || fail "host login"
echo "$account_password" | as viewer login alice >"$work/viewer-login.out" 2>"$work/viewer-login.err" ||
  fail "viewer login"
wrong_password='wrong-password-4321'
echo "$wrong_password" | as stranger login alice >"$work/wrong-login.out" 2>"$work/wrong-login.err" &&
  fail "a wrong account password signed in"
host_id="$(as host whoami | cut -f2)"

in_background host share --source pattern --accept-all --pairing --ice-address 127.0.0.1 --pattern-size 640x360 \
  >"$work/share.out" 2>"$work/share.err"
share_pid=$!
wait_for "$work/share.out" "^设备码 [0-9]\{9\} 临时密码 " 20 "$share_pid" || fail "no device code"
read -r code temporary < <(sed -n 's/^设备码 \([0-9]*\) 临时密码 \([^ ]*\)$/\1 \2/p' "$work/share.out" | head -n 1)
lan_password="$(sed -n 's/^局域网 .* 配对密码 \([^ ]*\)$/\1/p' "$work/share.out" | head -n 1)"
[ -n "$lan_password" ] || fail "no LAN pairing password shown"

wrong_temporary="0123456789abcdef"
as viewer connect "$host_id" --ice-address 127.0.0.1 --frames 20 --seconds 60 --verbose \
  >"$work/device.out" 2>"$work/device.err" || fail "connect by device id"
as viewer connect --code "$code" --password "$temporary" --ice-address 127.0.0.1 --frames 20 --seconds 60 --verbose \
  >"$work/guest.out" 2>"$work/guest.err" || fail "connect by device code"
as viewer connect --code "$code" --password "$wrong_temporary" --ice-address 127.0.0.1 --seconds 30 \
  >"$work/wrong-guest.out" 2>"$work/wrong-guest.err" && fail "a wrong temporary password connected"
kill -INT "$share_pid"
wait "$share_pid" || true

# Clipboard text both ways between two X displays: it reaches the other side, never a log.
start_xvfb 640x360
host_display="$DISPLAY"
start_xvfb 640x360
viewer_display="$DISPLAY"
as host settings allow-transfer on >/dev/null || fail "settings allow-transfer on"
DISPLAY="$host_display" in_background host share --source x11 --accept-all --ice-address 127.0.0.1 \
  >"$work/share-clipboard.out" 2>"$work/share-clipboard.err"
clipboard_share=$!
wait_for "$work/share-clipboard.out" "信令已连接" 20 "$clipboard_share" || fail "the clipboard share did not start"
DISPLAY="$viewer_display" in_background viewer connect "$host_id" --ice-address 127.0.0.1 --seconds 60 --clipboard \
  --verbose >"$work/clipboard.out" 2>"$work/clipboard.err"
clipboard_connect=$!
wait_for "$work/clipboard.out" "^画面 " 30 "$clipboard_connect" || fail "the clipboard session showed no picture"
copy_and_await() { # FROM-DISPLAY TO-DISPLAY TEXT: copies there and waits until it arrives here
  printf '%s' "$3" | DISPLAY="$1" xclip -quiet -selection clipboard -i >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do
    [ "$(DISPLAY="$2" timeout 5 xclip -o -selection clipboard 2>/dev/null)" = "$3" ] && return 0
    sleep 0.2
  done
  return 1
}
clipboard_to_host='剪贴板里的秘密 Kx81-to-host'
clipboard_to_viewer='clipboard secret Qz27-to-viewer'
copy_and_await "$viewer_display" "$host_display" "$clipboard_to_host" || fail "clipboard text did not reach the host"
copy_and_await "$host_display" "$viewer_display" "$clipboard_to_viewer" ||
  fail "clipboard text did not reach the controller"
kill -INT "$clipboard_connect" "$clipboard_share"
wait "$clipboard_connect" "$clipboard_share" || true

# The share's lines for the person reading out the codes are left out of the search.
grep -v -e "^设备码 $code 临时密码 $temporary$" -e "^局域网 .* 配对密码 $lan_password$" "$work/share.out" \
  >"$work/share-without-codes.out"
rm "$work/share.out"
ls "$work"/*/state/quorlinth/logs/* >/dev/null 2>&1 || fail "no log file was written"

python3 - "$work" "$account_password" "$code" "$temporary" "$lan_password" "$wrong_password" "$wrong_temporary" \
  "$clipboard_to_host" "$clipboard_to_viewer" <<'PY' || fail "a secret reached a log or an output"
import base64, json, pathlib, sys

work = pathlib.Path(sys.argv[1])
secrets = {"account password": sys.argv[2], "device code": sys.argv[3], "temporary password": sys.argv[4],
           "LAN pairing password": sys.argv[5], "wrong account password": sys.argv[6],
           "wrong temporary password": sys.argv[7], "clipboard text to the host": sys.argv[8],
           "clipboard text to the controller": sys.argv[9]}
# Every token the devices hold, from their key stores.
for keys in work.glob("*/data/quorlinth/keys/keys.json"):
    for item in json.loads(keys.read_text()).values():
        for name, value in item.items():
            decoded = base64.b64decode(value)
            if name == "session":
                for key, session in json.loads(decoded)["sessions"].items():
                    for field in ("accountToken", "deviceToken"):
                        if session.get(field):
                            secrets[f"{field} of {keys.parts[-5]}"] = session[field]
if not any(name.startswith("deviceToken") for name in secrets):
    sys.exit("no token found in the key stores")

searched = [p for p in work.rglob("*") if p.is_file() and (p.suffix in (".out", ".err") or "/logs/" in str(p))]
found = False
for path in searched:
    text = path.read_bytes()
    for name, secret in secrets.items():
        if secret.encode() in text:
            print(f"{name} found in {path.relative_to(work)}", file=sys.stderr)
            found = True
print(f"searched {len(searched)} files for {len(secrets)} secrets")
sys.exit(1 if found else 0)
PY

echo "1 passed, 0 failed"
