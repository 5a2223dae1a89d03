# Shared by the scripts that run whole sessions between real processes (source it):
# a work folder, background processes that are stopped on exit, waiting for output, the
# account service, a virtual X display, and devices that are XDG homes of their own.
#   needs: $service (quorlinth-service) and $cli (quorlinth-cli)
#   QUORLINTH_KEEP_WORK=DIR: copies the work folder (logs, traces) there at exit, for a post-mortem

work="$(mktemp -d)"
pids=()
session_cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ -n "${QUORLINTH_KEEP_WORK:-}" ]; then cp -r "$work" "$QUORLINTH_KEEP_WORK" || true; fi
  rm -rf "$work"
}
trap session_cleanup EXIT

fail() {
  echo "FAILED: $*" >&2
  for f in "$work"/*.out; do echo "--- $f" >&2; tail -n 40 "$f" >&2; done
  exit 1
}

wait_for() { # FILE PATTERN SECONDS [PID]: gives up early once PID has ended
  for _ in $(seq 1 $(($3 * 10))); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    if [ -n "${4:-}" ] && ! kill -0 "$4" 2>/dev/null; then
      grep -q -- "$2" "$1" 2>/dev/null
      return
    fi
    sleep 0.1
  done
  return 1
}

start_service() { # USER PASSWORD [SERVICE OPTIONS...]: sets $base
  local user="$1" password="$2" dev=(); shift 2
  [[ " $* " == *" --dev "* ]] && dev=(--dev)
  "$service" add-user --db "$work/service.sqlite" "${dev[@]}" "$user" "$password" >"$work/add-user.out" 2>&1 ||
    fail "add-user"
  "$service" --listen 127.0.0.1:0 --db "$work/service.sqlite" "$@" >"$work/service.out" 2>"$work/service.err" &
  pids+=($!)
  wait_for "$work/service.out" "http://" 15 || fail "the service did not start"
  base="$(head -n 1 "$work/service.out")"
}

start_relay() { # a TURN relay (coturn) on 127.0.0.1:3478 with time-limited credentials; the
  # service hands them out when started with --ice-config "$work/ice.json"
  local secret="relay-$RANDOM$RANDOM"
  turnserver -n --listening-ip=127.0.0.1 --relay-ip=127.0.0.1 --listening-port=3478 --use-auth-secret \
    --static-auth-secret="$secret" --realm=quorlinth.test --allow-loopback-peers --no-tls --no-dtls --no-cli \
    --pidfile="$work/turn.pid" --log-file=stdout >"$work/turn.out" 2>&1 &
  pids+=($!)
  cat >"$work/ice.json" <<JSON
{"servers": [{"urls": ["turn:127.0.0.1:3478?transport=udp"], "secret": "$secret", "ttl": 3600}]}
JSON
}

start_xvfb() { # WIDTHxHEIGHT: a virtual X display on a free number; sets DISPLAY and $xserver
  # A file of its own: a second display would otherwise be read from the first one's file
  # before its server had truncated it.
  local number
  number="$(mktemp "$work/display.XXXXXX")"
  Xvfb -displayfd 3 -screen 0 "${1}x24" -nolisten tcp -noreset 3>"$number" >>"$work/xvfb.out" 2>&1 &
  xserver=$!
  pids+=("$xserver")
  wait_for "$number" "[0-9]" 15 || fail "Xvfb did not start"
  export DISPLAY=":$(head -n 1 "$number")"
}

homes() { # ROLE: each role is one device, with XDG homes of its own
  echo XDG_CONFIG_HOME="$work/$1/config" XDG_DATA_HOME="$work/$1/data" XDG_STATE_HOME="$work/$1/state"
}

with_homes() { # ROLE COMMAND...: runs any command as that device
  local role="$1"; shift
  env $(homes "$role") "$@"
}

as() { # ROLE ARGS...: quorlinth-cli as that device
  local role="$1"; shift
  with_homes "$role" "$cli" --service "$base" "$@"
}

in_background() { # ROLE ARGS... > OUTPUT: like `as`, as a process of its own that cleanup stops
  local role="$1"; shift
  env $(homes "$role") "$cli" --service "$base" "$@" &
  pids+=($!)
}
