#!/usr/bin/env bash
# Proves that the README's first command, tools/demo.sh, works on a fresh
# Debian 12: a minimal root (debootstrap's minbase variant, nothing else) gets
# a copy of this tree, and tools/demo.sh runs inside it as root, installing
# what it needs itself. Fails when the demo fails.
#
# The minimal root is made once and kept, keyed by a hash of what it is made
# from, in $KOA_FRESH_ROOT_CACHE (default /var/cache/kelvane-fresh-root);
# every run works on a throw-away copy of it, so that what one demo installed
# never helps the next. Needs root, debootstrap and Debian's archive.
#
# Usage: tools/fresh-demo-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
tree=$PWD

[ "$(id -u)" -eq 0 ] || { echo "fresh-demo-test: must run as root (debootstrap, chroot)" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "fresh-demo-test: debootstrap is not installed" >&2; exit 2; }

suite=bookworm
variant=minbase
arch=$(dpkg --print-architecture)
cache=${KOA_FRESH_ROOT_CACHE:-/var/cache/kelvane-fresh-root}
# The root depends on nothing but these; a new debootstrap (its version) may
# make a different one.
key=$(printf '%s\n' "$suite" "$variant" "$arch" "$(dpkg-query -W -f='${Version}' debootstrap)" |
  sha256sum | cut -c1-16)
pristine=$cache/$suite-$variant-$key

mkdir -p "$cache"
if [ ! -d "$pristine" ]; then
  echo "fresh-demo-test: making the minimal $suite root (debootstrap --variant=$variant)"
  partial=$(mktemp -d "$cache/partial.XXXXXX")
  if ! debootstrap --variant="$variant" --arch="$arch" "$suite" "$partial" >"$partial.log" 2>&1; then
    tail -n 30 "$partial.log" >&2
    rm -rf "$partial" "$partial.log"
    exit 1
  fi
  rm -f "$partial.log"
  # mktemp made it 0700: a root directory is 0755 (the demo's requester is
  # the user nobody).
  chmod 0755 "$partial"
  # Renamed only when complete, so that an interrupted run leaves no
  # half-made root behind under the key.
  mv -T "$partial" "$pristine"
fi

work=$(mktemp -d /var/tmp/kelvane-fresh-demo.XXXXXX)
root=$work/root
cleanup() {
  # The mounts live in the private mount namespace of the run below and
  # disappear with it; never delete through one that is still there.
  if findmnt -rn -o TARGET | grep -q "^$root/"; then
    echo "fresh-demo-test: $root still has mounts; left in place" >&2
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

cp -a "$pristine" "$root"
chmod 0755 "$root"
# Name resolution for apt-get inside, as on any freshly installed host.
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
# The tree as checked out (tracked and new files, not the ignored build
# output), where a newcomer would have cloned it; outside a git checkout
# (an exported tree), all of it but build/.
mkdir -p "$root/root/kelvane"
if git -C "$tree" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$tree" ls-files -z --cached --others --exclude-standard |
    (cd "$tree" && tar --null --no-recursion -T - -cf -) | tar -xf - -C "$root/root/kelvane"
else
  tar -C "$tree" --exclude=./build -cf - . | tar -xf - -C "$root/root/kelvane"
fi

start=$SECONDS
status=0
unshare --mount --propagation private -- bash -euo pipefail -c '
  root=$1
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount -t sysfs sysfs "$root/sys"
  exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd /root/kelvane && tools/demo.sh"
' fresh-demo "$root" >"$work/demo.log" 2>&1 || status=$?
elapsed=$((SECONDS - start))

if [ "$status" -ne 0 ]; then
  cat "$work/demo.log"
  echo "fresh-demo-test: tools/demo.sh failed on a fresh $suite root (exit status $status, $elapsed s)" >&2
  exit 1
fi
# The demo's own checks: the approval, the denial and no service.
for expected in "the client's exit status:     0" "the client's exit status:     1" \
  "the client's exit status:     3"; do
  grep -qF "$expected" "$work/demo.log" || {
    cat "$work/demo.log"
    echo "fresh-demo-test: the demo's output lacks \"$expected\"" >&2
    exit 1
  }
done
echo "fresh-demo-test: tools/demo.sh passed on a fresh $suite root in $elapsed s"
