#!/usr/bin/env bash
# Line and branch coverage of src/ over the whole test suite: builds the
# coverage preset (clang source-based coverage), runs every test with
# CI=true, merges the profiles of every program, shared object and test
# binary of the build, and prints the figures per folder of src/ and in
# total.
#
#   tools/coverage.sh            build, run the suite, report
#   tools/coverage.sh --report   report on the profiles of the last run
#   tools/coverage.sh --files    also list every file of src/ with its figures
#
# Each process writes its own profile, named by its pid, under
# build/coverage/profiles. That folder is compiled into every binary of the
# build (-fprofile-instr-generate=PATH in the preset) rather than only given
# through LLVM_PROFILE_FILE, because sudo removes that variable before it
# loads the approval plugin, and the tests start the daemon and the
# operators' command with environments of their own. It is open to every
# user (mode 1777): the tests run programs as other uids.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/coverage
profiles=$build/profiles
profdata=$build/coverage.profdata
llvm_profdata=$(command -v llvm-profdata-14 || command -v llvm-profdata)
llvm_cov=$(command -v llvm-cov-14 || command -v llvm-cov)

run_suite=yes
per_file=no
for arg in "$@"; do
  case $arg in
  --report) run_suite=no ;;
  --files) per_file=yes ;;
  *)
    echo "usage: tools/coverage.sh [--report] [--files]" >&2
    exit 2
    ;;
  esac
done

suite_status=0
if [ $run_suite = yes ]; then
  cmake --preset coverage
  cmake --build --preset coverage
  rm -rf "$profiles"
  mkdir -p "$profiles"
  chmod 1777 "$profiles"
  export LLVM_PROFILE_FILE=$PWD/$profiles/%p-%m.profraw
  CI=true ctest --test-dir "$build" -j 2 --output-on-failure || suite_status=$?
fi

find "$profiles" -name '*.profraw' -size +0 >"$build/profiles.list"
echo "coverage: merging $(wc -l <"$build/profiles.list") profiles"
"$llvm_profdata" merge -sparse -f "$build/profiles.list" -o "$profdata"

# Every ELF of the build that carries coverage mapping: the programs, the
# plugin and the test binaries.
objects=()
while IFS= read -r -d '' file; do
  if readelf -S "$file" 2>/dev/null | grep -q __llvm_covmap; then
    objects+=("$file")
  fi
done < <(find "$build" -path "$profiles" -prune -o -path "$build/CMakeFiles" -prune -o -type f \
  \( -perm -u+x -o -name '*.so' \) -print0)
object_args=("${objects[0]}")
for object in "${objects[@]:1}"; do object_args+=(-object "$object"); done

# The build maps the source folder away (-ffile-prefix-map), so the mapped
# names are relative to the top of the tree: report from here. The tests'
# and tools' files stay in the report, so that llvm-cov keeps the names
# whole (it strips the prefix that all share), and are left out below.
report=$build/coverage.txt
"$llvm_cov" report --instr-profile="$profdata" "${object_args[@]}" \
  --ignore-filename-regex='^/usr/' >"$report"

# llvm-cov's columns: file, regions (total, missed, %), functions (total,
# missed, %), lines (total, missed, %), branches (total, missed, %). The
# files sort before the folders add up (awk here may be mawk: no asorti).
row() {
  awk '
    function pct(total, missed) { return total == 0 ? 100 : 100 * (total - missed) / total }
    {
      printf "%-44s %7.1f %% %11s  %7.1f %% %11s\n", $1, pct($2, $3), ($2 - $3) "/" $2,
        pct($4, $5), ($4 - $5) "/" $4
    }'
}
files=$(awk '$1 ~ /^src\// { print $1, $8, $9, $11, $12 }' "$report" | LC_ALL=C sort)
if [ $per_file = yes ]; then
  printf '%-44s %9s %11s  %9s\n' file lines "" branches
  echo "$files" | row
  echo
fi
printf '%-44s %9s %11s  %9s\n' src/ lines "" branches
echo "$files" | awk '
  { split($1, part, "/"); folder = part[2] "/"
    if (folder != current) { if (current != "") print current, l, ml, b, mb; current = folder; l = ml = b = mb = 0 }
    l += $2; ml += $3; b += $4; mb += $5 }
  END { if (current != "") print current, l, ml, b, mb }' | row
echo "$files" | awk '{ l += $2; ml += $3; b += $4; mb += $5 } END { print "total", l, ml, b, mb }' | row

if [ "$suite_status" -ne 0 ]; then
  echo "coverage: the test suite failed (ctest status $suite_status); the figures above are of the tests that ran" >&2
  exit "$suite_status"
fi
