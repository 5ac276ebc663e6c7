#!/usr/bin/env bash
# Runs the end-to-end tests with the client under valgrind memcheck and checks
# every run's report: no error, no leak of any kind, no descriptor left open
# but 0 to 2.
# Usage: tests/valgrind/run.sh [build-dir]   (default: build/dev, built first)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/dev}
valgrind=$(command -v valgrind) || { echo "valgrind is not installed" >&2; exit 2; }
[ -n "${1:-}" ] || cmake --build --preset dev

logs=$(mktemp -d /tmp/koa-valgrind-XXXXXX)
# The stand-in client: the real one under memcheck. Some tests give the
# client a bare environment, so every path is written into the script. Any
# memory error or leak makes the exit status 99, which fails the test; each
# run's report goes to a file of its own.
cat >"$logs/client" <<WRAPPER
#!/bin/sh
exec $valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=all \\
  --errors-for-leak-kinds=all --suppressions=$root/tests/valgrind/glibc.supp \\
  --track-fds=yes --log-file=$logs/client.%p.log \\
  $build/src/kelvane-operator-approve "\$@"
WRAPPER
chmod +x "$logs/client"
export KOA_VALGRIND=1
export KOA_CLIENT=$logs/client

status=0
for test in "$build"/tests/e2e/e2e_test "$build"/tests/hostile/hostile_test; do
  [ -x "$test" ] || continue
  echo "== $(basename "$test")"
  "$test" --gtest_brief=1 || status=1
done

# Descriptors that the client opened itself and left open at exit (those it
# inherited from the test are none of its business).
stray_descriptors() {
  awk '/Open (file descriptor|AF_UNIX socket|AF_INET6? socket)/ { pending = 1; next }
       pending { if ($0 !~ /inherited from parent/) n++; pending = 0 }
       END { print n + 0 }' "$1"
}

runs=0
bad=0
for log in "$logs"/client.*.log; do
  [ -e "$log" ] || continue
  runs=$((runs + 1))
  # A run killed on purpose (a test that bounds an endless wait) has no summary.
  grep -q 'ERROR SUMMARY' "$log" || continue
  # Leaks of every kind are errors (--errors-for-leak-kinds=all) but those
  # of glibc.supp: blocks the C library keeps until exit.
  if ! grep -q 'ERROR SUMMARY: 0 errors' "$log" || [ "$(stray_descriptors "$log")" -ne 0 ]; then
    bad=$((bad + 1))
    echo "-- $log" >&2
    cat "$log" >&2
  fi
done
echo "valgrind: $runs client runs, $bad with errors, leaks or stray descriptors (logs in $logs)"
[ $bad -eq 0 ] && [ $status -eq 0 ]
