#!/usr/bin/env bash
# A fuzzing campaign for one target: new inputs go to a scratch corpus under
# the build directory; afterwards the committed corpus is re-minimised with
# what was found (-merge=1 keeps only inputs that add coverage).
# Usage: fuzz/campaign.sh TARGET SECONDS [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=$1
seconds=$2
build=${3:-$root/build/fuzz}
target=$build/fuzz/$name
seeds=$root/fuzz/corpus/$name
work=$build/campaign/$name
artifacts=$build/campaign/$name-artifacts
mkdir -p "$work" "$artifacts" "$seeds"

dict=()
case $name in
  fuzz_value | fuzz_roundtrip) dict=(-dict="$root/fuzz/json.dict") ;;
  *) [ -f "$root/fuzz/$name.dict" ] && dict=(-dict="$root/fuzz/$name.dict") ;;
esac

set +e
"$target" "${dict[@]}" -max_len=8192 -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "$seeds" \
  >"$build/campaign/$name.log" 2>&1
rc=$?
set -e
grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$build/campaign/$name.log" | tail -n 1 || true
grep -E '^stat::' "$build/campaign/$name.log" || true
if [ $rc -ne 0 ]; then
  echo "campaign: $name: finding (exit $rc), artifacts in $artifacts" >&2
  exit $rc
fi

# Re-minimise the committed corpus over the old and the new inputs. Edges
# alone decide (no hit counters), which keeps the corpus small for replay.
fresh=$build/campaign/$name-merged
rm -rf "$fresh" && mkdir -p "$fresh"
"$target" -merge=1 -use_counters=0 -rss_limit_mb=2048 -timeout=30 "$fresh" "$seeds" "$work" \
  >"$build/campaign/$name-merge.log" 2>&1
rm -rf "$seeds" && mv "$fresh" "$seeds"
echo "campaign: $name: corpus now $(find "$seeds" -type f | wc -l) files," \
  "$(du -sk "$seeds" | cut -f1) KiB"
