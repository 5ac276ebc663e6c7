#!/usr/bin/env bash
# Installs the built Debian packages on this machine, asks the installed
# demonstration service for an approval and a denial with the installed
# client, runs the installed approval service as its socket units would
# (service-test.sh: requests from the client and through sudo, decided by an
# operator of the kelvane-approvers group), then purges the packages and
# checks that none of their files or folders is left. Needs root (it runs
# apt-get).
#
#   packaging/install-test.sh [BUILD_DIR]        (default: build/package)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/package}" && pwd)

if [ "$(id -u)" != 0 ]; then
  echo "install-test: needs root (apt-get install and purge)" >&2
  exit 77
fi
shopt -s nullglob
debs=("$build"/*.deb)
[ ${#debs[@]} -gt 0 ] || { echo "install-test: no .deb in $build" >&2; exit 1; }

failures=0
fail() {
  printf 'FAIL: %s\n' "$*" >&2
  failures=$((failures + 1))
}

packages=()
for deb in "${debs[@]}"; do
  packages+=("$(dpkg-deb --field "$deb" Package)")
done
for p in "${packages[@]}"; do
  if dpkg-query -W -f '${Status}' "$p" 2>/dev/null | grep -qv 'not-installed'; then
    echo "install-test: $p is already installed here; purge it first" >&2
    exit 1
  fi
done

work=$(mktemp -d)
service_pid=""
purge() {
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "${packages[@]}" >"$work/purge.log" 2>&1
}
cleanup() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  [ -z "${installed:-}" ] || purge || true
  rm -rf "$work"
}
trap cleanup EXIT

# Which of the packages' paths exist before: only the others must be gone
# after the purge (folders such as /usr/share/man/man1 belong to many).
for deb in "${debs[@]}"; do
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' -e '/^$/d'
done | sort -u >"$work/paths"
while IFS= read -r path; do
  [ -e "$path" ] || printf '%s\n' "$path"
done <"$work/paths" >"$work/new-paths"

# The approval service's state and runtime folders, made while it runs.
service_made=()
for path in /var/lib/kelvane-operator-approval /var/lib/kelvane-operator-approval-public \
  /run/kelvane-operator-approval; do
  [ -e "$path" ] || service_made+=("$path")
done
# The group the service's package makes stays after a purge, as Debian
# leaves system groups; the test removes it again if it made it, so that the
# machine is as it was.
group_made=0
getent group kelvane-approvers >/dev/null || group_made=1

echo "== installing ${packages[*]}"
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${debs[@]}" \
  >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; exit 1; }

client=/usr/bin/kelvane-operator-approve
demo=/usr/bin/kelvane-operator-approval-demo
[ "$(command -v kelvane-operator-approve)" = "$client" ] || fail "the client is not on PATH at $client"
[ -x "$demo" ] || fail "the demo service is not installed at $demo"
[ -f /usr/share/man/man1/kelvane-operator-approve.1.gz ] || fail "the client's manual page is missing"
[ -f /usr/share/zsh/vendor-completions/_kelvane-operator-approve ] || fail "the zsh completion is missing"

# A real round trip between the two installed programs, as a script does it.
socket=$work/approval.sock
ask() {  # VERDICT_OF_THE_SERVICE EXPECTED_STATUS
  "$demo" --socket "$socket" --auto "$1" >"$work/service.out" 2>&1 &
  service_pid=$!
  for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done
  local status=0
  KELVANE_OPERATOR_APPROVAL_SOCK=$socket timeout 20 "$client" --title Reboot \
    --detail "Kernel update" --source-host "$(hostname)" --target-host web-03 \
    >"$work/out" 2>"$work/err" || status=$?
  kill -TERM "$service_pid"
  wait "$service_pid" || true
  service_pid=""
  echo "  --auto $1: status $status, standard error: $(head -n 1 "$work/err")"
  [ "$status" = "$2" ] || fail "--auto $1: status $status, expected $2: $(cat "$work/err")"
}
echo "== round trip between the installed client and service"
ask approve 0
grep -q '^kelvane operator approval: APPROVED (' "$work/err" || fail "no APPROVED line"
[ "$(wc -l <"$work/out")" = 1 ] && [ -n "$(cat "$work/out")" ] ||
  fail "no token line on standard output: [$(cat "$work/out")]"
ask deny 1
grep -q '^kelvane operator approval: DENIED (' "$work/err" || fail "no DENIED line"
[ ! -s "$work/out" ] || fail "a denial wrote to standard output"

if [[ " ${packages[*]} " == *" kelvane-operator-approval-service "* ]]; then
  echo "== the installed approval service"
  bash "$root/packaging/service-test.sh" || fail "the approval service (service-test.sh)"
fi

echo "== purging"
purge || { cat "$work/purge.log" >&2; fail "apt-get purge failed"; }
installed=""
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f '${Status}' "$p" 2>/dev/null || true)
  [ -z "$status" ] || [[ $status == *not-installed ]] || fail "$p is still known to dpkg: $status"
done
left=$(while IFS= read -r path; do [ ! -e "$path" ] || printf '%s\n' "$path"; done <"$work/new-paths")
[ -z "$left" ] || fail "left behind after the purge: $left"
# What the approval service made while it ran goes with the purge too.
for path in "${service_made[@]}"; do
  [ ! -e "$path" ] || fail "left behind after the purge: $path"
done
if [ "$group_made" = 1 ] && getent group kelvane-approvers >/dev/null; then
  groupdel kelvane-approvers || fail "could not remove the group kelvane-approvers again"
fi

if [ "$failures" != 0 ]; then
  echo "install-test: $failures check(s) failed" >&2
  exit 1
fi
echo "install-test: ${packages[*]} installed, answered and purged without a trace"
