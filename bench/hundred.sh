#!/usr/bin/env bash
# A hundred hosts on one database: 100 approval services, each with its own
# host name, database role and state folder, on one PostgreSQL (a cluster
# made for the run, as bench/fleet.sh makes it), on this machine:
#
#   bench/hundred.sh [quick]
#
#   1. the database's sessions (pg_stat_activity) and memory (the
#      proportional set size of its processes, so shared buffers count
#      once), and each service's resident memory, idle;
#   2. request to verdict and (vote_*) the deciding vote to the verdict,
#      p50 and p99, at a fixed total rate (100/s, KOA_HUNDRED_RATE=N for
#      another; goal: vote to verdict p99 at most 50 ms), the requests spread
#      over all the services in turn, operators voting through four of them
#      (each request gets one vote, from one of the four);
#   3. what a notification costs the database: rows read (tup_returned +
#      tup_fetched of pg_stat_database) and statements (xact_commit) per
#      decision during 2, beside what re-reading every pending request on
#      every host for every notification would read.
# Needs root, PostgreSQL's server programs and the release and bench builds
# (KOA_SERVICE_BUILD=DIR measures another build's daemon). KOA_HUNDRED_HOSTS
# changes the number of hosts.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=${1:-full}
seconds=10
[ "$mode" != quick ] || seconds=3
hosts=${KOA_HUNDRED_HOSTS:-100}
rate=${KOA_HUNDRED_RATE:-100}
voting_hosts=4
dir=${KOA_BENCH_DIR:-/tmp/koa-bench}/hundred
programs=${KOA_SERVICE_BUILD:-$root/build/release}
daemon=$programs/src/approvald/kelvane-operator-approvald
load=${KOA_LOAD_GENERATOR:-$root/build/bench/bench/load_generator}
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)

if [ "$(id -u)" != 0 ]; then
  echo "hundred hosts: skipped (needs root: the requests come from nobody, the operators are root)"
  exit 0
fi
if [ -z "$pg_bin" ] || [ ! -x "$pg_bin/initdb" ]; then
  echo "hundred hosts: skipped (no PostgreSQL server programs; install postgresql)"
  exit 0
fi
for program in "$daemon" "$load"; do
  [ -x "$program" ] || { echo "hundred hosts: not built: $program" >&2; exit 1; }
done

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ ! -d "$dir/data" ] || runuser -u nobody -- "$pg_bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
}
trap cleanup EXIT

rm -rf "$dir"
mkdir -p "$dir/data" "$dir/pg"
chmod 0755 "$dir"
chown nobody:nogroup "$dir/data" "$dir/pg"
runuser -u nobody -- "$pg_bin/initdb" -D "$dir/data" -U koa_super --auth=trust --no-sync \
  --encoding=UTF8 --locale=C >"$dir/initdb.log" 2>&1
# Two sessions per service and a few for the run: max_connections above
# that; the rest is PostgreSQL's default (shared_buffers 128 MB).
runuser -u nobody -- "$pg_bin/pg_ctl" -D "$dir/data" -w -l "$dir/pg/server.log" \
  -o "-c listen_addresses='' -c unix_socket_directories='$dir/pg' -c max_connections=$((hosts * 2 + 20))" \
  start >/dev/null
psql() { "$pg_bin/psql" -h "$dir/pg" -U koa_super -v ON_ERROR_STOP=1 -q "$@"; }
psql -d postgres -c "CREATE ROLE koa_admin LOGIN CREATEROLE" -c "CREATE DATABASE fleet OWNER koa_admin"
printf 'host=%s dbname=fleet user=koa_admin\n' "$dir/pg" >"$dir/admin.conn"
chmod 0600 "$dir/admin.conn"
"$daemon" --migrate --connection-file "$dir/admin.conn" >/dev/null

{
  for i in $(seq "$hosts"); do
    echo "CREATE ROLE koa_host_$i LOGIN IN ROLE kelvane_approvald;"
  done
} | psql -d postgres
{
  for i in $(seq "$hosts"); do
    echo "INSERT INTO kelvane_approval.hosts (host_name, role_name) VALUES ('host-$i', 'koa_host_$i');"
  done
} | psql -d fleet -U koa_admin

for i in $(seq "$hosts"); do
  mkdir -p "$dir/$i"
  printf 'host=%s dbname=fleet user=koa_host_%s\n' "$dir/pg" "$i" >"$dir/$i/conn"
  chmod 0600 "$dir/$i/conn"
  cat >"$dir/$i/service.toml" <<CONF
approvers = ["root"]
max_pending_per_user = 4096
max_pending = 4096
default_timeout = 3600
max_timeout = 3600
store = "postgresql"
connection_file = "$dir/$i/conn"
host_name = "host-$i"
CONF
  "$daemon" --socket "$dir/$i/requests.sock" --operator-socket "$dir/$i/operators.sock" \
    --state-dir "$dir/$i/state" --config "$dir/$i/service.toml" >"$dir/$i/out" 2>"$dir/$i/err" &
  pids+=($!)
done
for i in $(seq "$hosts"); do
  for _ in $(seq 600); do grep -qs 'listening on' "$dir/$i/out" && break; sleep 0.05; done
  grep -qs 'listening on' "$dir/$i/out" || { echo "host-$i did not start: $(cat "$dir/$i/err")" >&2; exit 1; }
done
sleep 2

# Proportional set size of processes, in KB.
pss_kb() { local total=0 pid v; for pid in "$@"; do v=$(awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null || echo 0); total=$((total + ${v:-0})); done; echo "$total"; }
rss_kb() { local total=0 pid v; for pid in "$@"; do v=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0); total=$((total + ${v:-0})); done; echo "$total"; }
postmaster=$(head -1 "$dir/data/postmaster.pid")
pg_pids=("$postmaster" $(pgrep -P "$postmaster"))

echo "== $hosts services on one PostgreSQL, idle"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
psql -d postgres -At -F ' ' -c "SELECT 'database sessions: ' || count(*) FILTER (WHERE application_name = 'kelvane-operator-approvald') || ' of the services, ' || count(*) || ' in all (max_connections ' || current_setting('max_connections') || ')' FROM pg_stat_activity WHERE backend_type = 'client backend'"
db_pss=$(pss_kb "${pg_pids[@]}")
echo "database memory: ${#pg_pids[@]} processes, PSS $db_pss KB in all, $((db_pss / (hosts * 2))) KB per service session; RSS $(rss_kb "${pg_pids[@]}") KB summed (shared buffers counted in each)"
svc_rss=$(rss_kb "${pids[@]}")
svc_pss=$(pss_kb "${pids[@]}")
echo "services' memory: RSS $svc_rss KB in all, $((svc_rss / hosts)) KB per service; PSS $((svc_pss / hosts)) KB per service"
echo "services' threads: $(ls /proc/"${pids[0]}"/task | wc -l) per service"

stats() { psql -d postgres -At -F ' ' -c "SELECT tup_returned + tup_fetched, xact_commit FROM pg_stat_database WHERE datname = 'fleet'"; }
# Idle, the services still check once a second for other hosts' orphans.
# A session reports its counts when it goes idle, at most every 10 s
# (PostgreSQL 15): a window of 20 s.
sleep 10
read -r rows_before commits_before <<<"$(stats)"
sleep 20
read -r rows_after commits_after <<<"$(stats)"
echo "idle: $(((commits_after - commits_before) / 20)) transactions and $(((rows_after - rows_before) / 20)) rows read per second (the once-a-second checks)"
sockets=()
for i in $(seq "$hosts"); do sockets+=(--socket "$dir/$i/requests.sock"); done
operators=()
for i in $(seq "$voting_hosts"); do operators+=(--operator-socket "$dir/$i/operators.sock"); done

echo
echo "== request to verdict at $rate/s in all, spread over $hosts services, operators on $voting_hosts ($seconds s; goal: vote_p99 at most 50 ms)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
read -r rows_before commits_before <<<"$(stats)"
line=$("$load" latency "$rate" "$seconds" "${sockets[@]}" "${operators[@]}" --as-user nobody)
# pg_stat_database is updated when sessions report (within 10 s).
sleep 11
read -r rows_after commits_after <<<"$(stats)"
echo "$line"
decided=$(sed -n 's/^decisions \([0-9]*\).*/\1/p' <<<"$line")
pending=$(psql -d fleet -At -c "SELECT count(*) FROM kelvane_approval.requests WHERE state = 'pending'")
echo "database during it: $(((rows_after - rows_before) / (decided > 0 ? decided : 1))) rows read and $(((commits_after - commits_before) / (decided > 0 ? decided : 1))) transactions per decision; re-reading every pending request on every host for each of a decision's three notifications would read about $((3 * hosts * (rate / 10 > 0 ? rate / 10 : 1))) rows (with $((rate / 10)) pending at a time)"
echo "pending left: $pending"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "database memory under load: PSS $(pss_kb "${pg_pids[@]}") KB; services' RSS $(rss_kb "${pids[@]}") KB in all"
