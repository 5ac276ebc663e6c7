#!/usr/bin/env bash
# The fleet's figures: two approval services standing for two hosts on one
# PostgreSQL (a cluster made for the run, in a temporary directory, with
# its default durability), beside one service with its SQLite record, in
# the same run:
#
#   bench/fleet.sh [quick]
#
#   1. decisions per second: 64 requesters on host A, one scripted operator
#      on host B approving each request as B's watch shows it (so every
#      decision crosses the database twice: the request to B, the verdict
#      back to A);
#   2. request to verdict at a fixed rate (50/s, KOA_FLEET_RATE=N for
#      another), p50 and p99, and (vote_*) the time from the deciding vote
#      on B to the verdict on A, measured directly (goal: p99 at most 50 ms);
# and the same two for the SQLite service (operator on the same service).
# The load comes from bench/load_generator.c (requests as nobody, the
# operator root). Needs root, PostgreSQL's server programs
# (/usr/lib/postgresql/*/bin) and the release and bench builds
# (KOA_SERVICE_BUILD=DIR measures another build's daemon).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=${1:-full}
seconds=10
rate=${KOA_FLEET_RATE:-50}
if [ "$mode" = quick ]; then
  seconds=3
fi
dir=${KOA_BENCH_DIR:-/tmp/koa-bench}/fleet
programs=${KOA_SERVICE_BUILD:-$root/build/release}
daemon=$programs/src/approvald/kelvane-operator-approvald
load=${KOA_LOAD_GENERATOR:-$root/build/bench/bench/load_generator}
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)

if [ "$(id -u)" != 0 ]; then
  echo "fleet figures: skipped (needs root: the requests come from nobody, the operator is root)"
  exit 0
fi
if [ -z "$pg_bin" ] || [ ! -x "$pg_bin/initdb" ]; then
  echo "fleet figures: skipped (no PostgreSQL server programs; install postgresql)"
  exit 0
fi
for program in "$daemon" "$load"; do
  [ -x "$program" ] || { echo "fleet figures: not built: $program" >&2; exit 1; }
done

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  [ ! -d "$dir/data" ] || runuser -u nobody -- "$pg_bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
}
trap cleanup EXIT

rm -rf "$dir"
mkdir -p "$dir/data" "$dir/pg"
chmod 0755 "$dir"
chown nobody:nogroup "$dir/data" "$dir/pg"
runuser -u nobody -- "$pg_bin/initdb" -D "$dir/data" -U koa_super --auth=trust --no-sync \
  --encoding=UTF8 --locale=C >"$dir/initdb.log" 2>&1
runuser -u nobody -- "$pg_bin/pg_ctl" -D "$dir/data" -w -l "$dir/pg/server.log" \
  -o "-c listen_addresses='' -c unix_socket_directories='$dir/pg'" start >/dev/null
psql() { "$pg_bin/psql" -h "$dir/pg" -U koa_super -v ON_ERROR_STOP=1 -q "$@"; }
psql -d postgres -c "CREATE ROLE koa_admin LOGIN CREATEROLE" -c "CREATE DATABASE fleet OWNER koa_admin"

conn() {  # file role
  printf 'host=%s dbname=fleet user=%s\n' "$dir/pg" "$2" >"$1"
  chmod 0600 "$1"
}
conn "$dir/admin.conn" koa_admin
"$daemon" --migrate --connection-file "$dir/admin.conn" >/dev/null
for host in a b; do
  psql -d postgres -c "CREATE ROLE koa_host_$host LOGIN IN ROLE kelvane_approvald"
  psql -d fleet -U koa_admin -c \
    "INSERT INTO kelvane_approval.hosts (host_name, role_name) VALUES ('host-$host', 'koa_host_$host')"
  conn "$dir/$host.conn" "koa_host_$host"
done

config() {  # file [fleet host]
  cat >"$1" <<CONF
approvers = ["root"]
max_pending_per_user = 4096
max_pending = 4096
default_timeout = 3600
max_timeout = 3600
CONF
  [ -z "${2:-}" ] || printf 'store = "postgresql"\nconnection_file = "%s"\nhost_name = "host-%s"\n' \
    "$dir/$2.conn" "$2" >>"$1"
}

start() {  # name [fleet host]
  local name=$1
  mkdir -p "$dir/$name"
  config "$dir/$name/service.toml" "${2:-}"
  "$daemon" --socket "$dir/$name/requests.sock" --operator-socket "$dir/$name/operators.sock" \
    --state-dir "$dir/$name/state" --config "$dir/$name/service.toml" \
    >"$dir/$name/out" 2>"$dir/$name/err" &
  pids+=($!)
  for _ in $(seq 200); do grep -qs 'listening on' "$dir/$name/out" && return; sleep 0.05; done
  echo "$name did not start: $(cat "$dir/$name/err")" >&2
  exit 1
}
stop_all() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  pids=()
}

measure() {  # label requests-socket operator-socket
  local through latency
  through=$("$load" throughput 64 "$seconds" --socket "$2" --operator-socket "$3" --as-user nobody)
  latency=$("$load" latency "$rate" "$seconds" --socket "$2" --operator-socket "$3" --as-user nobody)
  printf '%-28s %s\n%-28s %s\n' "$1" "$through" "" "$latency"
}

echo "== decisions per second (64 requesters, $seconds s) and request to verdict at $rate/s"
start a a
start b b
measure "fleet (asked on A, voted on B)" "$dir/a/requests.sock" "$dir/b/operators.sock"
stop_all
start sqlite
measure "sqlite (one service)" "$dir/sqlite/requests.sock" "$dir/sqlite/operators.sock"
stop_all
