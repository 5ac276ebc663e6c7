#!/usr/bin/env bash
# The packages on a Debian 12 booted with systemd as PID 1: builds a minimal
# image once (debootstrap; kept in /var/cache/kelvane-system-test, keyed by
# what goes into it), boots a fresh copy of it with systemd-nspawn, installs
# the packages built from this tree and runs an administrator's journey in
# it (tests/system/journey.sh), the documentation's shell blocks included.
# Needs root. Every step is printed; the first that fails stops the test.
#
#   packaging/system-test.sh [BUILD_DIR]        (default: build/package)
#
# KOA_SYSTEM_TEST_CACHE moves the image cache; KOA_SYSTEM_TEST_KEEP=1 keeps
# the booted copy for a look afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/package}" && pwd)
cache=${KOA_SYSTEM_TEST_CACHE:-/var/cache/kelvane-system-test}
start=$SECONDS

say() { printf 'system-test: %s (%d s)\n' "$*" "$((SECONDS - start))"; }
die() {
  printf 'system-test: FAIL: %s\n' "$*" >&2
  exit 1
}
[ "$(id -u)" = 0 ] || { echo "system-test: needs root (debootstrap, systemd-nspawn)" >&2; exit 77; }
for tool in debootstrap systemd-nspawn nsenter dpkg-deb; do
  command -v "$tool" >/dev/null || die "$tool is missing"
done
shopt -s nullglob
debs=("$build"/*.deb)
[ ${#debs[@]} -gt 0 ] || die "no .deb in $build"

# --- The image -----------------------------------------------------------------
# What the packages need at run time (their Depends as dpkg-shlibdeps finds
# them), what the journey uses (sudo, sqlite3 for the documented backup,
# runuser/su from util-linux, a login session through libpam-systemd), and
# no more: no procps, so that a unit needing /bin/kill fails here as on a
# minimal host.
suite=bookworm
include=systemd,systemd-sysv,dbus,libpam-systemd,sudo,sqlite3,libsqlite3-0,libpq5,libnettle8
include+=,libtomlplusplus3,libsystemd0
key=$(printf '%s\n' "image v3" "$suite" "$include" | sha256sum | cut -c1-16)
image=$cache/$key
if [ ! -f "$image/done" ]; then
  say "building the $suite image $key (debootstrap, once per set of inputs)"
  rm -rf "$cache/$key.new"
  mkdir -p "$cache/$key.new"
  debootstrap --variant=minbase --include="$include" "$suite" "$cache/$key.new/root" \
    >"$cache/$key.new/debootstrap.log" 2>&1 || {
    tail -n 30 "$cache/$key.new/debootstrap.log" >&2
    die "debootstrap failed"
  }
  chroot "$cache/$key.new/root" apt-get clean
  # A fresh machine id at each boot, and no first-boot questions (nobody
  # is at the console to answer them).
  rm -f "$cache/$key.new/root/etc/machine-id"
  ln -s /dev/null "$cache/$key.new/root/etc/systemd/system/systemd-firstboot.service"
  touch "$cache/$key.new/done"
  mv "$cache/$key.new" "$image"
  # Images of other inputs are not reused again.
  for old in "$cache"/*; do
    [ "$old" = "$image" ] || rm -rf "$old"
  done
  say "image built"
else
  say "reusing the cached image $key"
fi

work=$(mktemp -d /var/tmp/kelvane-system-test-XXXXXX)
machine=$work/root
nspawn_pid=""
cleanup() {
  local status=$?
  if [ -n "$nspawn_pid" ]; then
    # An orderly shutdown first, then the container is killed.
    kill -RTMIN+4 "$init" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  if [ "$status" != 0 ] && [ -f "$work/boot.log" ]; then
    echo "system-test: the container's console (last lines):" >&2
    tail -n 20 "$work/boot.log" >&2
  fi
  if [ "${KOA_SYSTEM_TEST_KEEP:-0}" = 1 ]; then
    echo "system-test: kept $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

say "copying the image"
cp -a --reflink=auto "$image/root" "$machine"
echo koa-system-test >"$machine/etc/hostname"
printf '127.0.1.1\tkoa-system-test\n' >>"$machine/etc/hosts"

# The packages of this tree, and the same packages with a higher version for
# the upgrade.
mkdir -p "$machine/root/debs" "$machine/root/debs-next"
cp "${debs[@]}" "$machine/root/debs/"
for deb in "${debs[@]}"; do
  unpacked=$work/repack
  rm -rf "$unpacked"
  dpkg-deb -R "$deb" "$unpacked"
  sed -i 's/^Version: .*/&+next1/' "$unpacked/DEBIAN/control"
  dpkg-deb --root-owner-group -b "$unpacked" "$machine/root/debs-next/" >/dev/null
done
rm -rf "$work/repack"
# The journey and the documentation's blocks.
mkdir -p "$machine/root/system-test"
cp "$root"/tests/system/*.sh "$machine/root/system-test/"
"$root/tests/system/doc-blocks.sh" extract "$root" "$machine/root/system-test/blocks"

say "booting it"
systemd-nspawn --register=no --keep-unit --quiet -D "$machine" -b --console=pipe \
  >"$work/boot.log" 2>&1 </dev/null &
nspawn_pid=$!
# The container's init: the child of systemd-nspawn in a PID namespace of
# its own.
init=""
for _ in $(seq 300); do
  kill -0 "$nspawn_pid" 2>/dev/null || die "systemd-nspawn exited"
  for child in $(cat /proc/"$nspawn_pid"/task/*/children 2>/dev/null); do
    if [ "$(readlink /proc/"$child"/ns/pid)" != "$(readlink /proc/self/ns/pid)" ]; then
      init=$child
    fi
  done
  [ -z "$init" ] || break
  sleep 0.1
done
[ -n "$init" ] || die "the container's init never started"
inside() { nsenter -t "$init" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root "$@"; }
# Up to three minutes: a loaded CI machine boots slowly.
state=""
for _ in $(seq 1800); do
  state=$(inside systemctl is-system-running 2>/dev/null) || true
  case $state in running | degraded) break ;; esac
  sleep 0.1
done
case $state in
  running | degraded) ;;
  *) die "the system never finished booting: is-system-running says '$state'" ;;
esac
if [ "$state" = degraded ]; then
  say "booted, degraded: $(inside systemctl --failed --plain --no-legend | tr '\n' ' ')"
else
  say "booted: systemd is running"
fi

say "the administrator's journey"
inside /bin/bash /root/system-test/journey.sh
say "passed"
