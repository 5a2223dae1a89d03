#!/usr/bin/env bash
# End to end inside a private network namespace (run through scripts/netns): two service nodes
# on one PostgreSQL and one Redis behind a round-robin TCP balancer. A host shares through node
# A, a controller connects through node B and gets frames; node A is killed and the host's
# signaling comes back through the balancer on node B, where a new connection streams again;
# PostgreSQL and Redis each stop for a while: clear errors, then sign-in and the device list work
# again with nothing lost.
set -euo pipefail
bin="${QUORLINTH_BINARY_DIR:?}"
here="$(cd "$(dirname "$0")" && pwd)"
service="$bin/service/quorlinth-service"
cli="$bin/src/app/quorlinth-cli"
postgres_bin=/usr/lib/postgresql/15/bin
source "$here/../../support/session.sh"

password='correct horse battery'
printf '{"username":"alice","password":"%s"}' "$password" >"$work/login.json"

# PostgreSQL refuses to run as root: it runs as the postgres system user in a folder it owns.
chmod 711 "$work"
mkdir "$work/db"
as_postgres=()
if [ "$(id -u)" = 0 ]; then
  chown postgres:postgres "$work/db"
  as_postgres=(setpriv --reuid=postgres --regid=postgres --init-groups --)
fi
"${as_postgres[@]}" "$postgres_bin/initdb" -D "$work/db/data" --auth=trust --username=postgres --no-sync \
  >"$work/initdb.out" 2>&1 || fail "initdb"
start_postgres() {
  "${as_postgres[@]}" "$postgres_bin/postgres" -D "$work/db/data" -k "$work/db" -c listen_addresses= \
    >>"$work/postgres.out" 2>&1 &
  postgres=$!
  pids+=("$postgres")
  for _ in $(seq 150); do "$postgres_bin/pg_isready" -q -h "$work/db" && return 0; sleep 0.1; done
  fail "PostgreSQL did not start"
}
start_redis() {
  redis-server --port 0 --unixsocket "$work/redis.sock" --unixsocketperm 700 --save "" --appendonly no \
    --dir "$work" >>"$work/redis.out" 2>&1 &
  redis=$!
  pids+=("$redis")
  for _ in $(seq 150); do redis-cli -s "$work/redis.sock" ping >/dev/null 2>&1 && return 0; sleep 0.1; done
  fail "Redis did not start"
}
start_postgres
start_redis
"$postgres_bin/createdb" -h "$work/db" -U postgres quorlinth || fail "createdb"
database="postgresql://postgres@/quorlinth?host=$work/db"
"$service" add-user --database "$database" --dev alice "$password" >"$work/add-user.out" 2>&1 || fail "add-user"

start_node() { # NAME: sets node_NAME (its pid) and url_NAME
  "$service" --listen 127.0.0.1:0 --database "$database" --secret-file "$work/service.key" \
    --bus "redis://$work/redis.sock" --dev >"$work/node$1.url" 2>"$work/node$1.out" &
  pids+=($!)
  printf -v "node_$1" %s $!
  wait_for "$work/node$1.url" "http://" 20 || fail "node $1 did not start"
  printf -v "url_$1" %s "$(head -n 1 "$work/node$1.url")"
}
start_node A
start_node B

# The balancer starts with node A alone in its pool, so the host signs in and shares through A.
echo "${url_A#http://}" >"$work/pool"
python3 "$here/balancer.py" "$work/pool" "$work/balancer.port" >"$work/balancer.out" 2>&1 &
pids+=($!)
wait_for "$work/balancer.port" "[0-9]" 10 || fail "the balancer did not start"
balanced="http://127.0.0.1:$(cat "$work/balancer.port")"

base="$balanced" as host login alice "$password" >/dev/null || fail "host login"
host_id="$(base="$balanced" as host whoami | cut -f2)"
base="$balanced" in_background host share --source pattern --accept-all --ice-address 127.0.0.1 \
  --pattern-size 640x360 >"$work/share.out" 2>&1
wait_for "$work/share.out" "信令已连接" 20 || fail "host did not reach the signaling service"
grep -q "GET /v1/signal 101" "$work/nodeA.out" || fail "the host's signaling is not on node A"
echo "${url_B#http://}" >>"$work/pool"

# The controller on node B: the session crosses the bus.
base="$url_B" as viewer login alice "$password" >/dev/null || fail "viewer login"
base="$url_B" as viewer connect "$host_id" --ice-address 127.0.0.1 --frames 30 --seconds 40 \
  >"$work/connect-b.out" 2>&1 || fail "connect through node B"
grep -q "POST /v1/sessions 200" "$work/nodeB.out" || fail "the session was not made on node B"
grep -q "GET /v1/signal 101" "$work/nodeB.out" || fail "the controller's signaling is not on node B"

# Node A dies: the host's signaling comes back through the balancer, on node B.
kill -KILL "$node_A"
{ wait "$node_A"; } 2>/dev/null || true
for _ in $(seq 300); do
  [ "$(grep -c "信令已连接" "$work/share.out")" -ge 2 ] && break
  sleep 0.1
done
[ "$(grep -c "信令已连接" "$work/share.out")" -ge 2 ] || fail "the host did not reconnect after node A died"
[ "$(grep -c "GET /v1/signal 101" "$work/nodeB.out")" -ge 2 ] || fail "the host did not reconnect to node B"
# The controller now signs in through the balancer too (its sign-in is kept per service address).
base="$balanced" as viewer login alice "$password" >/dev/null || fail "viewer login through the balancer"
base="$balanced" as viewer connect "$host_id" --ice-address 127.0.0.1 --frames 30 --seconds 40 \
  >"$work/connect-after.out" 2>&1 || fail "connect after node A died"

sign_in() { # URL: the HTTP status of a password sign-in, its headers in $work/sign-in.headers
  curl -s -o "$work/sign-in.body" -D "$work/sign-in.headers" -w '%{http_code}' \
    -H 'Content-Type: application/json' --data-binary @"$work/login.json" "$1/v1/auth/login"
}
sign_in_until_ok() { # URL
  for _ in $(seq 60); do
    [ "$(sign_in "$1")" = 200 ] && return 0
    sleep 0.25
  done
  return 1
}
both_devices_listed() {
  base="$balanced" as viewer devices >"$work/devices.out" 2>&1 || return 1
  grep -q "^$host_id	" "$work/devices.out" &&
    grep -q "^$(base="$balanced" as viewer whoami | cut -f2)	" "$work/devices.out"
}

# PostgreSQL stops: a sign-in is told to come back later, and the log says why.
kill -INT "$postgres"
wait "$postgres" 2>/dev/null || true
status="$(sign_in "$balanced")"
[ "$status" = 503 ] || fail "sign-in without PostgreSQL answered $status, not 503"
grep -qi "^Retry-After: " "$work/sign-in.headers" || fail "no Retry-After without PostgreSQL"
grep -q '"service_busy"' "$work/sign-in.body" || fail "no service_busy without PostgreSQL"
grep -q "database unavailable on POST /v1/auth/login" "$work/nodeB.out" || fail "no database line in the log"
start_postgres
sign_in_until_ok "$balanced" || fail "sign-in did not recover after PostgreSQL came back"
both_devices_listed || fail "a device is missing after PostgreSQL came back"

# Redis stops: the node says so, keeps serving, and joins again when Redis is back.
kill -TERM "$redis"
wait "$redis" 2>/dev/null || true
wait_for "$work/nodeB.out" "signaling bus: lost Redis at .*; serving this node's sockets only, reconnecting" 10 ||
  fail "no lost-Redis line in the log"
sign_in_until_ok "$balanced" || fail "sign-in failed without Redis"
start_redis
wait_for "$work/nodeB.out" "signaling bus: reconnected to Redis at" 15 || fail "no reconnected line in the log"
sign_in_until_ok "$balanced" || fail "sign-in failed after Redis came back"
both_devices_listed || fail "a device is missing after Redis came back"
base="$balanced" as viewer connect "$host_id" --ice-address 127.0.0.1 --frames 30 --seconds 40 \
  >"$work/connect-redis.out" 2>&1 || fail "connect after Redis came back"

echo "1 passed, 0 failed"
