#!/usr/bin/env bash
# Runs the end-to-end tests with the client under valgrind memcheck and checks
# every run's report: no error, no leak, no descriptor left open but 0 to 2.
# Usage: tests/valgrind/run.sh [build-dir]   (default: build/dev, built first)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/dev}
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }
[ -n "${1:-}" ] || cmake --build --preset dev

logs=$(mktemp -d /tmp/koa-valgrind-XXXXXX)
export KOA_VALGRIND=1
export KOA_VALGRIND_LOGS=$logs
export KOA_REAL_CLIENT=$build/src/kelvane-operator-approve
export KOA_CLIENT=$root/tests/valgrind/client.sh
export KOA_TEST_DATA=$root/tests/data

status=0
for test in "$build"/tests/e2e/e2e_test "$build"/tests/hostile/hostile_test; do
  [ -x "$test" ] || continue
  echo "== $(basename "$test")"
  "$test" --gtest_brief=1 || status=1
done

runs=0
bad=0
for log in "$logs"/client.*.log; do
  [ -e "$log" ] || continue
  runs=$((runs + 1))
  # A run killed on purpose (a test that bounds an endless wait) has no summary.
  grep -q 'ERROR SUMMARY' "$log" || continue
  if ! grep -q 'ERROR SUMMARY: 0 errors' "$log" ||
     ! grep -qE 'All heap blocks were freed|in use at exit: 0 bytes' "$log" ||
     grep -qE 'FILE DESCRIPTORS: ([4-9]|[1-9][0-9]+) open' "$log"; then
    bad=$((bad + 1))
    echo "-- $log" >&2
    cat "$log" >&2
  fi
done
echo "valgrind: $runs client runs, $bad with errors, leaks or stray descriptors (logs in $logs)"
[ $bad -eq 0 ] && [ $status -eq 0 ]
