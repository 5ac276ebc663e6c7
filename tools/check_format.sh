#!/usr/bin/env bash
# Fails when a C or C++ source that git tracks is not as clang-format 14
# would write it with the tree's .clang-format; names the files that differ.
# With --fix, rewrites them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cc' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
clang-format --version
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/koa-format.$$; then
  grep -o '^[^:]*:' /tmp/koa-format.$$ | sort -u | sed 's/:$/: not formatted (tools\/check_format.sh --fix)/'
  rm -f /tmp/koa-format.$$
  exit 1
fi
rm -f /tmp/koa-format.$$
echo "format: ${#files[@]} files as clang-format writes them"
