#!/usr/bin/env bash
# The approval service's figures, side by side with the limit (a minimal C
# service that answers without storing anything, bench/limit_service.c):
#
#   bench/service.sh [quick]          (bench/run.sh runs it too)
#
#   1. 10,000 requests waiting at once: resident memory above idle, per
#      waiting request;
#   2. `kelvane-operator-approvals list --json` with those 10,000 pending;
#   3. decisions per second: 64 requesters, each asking again as soon as it
#      has its verdict, and one scripted operator approving each request
#      over the operators' protocol on one connection;
#   4. the time from request to verdict at 1,000 decisions per second,
#      p50 and p99, the operator approving at once;
#   5. decisions per second when a policy rule approves each request, no
#      operator asked (every verdict still durable before it is sent),
#      beside the durable, signing minimum (bench/durable_service.c) and
#      the limit without a store, in turn, with the disk's flush time and
#      the load average before each.
# The load comes from bench/load_generator.c. The requests are made as the
# user nobody and the operator is root, the only approver of a configuration
# made for the run (caps raised to let 10,000 requests of one user wait):
# needs root. "quick" holds 2,000 and runs 3 s instead of 10 s.
# Expects the release and bench builds (bench/run.sh makes them);
# KOA_SERVICE_BUILD=DIR measures the daemon and command of another build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=${1:-full}  # full, quick, or rule (only the figures of 5)
declare -A per_second
held=10000
seconds=10
if [ "$mode" = quick ]; then
  held=2000
  seconds=3
fi
dir=${KOA_BENCH_DIR:-/tmp/koa-bench}/service
bin=$root/build/bench/bench
# The programs measured: the release build's, or another build folder's.
programs=${KOA_SERVICE_BUILD:-$root/build/release}
daemon=$programs/src/approvald/kelvane-operator-approvald
operators=$programs/src/operators/kelvane-operator-approvals
load=$bin/load_generator
limit=$bin/limit_service
durable=$bin/durable_service

if [ "$(id -u)" != 0 ]; then
  echo "service figures: skipped (needs root: the requests come from nobody, the operator is root)"
  exit 0
fi
for program in "$daemon" "$operators" "$load" "$limit" "$durable"; do
  [ -x "$program" ] || { echo "service figures: not built: $program" >&2; exit 1; }
done

rm -rf "$dir"
mkdir -p "$dir"
chmod 0755 "$dir"
cat >"$dir/service.toml" <<EOF
approvers = ["root"]
max_pending_per_user = $((held + 1000))
max_pending = $((held + 1000))
default_timeout = 3600
max_timeout = 3600
EOF

service_pid=""
holder_pid=""
cleanup() {
  [ -z "$holder_pid" ] || kill "$holder_pid" 2>/dev/null || true
  [ -z "$service_pid" ] || { kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; }
  rm -rf "$dir/holder.in"
}
trap cleanup EXIT

requests=$dir/requests.sock
operator_socket=$dir/operators.sock

# Starts the daemon (fresh record) or the limit, and waits until it listens.
start() {  # daemon | limit
  rm -rf "$dir/state" "$requests" "$operator_socket" "$dir/service.out" "$dir/service.err"
  if [ "$1" = daemon ]; then
    "$daemon" --socket "$requests" --operator-socket "$operator_socket" --state-dir "$dir/state" \
      --config "$dir/service.toml" >"$dir/service.out" 2>"$dir/service.err" &
  else
    "$limit" --socket "$requests" --operator-socket "$operator_socket" >"$dir/service.out" 2>"$dir/service.err" &
  fi
  service_pid=$!
  for _ in $(seq 200); do grep -qs 'listening on' "$dir/service.out" && return; sleep 0.05; done
  echo "the $1 did not start: $(cat "$dir/service.err")" >&2
  exit 1
}
stop() {
  kill -TERM "$service_pid"
  wait "$service_pid" || true
  service_pid=""
}
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$service_pid/status"; }

# The daemon's count of pending requests, from `status` ("pending  N").
pending_count() {
  "$operators" --socket "$operator_socket" status 2>/dev/null | awk '$1 == "pending" { print $2 }'
}

# --- 1 and 2: requests waiting at once ----------------------------------------
hold() {  # daemon | limit
  start "$1"
  sleep 0.5
  local idle loaded
  idle=$(rss_kb)
  rm -f "$dir/holder.in"
  mkfifo "$dir/holder.in"
  "$load" hold "$held" --socket "$requests" --as-user nobody <"$dir/holder.in" >"$dir/holder.out" 2>&1 &
  holder_pid=$!
  exec 9>"$dir/holder.in"
  for _ in $(seq 1200); do grep -q '^holding' "$dir/holder.out" && break; sleep 0.05; done
  grep -q '^holding' "$dir/holder.out" || { echo "the load generator did not get its requests out: $(cat "$dir/holder.out")" >&2; exit 1; }
  if [ "$1" = daemon ]; then
    for _ in $(seq 600); do [ "$(pending_count)" = "$held" ] && break; sleep 0.05; done
    [ "$(pending_count)" = "$held" ] || echo "  (the daemon reports $(pending_count) pending, not $held)"
  else
    sleep 1
  fi
  loaded=$(rss_kb)
  printf '%-7s %6d waiting: RSS idle %7d KB, with them %7d KB, %6.2f KB per waiting request\n' \
    "$1" "$held" "$idle" "$loaded" "$(echo "($loaded - $idle) / $held" | bc -l)"
  if [ "$1" = daemon ]; then
    echo
    echo "== list --json with $held pending (bench/measure, 7 rounds)"
    "$bin/measure" -r 7 -w 1 list "$operators --socket $operator_socket list --json" | grep -v '^summary'
    echo "answer size: $("$operators" --socket "$operator_socket" list --json | wc -c) bytes"
  fi
  exec 9>&-
  wait "$holder_pid" || true
  holder_pid=""
  stop
}

if [ "$mode" != rule ]; then
echo "== $held requests waiting at once: resident memory (goal: at most 10 KB per request)"
hold daemon
hold limit

# --- 3: decisions per second --------------------------------------------------
# Every decision waits for one fdatasync of the write-ahead log, and other
# work on a shared host delays the daemon's threads: both are printed, as
# they bound what the figures below can be.
echo
echo "== the disk under $dir: 4 KB writes, each followed by fdatasync (dd oflag=dsync)"
dd if=/dev/zero of="$dir/dsync.probe" bs=4k count=200 oflag=dsync 2>&1 | tail -1
rm -f "$dir/dsync.probe"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "== decisions per second: 64 requesters, one scripted operator approving ($seconds s; goal: at least 5,000/s)"
for who in daemon limit; do
  start "$who"
  line=$("$load" throughput 64 "$seconds" --socket "$requests" --operator-socket "$operator_socket" --as-user nobody)
  echo "$who: $line"
  per_second[$who]=$(sed -n 's/.* per_second \([0-9]*\).*/\1/p' <<<"$line")
  stop
done
echo "daemon / limit: $(echo "scale=3; ${per_second[daemon]} / ${per_second[limit]}" | bc)"

# --- 4: latency at 1,000 decisions per second -----------------------------------
echo
echo "== request to verdict at 1,000 decisions/s, the operator approving at once ($seconds s; goal: p99 at most 5 ms)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for who in daemon limit; do
  start "$who"
  echo "$who: $("$load" latency 1000 "$seconds" --socket "$requests" --operator-socket "$operator_socket" --as-user nobody)"
  stop
done
fi

# --- 5: decisions by an approve rule -------------------------------------------
echo
echo "== decisions per second decided by an approve rule, no operator asked ($seconds s; goal: at least the operator-decided figure of 3)"
cat >>"$dir/service.toml" <<EOF_RULE

[[rule]]
name = "bench-approve"
effect = "approve"
user = "nobody"
EOF_RULE
# Beside it, in turn on the same host: the durable, signing minimum
# (bench/durable_service.c: one SQLite row per request, WAL and
# synchronous=FULL, one transaction per turn of its loop, an Ed25519
# signature per approval, then the answer) and the limit answering at once
# without storing anything. Each figure is preceded by the disk's flush time
# and the load average, which bound it.
flush_ms() {  # ms per 4 KB write followed by fdatasync, 200 of them
  local took
  took=$(dd if=/dev/zero of="$dir/dsync.probe" bs=4k count=200 oflag=dsync 2>&1 | sed -n 's/.*copied, \([0-9.]*\) s.*/\1/p')
  rm -f "$dir/dsync.probe"
  echo "scale=2; $took * 1000 / 200" | bc
}
start_durable() {
  rm -rf "$dir/durable.sqlite3"* "$requests" "$dir/service.out" "$dir/service.err"
  "$durable" --socket "$requests" --record "$dir/durable.sqlite3" >"$dir/service.out" 2>"$dir/service.err" &
  service_pid=$!
  for _ in $(seq 200); do grep -qs 'listening on' "$dir/service.out" && return; sleep 0.05; done
  echo "the durable minimum did not start: $(cat "$dir/service.err")" >&2
  exit 1
}
declare -A by_rule
# KOA_EARLIER_DAEMON=PATH: another build of the daemon (before a change),
# measured in the same rotation as "earlier".
turns=(daemon durable limit daemon durable)
[ -z "${KOA_EARLIER_DAEMON:-}" ] || turns=(daemon earlier durable limit daemon earlier durable)
for who in "${turns[@]}"; do
  echo "  (fdatasync $(flush_ms) ms, load average $(cut -d' ' -f1-3 /proc/loadavg))"
  case $who in
    daemon) start daemon ;;
    earlier) this=$daemon; daemon=$KOA_EARLIER_DAEMON; start daemon; daemon=$this ;;
    durable) start_durable ;;
    limit) rm -f "$operator_socket"; "$limit" --socket "$requests" >"$dir/service.out" 2>&1 & service_pid=$!; sleep 0.3 ;;
  esac
  line=$("$load" throughput 64 "$seconds" --socket "$requests" --as-user nobody)
  echo "$who: $line"
  by_rule[$who]="${by_rule[$who]:-} $(sed -n 's/.* per_second \([0-9]*\).*/\1/p' <<<"$line")"
  stop
done
read -r daemon1 daemon2 <<<"${by_rule[daemon]}"
read -r durable1 durable2 <<<"${by_rule[durable]}"
[ -z "${per_second[daemon]:-}" ] || echo "by rule / by operator: $(echo "scale=3; $daemon1 / ${per_second[daemon]}" | bc)"
echo "daemon / durable minimum (goal: at least 0.7): $(echo "scale=3; $daemon1 / $durable1" | bc), $(echo "scale=3; $daemon2 / $durable2" | bc)"
echo "daemon / limit without a store: $(echo "scale=3; $daemon1 / ${by_rule[limit]}" | bc)"
if [ -n "${KOA_EARLIER_DAEMON:-}" ]; then
  read -r earlier1 earlier2 <<<"${by_rule[earlier]}"
  echo "daemon / earlier daemon: $(echo "scale=3; $daemon1 / $earlier1" | bc), $(echo "scale=3; $daemon2 / $earlier2" | bc)"
  echo "earlier / durable minimum: $(echo "scale=3; $earlier1 / $durable1" | bc), $(echo "scale=3; $earlier2 / $durable2" | bc)"
fi
