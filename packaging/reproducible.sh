#!/usr/bin/env bash
# Builds the Debian packages twice, from two clones of the committed HEAD in
# two differently named folders, and checks that the .deb files are byte for
# byte the same.
#
#   packaging/reproducible.sh
#
# SOURCE_DATE_EPOCH is the time of the last commit (the build uses the same
# when it is not set). Uncommitted changes are not part of the clones.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build_in() {
  local clone=$1
  git clone --quiet --no-hardlinks "$root" "$clone"
  (cd "$clone" && cmake --workflow --preset package >"$clone.log" 2>&1) || {
    tail -n 40 "$clone.log" >&2
    echo "reproducible: the build in $clone failed" >&2
    exit 1
  }
}

first=$work/first
second=$work/a-second-folder-with-a-longer-name
build_in "$first"
build_in "$second"

status=0
count=0
for deb in "$first"/build/package/*.deb; do
  name=$(basename "$deb")
  count=$((count + 1))
  other=$second/build/package/$name
  if [ ! -f "$other" ]; then
    echo "reproducible: $name was built only once" >&2
    status=1
  elif cmp -s "$deb" "$other"; then
    echo "reproducible: $name identical ($(sha256sum <"$deb" | cut -c1-16)...)"
  else
    echo "reproducible: $name DIFFERS" >&2
    # Say where: the members, then the files inside.
    for d in "$deb" "$other"; do
      mkdir -p "$d.x"
      dpkg-deb -R "$d" "$d.x"
    done
    diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$other") >&2 || true
    diff -r "$deb.x" "$other.x" >&2 || true
    status=1
  fi
done
[ "$count" -gt 0 ] || { echo "reproducible: no package was built" >&2; exit 1; }
exit $status
