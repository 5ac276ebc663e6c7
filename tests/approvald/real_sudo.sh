#!/usr/bin/env bash
# The real sudo through the approval plugin against the daemon: the user sys
# runs `sudo -u nobody touch`, the daemon shows it as sys's (via sudo), sys
# cannot approve it, and the operator daemon approves or denies it. sudo
# reads a test sudo.conf and sudoers bind-mounted in a private mount
# namespace, so nothing on the machine changes.
#
# Usage: real_sudo.sh SCENARIO PLUGIN DAEMON OPERATOR_TOOL
#   approve   the command runs once the operator approves
#   deny      it does not run after a denial
#   reuse     under a rule with reuse_for, the same sudo command again is
#             approved at once with the first approval (the plugin's digest);
#             another command is asked
#   deny-rule a deny rule whose reason holds a terminal's controls: sudo
#             shows the denial with them escaped, nothing a terminal obeys
# Exit status 77 (ctest: skipped) where root, sudo or a private mount
# namespace is not to be had.
set -euo pipefail

scenario=$1
plugin=$(realpath "$2")
daemon=$(realpath "$3")
tool=$(realpath "$4")

skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}

if [ "${KOA_REAL_SUDO_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || skip "needs root"
  command -v sudo >/dev/null || skip "sudo is not installed"
  command -v setpriv >/dev/null || skip "setpriv is not installed (util-linux)"
  unshare -m true 2>/dev/null || skip "unshare -m is not permitted here"
  for user in sys daemon nobody; do
    id "$user" >/dev/null 2>&1 || skip "there is no user $user"
  done
  KOA_REAL_SUDO_INSIDE=1 exec unshare -m --propagation private bash "$0" "$@"
fi

fail() {
  echo "FAILED ($scenario): $*" >&2
  [ -f "$work/daemon.log" ] && cat "$work/daemon.log" >&2
  exit 1
}

work=$(mktemp -d /tmp/koa-approvald-sudo-XXXXXX)
chmod 0755 "$work"
drop=$work/drop
mkdir "$drop"
chmod 0777 "$drop"
marker=$drop/ran
daemon_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/sudoers" <<'SUDOERS'
Defaults !fqdn, !lecture, !syslog, !mail_badpass, !use_pty
root ALL=(ALL:ALL) NOPASSWD: ALL
sys ALL=(nobody) NOPASSWD: /usr/bin/touch
SUDOERS
chmod 0440 "$work/sudoers"
cat >"$work/sudo.conf" <<CONF
Plugin sudoers_policy sudoers.so sudoers_file=$work/sudoers
Plugin sudoers_io sudoers.so sudoers_file=$work/sudoers
Plugin sudoers_audit sudoers.so sudoers_file=$work/sudoers
Plugin kelvane_approval $plugin socket=$work/requests.sock timeout=60
CONF
mount --bind "$work/sudo.conf" /etc/sudo.conf

printf 'approvers = ["daemon", "sys"]\n' >"$work/service.toml"
if [ "$scenario" = deny-rule ]; then
  cat >>"$work/service.toml" <<'RULE'
[[rule]]
name = "no-touch"
effect = "deny"
reason = "no\u001b]0;owned\u0007\u001b[2J"
command = "/usr/bin/touch"
RULE
fi
if [ "$scenario" = reuse ]; then
  cat >>"$work/service.toml" <<'RULE'
[[rule]]
name = "touch-again"
effect = "ask"
approvals = 1
command = "/usr/bin/touch"
run_as = "nobody"
reuse_for = 600
RULE
fi
"$daemon" --socket "$work/requests.sock" --operator-socket "$work/operators.sock" \
  --state-dir "$work/state" --config "$work/service.toml" >"$work/daemon.out" 2>"$work/daemon.log" &
daemon_pid=$!
for _ in $(seq 100); do
  grep -q "listening on" "$work/daemon.out" && break
  sleep 0.05
done
grep -q "listening on" "$work/daemon.out" || fail "the daemon did not start"
chmod 0666 "$work/operators.sock"

operator() {  # uid, line
  "$tool" "$work/operators.sock" "$1" "$2"
}

if [ "$scenario" = deny-rule ]; then
  set +e
  setpriv --reuid=sys --regid=sys --clear-groups \
    timeout 20 sudo -u nobody /usr/bin/touch "$marker" >"$work/out" 2>"$work/err"
  status=$?
  set -e
  cat "$work/err"
  [ "$status" -ne 0 ] || fail "sudo's exit status is 0"
  [ ! -e "$marker" ] || fail "the command ran"
  if LC_ALL=C grep -q $'[\x01-\x09\x0b-\x1f\x7f]' "$work/err"; then
    fail "a control character reached sudo's output"
  fi
  grep -qF 'DENIED ("no\u{1b}]0;owned\u{7}\u{1b}[2J")' "$work/err" || fail "no escaped denial shown"
  echo "ok: $scenario"
  exit 0
fi

setpriv --reuid=sys --regid=sys --clear-groups \
  sudo -u nobody /usr/bin/touch "$marker" >"$work/out" 2>"$work/err" &
sudo_pid=$!

id=
for _ in $(seq 200); do
  list=$(operator "$(id -u daemon)" '{"op":"list"}')
  id=$(grep -o '"id":"[0-9]*"' <<<"$list" | head -n 1 | cut -d'"' -f4) || true
  [ -n "$id" ] && break
  sleep 0.05
done
[ -n "$id" ] || fail "the request never showed up: $list"
echo "listed: $list"
grep -q "\"verifiedUid\":$(id -u sys)," <<<"$list" || fail "not shown as sys's request"
grep -q '"verifiedUser":"sys","viaSudo":true' <<<"$list" || fail "not marked as via sudo"

own=$(operator "$(id -u sys)" "{\"approve\":true,\"id\":\"$id\",\"op\":\"vote\"}")
grep -q '"ok":false' <<<"$own" && grep -q 'your own' <<<"$own" || fail "self-approval was not refused: $own"

case "$scenario" in
  approve | reuse)
    answer=$(operator "$(id -u daemon)" "{\"approve\":true,\"id\":\"$id\",\"op\":\"vote\"}")
    ;;
  deny)
    # A reason the requester's terminal would obey is refused first.
    hostile=$(operator "$(id -u daemon)" "{\"approve\":false,\"id\":\"$id\",\"op\":\"vote\",\"reason\":\"no\\u001b[2J\"}")
    grep -q '"ok":false' <<<"$hostile" && grep -q 'U+001b' <<<"$hostile" ||
      fail "a reason with an escape was not refused: $hostile"
    answer=$(operator "$(id -u daemon)" "{\"approve\":false,\"id\":\"$id\",\"op\":\"vote\",\"reason\":\"not now\"}")
    ;;
  *)
    echo "unknown scenario: $scenario" >&2
    exit 2
    ;;
esac
echo "vote: $answer"
set +e
wait "$sudo_pid"
status=$?
set -e
echo "sudo: status $status"
cat "$work/err"
case "$scenario" in
  approve | reuse)
    [ "$status" -eq 0 ] || fail "sudo's exit status is $status"
    [ -e "$marker" ] || fail "the command did not run"
    ;;
  deny)
    [ "$status" -ne 0 ] || fail "sudo's exit status is 0"
    [ ! -e "$marker" ] || fail "the command ran"
    grep -qF "kelvane operator approval: DENIED (not now)" "$work/err" || fail "no denial shown"
    ;;
esac
if [ "$scenario" = reuse ]; then
  # The same command again: approved at once, nobody asked.
  rm -f "$marker"
  setpriv --reuid=sys --regid=sys --clear-groups \
    timeout 20 sudo -u nobody /usr/bin/touch "$marker" >"$work/out" 2>"$work/err" ||
    fail "the same command again was not approved: $(cat "$work/err")"
  [ -e "$marker" ] || fail "the command did not run again"
  # The verdict is sent before its log line is written: wait for the line.
  for _ in $(seq 100); do
    grep -q "rule=\"touch-again\" reused_from=$id " "$work/daemon.log" && break
    sleep 0.05
  done
  grep -q "rule=\"touch-again\" reused_from=$id " "$work/daemon.log" ||
    fail "no decision line for the reuse of request $id"
  # Another file: another operation, asked.
  setpriv --reuid=sys --regid=sys --clear-groups \
    sudo -u nobody /usr/bin/touch "$marker.other" >"$work/out" 2>"$work/err" &
  other_pid=$!
  other=
  for _ in $(seq 200); do
    list=$(operator "$(id -u daemon)" '{"op":"list"}')
    other=$(grep -o '"id":"[0-9]*"' <<<"$list" | head -n 1 | cut -d'"' -f4) || true
    [ -n "$other" ] && break
    sleep 0.05
  done
  [ -n "$other" ] || fail "another command was not asked"
  operator "$(id -u daemon)" "{\"approve\":false,\"id\":\"$other\",\"op\":\"vote\",\"reason\":\"no\"}" >/dev/null
  set +e
  wait "$other_pid"
  set -e
  [ ! -e "$marker.other" ] || fail "the other command ran"
fi
state=approved
[ "$scenario" = deny ] && state=denied
grep -q "decision id=$id state=$state uid=$(id -u sys) user=\"sys\" via=sudo peer_uid=0 " \
  "$work/daemon.log" || fail "no decision line naming sys via sudo"
echo "ok: $scenario"
