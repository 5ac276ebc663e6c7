#!/usr/bin/env bash
# Subordinate uids are their user: the user sys, given a range of subordinate
# ids in a test /etc/subuid (bind-mounted in a private mount namespace; the
# machine's file is never read or changed), runs `unshare --map-auto
# --map-root-user` and asks from ten uids of that range. They all count
# against sys's cap; other users are still heard; sys cannot approve a
# request made from her namespace; a namespace root made is a bucket of its
# own, not root's.
#
# Usage: subordinate_ids.sh DAEMON CLIENT OPERATOR_TOOL
# Exit status 77 (ctest: skipped) where root, unshare or newuidmap is not to be
# had.
set -euo pipefail

daemon=$(realpath "$1")
client=$(realpath "$2")
tool=$(realpath "$3")

skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}

if [ "${KOA_SUBIDS_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || skip "needs root"
  command -v newuidmap >/dev/null || skip "newuidmap is not installed (uidmap)"
  command -v setpriv >/dev/null || skip "setpriv is not installed (util-linux)"
  unshare -m true 2>/dev/null || skip "unshare -m is not permitted here"
  unshare --user --map-root-user true 2>/dev/null || skip "user namespaces are not permitted here"
  for user in sys daemon; do
    id "$user" >/dev/null 2>&1 || skip "there is no user $user"
  done
  KOA_SUBIDS_INSIDE=1 exec unshare -m --propagation private bash "$0" "$@"
fi

work=$(mktemp -d /tmp/koa-subids-XXXXXX)
chmod 0755 "$work"
out=$work/out  # the clients' answers, written by any uid
mkdir "$out"
chmod 0777 "$out"
daemon_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  jobs -p | xargs -r kill 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  head -n 3 "$out"/* >&2 || true
  cat "$work/daemon.log" >&2 || true
  exit 1
}

# The test's own subordinate ids, seen by newuidmap in this mount namespace only.
printf 'sys:300000:65536\n' >"$work/subuid"
printf 'sys:300000:65536\n' >"$work/subgid"
chmod 0644 "$work/subuid" "$work/subgid"
touch /etc/subuid /etc/subgid 2>/dev/null || true
mount --bind "$work/subuid" /etc/subuid
mount --bind "$work/subgid" /etc/subgid

printf 'approvers = ["daemon", "sys"]\nmax_pending_per_user = 2\nmax_pending = 100\n' \
  >"$work/service.toml"
"$daemon" --socket "$work/requests.sock" --operator-socket "$work/operators.sock" \
  --state-dir "$work/state" --config "$work/service.toml" >"$work/daemon.out" 2>"$work/daemon.log" &
daemon_pid=$!
for _ in $(seq 100); do
  grep -q "listening on" "$work/daemon.out" && break
  sleep 0.05
done
grep -q "listening on" "$work/daemon.out" || fail "the daemon did not start"
chmod 0666 "$work/operators.sock" "$work/requests.sock"
chmod 0755 "$work"

operator() { # uid, line
  "$tool" "$work/operators.sock" "$1" "$2"
}
refusals_in() { # how many of the files named refused over the cap
  cat "$@" 2>/dev/null | grep -c "max_pending_per_user = 2" || true
}
listed() { # the ids listed, one a line
  operator "$(id -u daemon)" '{"op":"list"}' | grep -o '"id":"[0-9]*"' | cut -d'"' -f4 || true
}
ask() { # output file, client, title: the client run as whoever runs this
  KELVANE_OPERATOR_APPROVAL_SOCK=$work/requests.sock "$2" --title "$3" --detail test \
    --action test --requester test --source-host here --target-host here --timeout 60 >"$1" 2>&1
}
export -f ask
export work client out

# Ten uids of sys's range, two requests each, all at once.
setpriv --reuid=sys --regid=sys --clear-groups \
  unshare --map-auto --map-root-user bash -c '
    for uid in $(seq 1 10); do
      for n in 1 2; do
        setpriv --reuid=$uid --regid=$uid --clear-groups \
          bash -c "ask $out/ns.$uid.$n $client \"ns $uid $n\"" &
      done
    done
    wait' &
ns_pid=$!

for _ in $(seq 200); do
  refused=$(refusals_in "$out"/ns.*)
  [ "$refused" -ge 18 ] && break
  sleep 0.05
done
[ "$refused" -eq 18 ] || fail "$refused of sys's 20 requests from her namespace refused, not 18"
ids=$(listed)
[ "$(wc -w <<<"$ids")" -eq 2 ] || fail "listed: $ids"
grep -q "uid 3" "$work/daemon.log" || fail "the refusals do not name sys (uid 3)"

# Another user is heard.
setpriv --reuid=daemon --regid=daemon --clear-groups \
  bash -c "ask $out/other $client other" &
other_pid=$!
for _ in $(seq 200); do
  [ "$(listed | wc -w)" -eq 3 ] && break
  sleep 0.05
done
[ "$(listed | wc -w)" -eq 3 ] || fail "another user's request is not listed"

# sys does not approve what she asked from her namespace; another approver does.
first=$(head -n 1 <<<"$ids")
own=$(operator "$(id -u sys)" "{\"approve\":true,\"id\":\"$first\",\"op\":\"vote\"}")
grep -q '"ok":false' <<<"$own" && grep -q 'your own' <<<"$own" ||
  fail "sys approved a request from her namespace: $own"
answer=$(operator "$(id -u daemon)" "{\"approve\":true,\"id\":\"$first\",\"op\":\"vote\"}")
grep -q '"ok":true' <<<"$answer" || fail "the other approver's vote: $answer"

# A namespace root made is a bucket of its own: two requests from it do not
# take root's places, nor root's from it.
unshare --user --map-root-user bash -c '
  for n in 1 2 3; do ask $out/rootns.$n $client "root ns $n" & done; wait' &
for n in 1 2 3; do ask "$out/root.$n" "$client" "root $n" & done
for _ in $(seq 200); do
  [ "$(refusals_in "$out"/rootns.* "$out"/root.*)" -ge 2 ] && break
  sleep 0.05
done
sleep 0.3
[ "$(refusals_in "$out"/rootns.*)" -eq 1 ] ||
  fail "root's namespace: $(cat "$out"/rootns.*)"
[ "$(refusals_in "$out"/root.*)" -eq 1 ] ||
  fail "root: $(cat "$out"/root.*)"
grep -q "user namespace [0-9]" "$work/daemon.log" || fail "no refusal names root's namespace"
echo "ok"
