#!/usr/bin/env bash
# Runs every fuzz target once over each input of its committed corpus and of
# its regression inputs (fuzz/regressions/<target>/, the inputs of faults
# found and fixed): a quick check, not a campaign. Build first with
#   cmake --workflow --preset fuzz
# Usage: fuzz/replay.sh [build-dir]   (default: build/fuzz)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/fuzz}

status=0
for corpus in "$root"/fuzz/corpus/*/; do
  name=$(basename "$corpus")
  target=$build/fuzz/$name
  if [ ! -x "$target" ]; then
    echo "replay: $name: no such target in $build" >&2
    status=1
    continue
  fi
  dirs=("$corpus")
  [ -d "$root/fuzz/regressions/$name" ] && dirs+=("$root/fuzz/regressions/$name")
  count=$(find "${dirs[@]}" -type f | wc -l)
  # -runs=0 executes the inputs and stops before any mutation.
  if "$target" -runs=0 -rss_limit_mb=2048 -timeout=30 "${dirs[@]}" >"$build/replay-$name.log" 2>&1; then
    echo "replay: $name: $count inputs ok"
  else
    echo "replay: $name: FAILED (log follows)" >&2
    tail -n 40 "$build/replay-$name.log" >&2
    status=1
  fi
done
exit $status
