#!/usr/bin/env bash
# The whole measuring kit in one command, from a clean clone:
#
#   bench/run.sh [quick]
#
# Builds the release and bench presets, generates the documents (kept in
# $KOA_BENCH_DIR, default /tmp/koa-bench, and reused while their size
# matches), starts two fake services and measures, interleaved:
#   1. one approval run: the client against the static C reference client,
#      plus instruction count (callgrind) and system calls (strace -c -f);
#   2. --context-file with each 100 MB document (and each 10 MB one, for the
#      growth) against the read-and-send baseline and the RapidJSON and
#      simdjson peers (parse, byte-wise key sort, compact write, send), and
#      the instructions of the client and simdjson's peer on the 10 MB ones;
#   3. a 100 MB reply line against the reference client receiving it;
#   4. the codec micro-benchmarks (Google Benchmark): documents read and
#      written against the peers, number reading against std::from_chars,
#      floating-point text against std::to_chars;
#   5. the approval service against its limit (bench/service.sh): memory
#      per waiting request, list --json with 10,000 pending, decisions per
#      second, latency at 1,000 decisions per second, decisions by an
#      approve rule beside the durable, signing minimum (as root only);
#   6. the fleet: two services on one PostgreSQL (bench/fleet.sh), then a
#      hundred (bench/hundred.sh, full runs only).
# "quick" uses fewer rounds and skips the 100 MB documents.
# "service" builds and runs only part 5.
# KOA_EARLIER_CLIENT=PATH adds another build of the client (an earlier
# commit's, say) to every whole-process comparison, as "earlier".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=${1:-full}
dir=${KOA_BENCH_DIR:-/tmp/koa-bench}
mkdir -p "$dir"
approval_rounds=${KOA_APPROVAL_ROUNDS:-301}
big_rounds=${KOA_BIG_ROUNDS:-7}
sizes="10M 100M"
if [ "$mode" = quick ]; then
  approval_rounds=51
  big_rounds=3
  sizes="10M"
fi

need=()
command -v valgrind >/dev/null || need+=(valgrind)
command -v strace >/dev/null || need+=(strace)
command -v bc >/dev/null || need+=(bc)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -f /usr/include/rapidjson/document.h ] || need+=(rapidjson-dev)
[ -f /usr/include/simdjson.h ] || need+=(libsimdjson-dev)
if [ ${#need[@]} -gt 0 ] && [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

echo "== building (release, bench)"
cmake --workflow --preset release >/dev/null
cmake --workflow --preset bench >/dev/null
if [ "$mode" = service ]; then
  exec bench/service.sh
fi
client=$root/build/release/src/kelvane-operator-approve
bin=$root/build/bench/bench
measure=$bin/measure

echo "== documents in $dir"
for size in $sizes; do
  for kind in strings numbers objects deep; do
    f=$dir/$kind-$size.json
    [ -s "$f" ] || "$bin/gen_docs" "$kind" "$size" "$f"
  done
done
reply_size=100M
[ "$mode" = quick ] && reply_size=10M
reply=$dir/reply-$reply_size.txt
[ -s "$reply" ] || "$bin/gen_docs" reply "$reply_size" "$reply"

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
"$bin/fake_service" "$dir/short.sock" & pids+=($!)
"$bin/fake_service" "$dir/big.sock" "$reply" & pids+=($!)
for s in short big; do
  for _ in $(seq 100); do [ -S "$dir/$s.sock" ] && break; sleep 0.05; done
done

unset HOSTNAME XDG_RUNTIME_DIR
export KELVANE_OPERATOR_APPROVAL_SOCK=$dir/short.sock
args="--title Reboot --detail 'Kernel update' --target-host web-03"
approve="$client $args"
has() { [ -x "$bin/$1" ]; }
earlier=()
if [ -n "${KOA_EARLIER_CLIENT:-}" ]; then
  earlier=(earlier "$KOA_EARLIER_CLIENT $args")
fi

echo
echo "== one approval run ($approval_rounds rounds)"
"$measure" -r "$approval_rounds" -w 20 reference "$bin/reference_client" client "$approve" "${earlier[@]}" |
  grep -v '^summary'

echo
echo "== approval tokens: signing and verifying one; verify as a whole process beside the client"
"$bin/token_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null |
  grep -E '^BM_.*(median|cv)'
mkdir -p "$dir/tokens"
"$bin/token_bench" --publish "$dir/tokens"
"$measure" -r "$approval_rounds" -w 20 client "$approve" \
  verify "$root/build/release/src/operators/kelvane-operator-approvals verify $(cat "$dir/tokens/token") --target-host web-03.example.org --public-key $dir/tokens/public-keys.json" |
  grep -v '^summary'

count_instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
count_syscalls() {
  strace -c -f "$@" 2>&1 >/dev/null | awk '$NF == "total" { print $4 }'
}
echo "instructions: client $(count_instructions $client --title Reboot --detail 'Kernel update' --target-host web-03)," \
  "reference $(count_instructions "$bin/reference_client")"
echo "system calls: client $(count_syscalls $client --title Reboot --detail 'Kernel update' --target-host web-03)," \
  "reference $(count_syscalls "$bin/reference_client")"

for size in $sizes; do
  for kind in strings numbers objects deep; do
    f=$dir/$kind-$size.json
    bytes=$(stat -c %s "$f")
    echo
    echo "== --context-file $kind-$size ($bytes bytes, $big_rounds rounds)"
    cmds=(baseline "$bin/read_and_send $f" client "$approve --context-file $f")
    [ ${#earlier[@]} -gt 0 ] && cmds+=(earlier "${earlier[1]} --context-file $f")
    has peer_rapidjson && cmds+=(rapidjson "$bin/peer_rapidjson $f")
    has peer_simdjson && cmds+=(simdjson "$bin/peer_simdjson $f")
    "$measure" -r "$big_rounds" -w 1 -s "$bytes" "${cmds[@]}" | tee "$dir/result-$kind-$size.txt" |
      grep -v '^summary'
  done
done

echo
echo "== instructions of one --context-file run, 10 MB documents (callgrind; deterministic)"
for kind in strings numbers objects deep; do
  f=$dir/$kind-10M.json
  line="$kind: client $(count_instructions $client --title Reboot --detail 'Kernel update' --target-host web-03 --context-file "$f")"
  has peer_simdjson && line+=", simdjson $(count_instructions "$bin/peer_simdjson" "$f")"
  echo "$line"
done

if [ "$mode" != quick ]; then
  echo
  echo "== growth from 10 MB to 100 MB (client): time, peak RSS"
  for kind in strings numbers objects deep; do
    awk -v kind="$kind" '
      FNR == 1 { file++ }
      $1 == "summary" && $2 == "client" { t[file] = $3; r[file] = $4 }
      END { printf "%-8s time %.2fx  rss %.2fx\n", kind, t[2] / t[1], r[2] / r[1] }
    ' "$dir/result-$kind-10M.txt" "$dir/result-$kind-100M.txt"
  done
fi

echo
bytes=$(stat -c %s "$reply")
echo "== reply line of $bytes bytes ($big_rounds rounds)"
KELVANE_OPERATOR_APPROVAL_SOCK=$dir/big.sock \
  "$measure" -r "$big_rounds" -w 1 -s "$bytes" reference "$bin/reference_client" client "$approve" "${earlier[@]}" |
  grep -v '^summary'


if has codec_bench; then
  echo
  echo "== codec micro-benchmarks (10 MB documents; numbers/* against std::from_chars)"
  KOA_BENCH_DOCS=$dir KOA_BENCH_SIZE=10M "$bin/codec_bench" --benchmark_min_time=0.5
fi
if has writer_bench; then
  echo
  echo "== floating-point text against std::to_chars plus the same layout"
  "$bin/writer_bench" --benchmark_min_time=0.5 --benchmark_filter='DoubleText|ToChars'
fi

echo
bench/service.sh "$mode"

echo
bench/fleet.sh "$mode"

if [ "$mode" = full ]; then
  echo
  bench/hundred.sh "$mode"
fi
