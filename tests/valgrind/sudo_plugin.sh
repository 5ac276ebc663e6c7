#!/usr/bin/env bash
# Runs the sudo plugin's unit tests under valgrind memcheck: the built
# kelvane_approval.so loaded, driven and unloaded as sudo does it, and the
# request building on its own. Every run must show no error, no leak of any
# kind and no descriptor left open but those inherited.
# Usage: tests/valgrind/sudo_plugin.sh [build-dir]   (default: build/dev, built first)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/dev}
valgrind=$(command -v valgrind) || { echo "valgrind is not installed" >&2; exit 2; }
[ -n "${1:-}" ] || cmake --build --preset dev --target sudo_plugin_test sudo_request_test sudo_command_file_test

logs=$(mktemp -d /tmp/koa-valgrind-sudo-XXXXXX)
status=0
for test in "$build"/tests/sudo/sudo_plugin_test "$build"/tests/sudo/sudo_request_test \
  "$build"/tests/sudo/sudo_command_file_test; do
  [ -x "$test" ] || { echo "not built: $test" >&2; status=1; continue; }
  name=$(basename "$test")
  echo "== $name"
  # Services forked by the tests are not checked: they end with _exit.
  # glibc.supp: blocks the C library keeps until exit (name service
  # modules); every other block left at exit is an error.
  "$valgrind" --error-exitcode=99 --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
    --suppressions="$root/tests/valgrind/glibc.supp" \
    --track-fds=yes --child-silent-after-fork=yes --log-file="$logs/$name.log" \
    "$test" --gtest_brief=1 || status=1
  log=$logs/$name.log
  stray=$(awk '/Open (file descriptor|AF_UNIX socket)/ { pending = 1; next }
               pending { if ($0 !~ /inherited from parent/) n++; pending = 0 }
               END { print n + 0 }' "$log")
  # Leaks of every kind count as errors (--errors-for-leak-kinds=all), the
  # suppressed ones excepted.
  if ! grep -q 'ERROR SUMMARY: 0 errors' "$log" || [ "$stray" -ne 0 ]; then
    echo "-- $log" >&2
    cat "$log" >&2
    status=1
  else
    grep -E 'in use at exit|ERROR SUMMARY' "$log" | sed 's/^==[0-9]*== /  /'
  fi
done
echo "valgrind: logs in $logs"
exit $status
