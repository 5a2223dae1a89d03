#!/usr/bin/env bash
# Sign-in from the command line against the real service in development mode, inside a private
# network namespace (scripts/netns): SMS behind the picture captcha with the resend countdown,
# password setup for a new phone number, QR approved, denied and expired, and approve-qr's own
# refusals. Answers go in through a pipe as a person would type them; captcha answers and SMS
# codes come from the service's development endpoints.
set -euo pipefail
bin="${QUORLINTH_BINARY_DIR:?}"
here="$(cd "$(dirname "$0")" && pwd)"
service="$bin/service/quorlinth-service"
cli="$bin/src/app/quorlinth-cli"
source "$here/../../support/session.sh"

phone=13800000001
"$service" add-user --db "$work/service.sqlite" --dev bob 'bob-password-1' --phone "$phone" >/dev/null 2>&1 ||
  fail "add-user with a phone"
start_service alice 'alice-password-1' --dev

dev_get() { # PATH
  python3 -c "import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1]).read().decode())" \
    "$base/v1/dev/$1"
}
dev_post() { # PATH JSON
  python3 -c "
import sys, urllib.request
request = urllib.request.Request(sys.argv[1], sys.argv[2].encode(), {'Content-Type': 'application/json'})
urllib.request.urlopen(request).read()" "$base/v1/dev/$1" "$2"
}
json_field() { python3 -c "import json,sys; print(json.load(sys.stdin)$1)"; }
captcha_answer() { # OUTPUT: the answer to the newest captcha the command saved
  local id
  id="$(grep -o 'captcha-[A-Za-z0-9_-]*\.png' "$1" | tail -n 1 | sed 's/^captcha-//; s/\.png$//')"
  dev_get "captchas/$id" | json_field '["answer"]'
}
sms_code() { # PHONE: the newest code sent to it
  dev_get outbox | python3 -c "
import json, re, sys
codes = [re.search(r'(\d{6})', m['text']).group(1) for m in json.load(sys.stdin)['messages'] if m['phone'] == '$1']
print(codes[-1] if codes else '')"
}
count() { grep -c -- "$2" "$1" || true; }

# Starts `login ARGS...` as ROLE reading answers from a pipe; answer with `exec 3>`.
start_login() { # ROLE NAME ARGS...
  local role="$1" name="$2"; shift 2
  mkfifo "$work/$name.in"
  env $(homes "$role") "$cli" --service "$base" login "$@" <"$work/$name.in" >"$work/$name.out" 2>&1 &
  login_pid=$!
  pids+=("$login_pid")
  exec 3>"$work/$name.in"
}

# --- SMS for a phone bound to an account: a wrong captcha, then the countdown, then a wrong code.
start_login mac sms --sms "$phone"
wait_for "$work/sms.out" "图形验证码已保存为 .*\.png" 20 "$login_pid" || fail "no captcha picture"
picture="$(grep -o '/[^ ，]*captcha-[^ ，]*\.png' "$work/sms.out" | head -n 1)"
[ "$(head -c 4 "$picture" | tail -c 3)" = "PNG" ] || fail "the captcha file is not a PNG"
echo 0 >&3
wait_for "$work/sms.out" "图形验证码不正确，请刷新" 20 "$login_pid" || fail "a wrong captcha was not refused"
for _ in $(seq 200); do [ "$(count "$work/sms.out" "图形验证码已保存为")" -ge 2 ] && break; sleep 0.1; done
[ "$(count "$work/sms.out" "图形验证码已保存为")" -ge 2 ] || fail "no new captcha after a wrong answer"
captcha_answer "$work/sms.out" >&3
wait_for "$work/sms.out" "验证码已发送，请查看手机短信" 20 "$login_pid" || fail "the SMS code was not sent"
echo >&3 # an empty answer asks for a new code: refused while the countdown runs
wait_for "$work/sms.out" "[56][0-9] 秒后重发" 20 "$login_pid" || fail "the resend countdown was not shown"
code="$(sms_code "$phone")"
[[ "$code" =~ ^[0-9]{6}$ ]] || fail "no SMS code in the outbox"
echo 12345 >&3
wait_for "$work/sms.out" "短信验证码是 6 位数字" 20 "$login_pid" || fail "a 5-digit code was taken"
printf '%06d\n' $(((10#$code + 1) % 1000000)) >&3
wait_for "$work/sms.out" "验证码不正确" 20 "$login_pid" || fail "a wrong code was not refused"
echo "$code" >&3
wait "$login_pid" || fail "SMS sign-in failed"
exec 3>&-
grep -q "^bob	" "$work/sms.out" || fail "SMS sign-in did not print the account"
as mac whoami | grep -q "^bob	" || fail "SMS sign-in did not last"

# --- A new phone number signs up and sets its password.
newphone=13900000007
start_login newcomer signup --sms "$newphone"
wait_for "$work/signup.out" "图形验证码已保存为" 20 "$login_pid" || fail "no captcha for the new phone"
captcha_answer "$work/signup.out" >&3
wait_for "$work/signup.out" "验证码已发送" 20 "$login_pid" || fail "no code for the new phone"
sms_code "$newphone" >&3
wait_for "$work/signup.out" "手机号已验证。设置密码后即可完成登录。" 20 "$login_pid" || fail "no password setup"
printf 'short-pass1\nshort-pass1\n' >&3
wait_for "$work/signup.out" "密码需要 12–72 字节" 20 "$login_pid" || fail "an 11-byte password was taken"
printf '一个足够长的密码\n不一样的密码啊啊\n' >&3
wait_for "$work/signup.out" "两次输入的密码不一致" 20 "$login_pid" || fail "different passwords were taken"
printf '一个足够长的密码\n一个足够长的密码\n' >&3
wait "$login_pid" || fail "password setup failed"
exec 3>&-
grep -q "^$newphone	" "$work/signup.out" || fail "the new account did not sign in"
as laptop login "$newphone" '一个足够长的密码' | grep -q "^$newphone	" || fail "the new password does not work"

# --- QR: approved from a signed-in device.
as phone login alice 'alice-password-1' >/dev/null || fail "phone login"
in_background desk login --qr >"$work/qr.out" 2>&1
qr_pid=$!
wait_for "$work/qr.out" "登录 ID：" 20 "$qr_pid" || fail "no QR login id"
grep -q "█" "$work/qr.out" || fail "no QR code drawn"
grep -q "180 秒内有效" "$work/qr.out" || fail "no validity shown"
id="$(sed -n 's/^登录 ID：//p' "$work/qr.out")"
as phone approve-qr "$id" >"$work/approve.out" 2>&1 || fail "approve-qr"
grep -q "^已允许 .* 登录$" "$work/approve.out" || fail "approve-qr did not name the computer"
wait "$qr_pid" || fail "QR sign-in did not finish"
grep -q "^alice	" "$work/qr.out" || fail "QR sign-in did not print the account"
as desk whoami | grep -q "^alice	" || fail "QR sign-in did not last"
if as phone approve-qr "$id" >"$work/again.out" 2>&1; then fail "a used QR code was approved twice"; fi
grep -q "二维码已处理，请刷新" "$work/again.out" || fail "a used code was not explained"

# --- QR: denied.
in_background desk2 login --qr >"$work/deny.out" 2>&1
qr_pid=$!
wait_for "$work/deny.out" "登录 ID：" 20 "$qr_pid" || fail "no QR login id to deny"
as phone approve-qr --deny "$(sed -n 's/^登录 ID：//p' "$work/deny.out")" | grep -q "^已拒绝 .* 登录$" ||
  fail "approve-qr --deny"
if wait "$qr_pid"; then fail "a denied QR sign-in succeeded"; fi
grep -q "手机已拒绝登录，请刷新" "$work/deny.out" || fail "denial not explained"

# --- QR: expired (the service's clock runs past the code's lifetime).
in_background desk3 login --qr >"$work/expire.out" 2>&1
qr_pid=$!
wait_for "$work/expire.out" "登录 ID：" 20 "$qr_pid" || fail "no QR login id to expire"
dev_post clock '{"advance": 200}' ||
  fail "advance the service clock"
if wait "$qr_pid"; then fail "an expired QR sign-in succeeded"; fi
grep -q "二维码已过期，请刷新" "$work/expire.out" || fail "expiry not explained"

# --- approve-qr's refusals, and the help texts.
set +e
as phone approve-qr 'bad id/with slash' >"$work/bad.out" 2>&1
[ $? -eq 2 ] || fail "a malformed id is not a usage error"
as nobody approve-qr qr_unknown >"$work/nobody.out" 2>&1
[ $? -eq 1 ] || fail "approve-qr without a sign-in succeeded"
as mac login --sms 1380000 >"$work/short.out" 2>&1
[ $? -eq 2 ] || fail "a short phone number is not a usage error"
set -e
grep -q "登录 ID 无效" "$work/bad.out" || fail "malformed id not explained"
grep -q "请先登录账号" "$work/nobody.out" || fail "missing sign-in not explained"
grep -q "需要 11 位手机号" "$work/short.out" || fail "short phone not explained"
as mac login --help | grep -q -- "--sms" || fail "login --help does not list --sms"
as mac login --help | grep -q -- "--qr" || fail "login --help does not list --qr"
as mac approve-qr --help | grep -q -- "--deny" || fail "approve-qr --help does not list --deny"

echo "1 passed, 0 failed"
