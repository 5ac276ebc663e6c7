#!/usr/bin/env bash
# The installed approval service, run as its packaged socket units would run
# it (packaging/install-test.sh calls this after installing the packages;
# CI has no systemd, so systemd-socket-activate stands in for it):
#
#   1. the files, the group, the conffiles, `systemd-analyze verify` on the
#      installed units;
#   2. the daemon started through systemd-socket-activate on the sockets the
#      installed .socket units name, with their modes, group and link;
#   3. "reaching it without setting anything": the client with nothing set
#      (through the /tmp link to the socket), and in a login session (XDG_RUNTIME_DIR set)
#      with the packaged profile.d and environment.d settings loaded; and a
#      sudo command through the installed plugin with the documented
#      sudo.conf line, in a private mount namespace;
#   4. an operator in the kelvane-approvers group approves and denies them
#      with kelvane-operator-approvals; the verdicts, the history and the
#      verified requester of the sudo request are checked.
# Needs root and the packages installed. Exit status 0 when all passes.
set -euo pipefail

daemon=/usr/sbin/kelvane-operator-approvald
operators=/usr/bin/kelvane-operator-approvals
client=/usr/bin/kelvane-operator-approve
plugin=/usr/libexec/sudo/kelvane_approval.so
units=/lib/systemd/system
run_socket=/run/kelvane-operator-approval.sock
tmp_socket=/tmp/kelvane-operator-approval.sock
operator_socket=/run/kelvane-operator-approval/operators.sock
state=/var/lib/kelvane-operator-approval
# Run as another user (util-linux), found before each run's environment is
# emptied.
runuser=$(command -v runuser) || { echo "service-test: runuser is missing" >&2; exit 1; }

failures=0
fail() {
  printf 'FAIL: %s\n' "$*" >&2
  failures=$((failures + 1))
}
die() {
  printf 'FAIL: %s\n' "$*" >&2
  exit 1
}

work=$(mktemp -d /tmp/koa-service-test-XXXXXX)
chmod 0755 "$work"
activator_pid=""
made_users=()
background=()
cleanup() {
  local pid
  for pid in "${background[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "$activator_pid" ]; then
    # SIGTERM: the daemon answers what still waits and exits 0.
    kill -TERM "$activator_pid" 2>/dev/null || true
    wait "$activator_pid" 2>/dev/null || true
  fi
  # What RemoveOnStop= of the socket units would remove.
  rm -f "$run_socket" "$tmp_socket" "$operator_socket"
  for user in "${made_users[@]}"; do userdel "$user" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# --- 1. What the package installed --------------------------------------------
for f in "$daemon" "$operators"; do
  [ -x "$f" ] || fail "not installed: $f"
done
for f in "$units/kelvane-operator-approvald.service" "$units/kelvane-operator-approvald.socket" \
  "$units/kelvane-operator-approvald-operators.socket" \
  /usr/lib/sysusers.d/kelvane-operator-approval.conf /usr/lib/tmpfiles.d/kelvane-operator-approval.conf \
  /usr/lib/environment.d/60-kelvane-operator-approval.conf /etc/profile.d/kelvane-operator-approval.sh \
  /etc/kelvane-operator-approval/service.toml /usr/share/man/man8/kelvane-operator-approvald.8.gz \
  /usr/share/doc/kelvane-operator-approval-service/service.md; do
  [ -f "$f" ] || fail "not installed: $f"
done
conffiles=$(dpkg-query -W -f '${Conffiles}' kelvane-operator-approval-service)
for f in /etc/kelvane-operator-approval/service.toml /etc/profile.d/kelvane-operator-approval.sh; do
  grep -q "^ $f " <<<"$conffiles" || fail "$f is not a conffile: [$conffiles]"
done
getent group kelvane-approvers >/dev/null || die "postinst did not create the group kelvane-approvers"
"$daemon" --check-config >"$work/check.out" 2>&1 ||
  fail "the shipped configuration does not pass --check-config: $(cat "$work/check.out")"

# The units as systemd reads them (the manual pages they name included).
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$units/kelvane-operator-approvald.socket" \
    "$units/kelvane-operator-approvald-operators.socket" \
    "$units/kelvane-operator-approvald.service" >"$work/verify" 2>&1 ||
    fail "systemd-analyze verify: $(cat "$work/verify")"
  [ ! -s "$work/verify" ] || fail "systemd-analyze verify says: $(cat "$work/verify")"
  echo "  systemd-analyze verify: the three units pass"
else
  echo "  systemd-analyze not found: the units are not verified"
fi

# --- 2. The daemon, started as its socket units would start it ---------------
# Values of a key in a unit file, one a line.
unit_values() { sed -n "s/^$2=//p" "$units/$1"; }
mapfile -t request_paths < <(unit_values kelvane-operator-approvald.socket ListenStream)
mapfile -t operator_paths < <(unit_values kelvane-operator-approvald-operators.socket ListenStream)
links=$(unit_values kelvane-operator-approvald.socket Symlinks)
[ "${request_paths[*]}" = "$run_socket" ] ||
  fail "the request socket unit listens on [${request_paths[*]}]"
[ "$links" = "$tmp_socket" ] || fail "the request socket unit links [$links] to its socket"
[ "${operator_paths[*]}" = "$operator_socket" ] ||
  fail "the operators' socket unit listens on [${operator_paths[*]}]"
request_name=$(unit_values kelvane-operator-approvald.socket FileDescriptorName)
operator_name=$(unit_values kelvane-operator-approvald-operators.socket FileDescriptorName)

for path in "$run_socket" "$tmp_socket" "$operator_socket"; do
  [ ! -e "$path" ] || die "$path exists already: is an approval service running here?"
done
# What StateDirectory= and the socket unit's DirectoryMode= would make.
install -d -m 0700 "$state"
install -d -m 0755 "$(dirname "$operator_socket")"
listen=()
names=()
for path in "${request_paths[@]}"; do listen+=(-l "$path"); names+=("$request_name"); done
for path in "${operator_paths[@]}"; do listen+=(-l "$path"); names+=("$operator_name"); done
systemd-socket-activate "${listen[@]}" --fdname="$(IFS=:; echo "${names[*]}")" \
  "$daemon" >"$work/daemon.out" 2>"$work/daemon.err" &
activator_pid=$!
for _ in $(seq 100); do
  [ -S "$run_socket" ] && [ -S "$operator_socket" ] && break
  sleep 0.05
done
# The modes, owners and link the socket units give (SocketMode=,
# SocketGroup=, Symlinks=).
chmod 0666 "$run_socket"
ln -s "$run_socket" "$links"
chgrp kelvane-approvers "$operator_socket"
chmod 0660 "$operator_socket"

# Users of this test: a requester, and an operator in kelvane-approvers.
make_user() {  # name, useradd options...
  local name=$1
  shift
  ! id "$name" >/dev/null 2>&1 || die "user $name exists already"
  useradd --system --no-create-home --shell /bin/sh "$@" "$name"
  made_users+=("$name")
}
make_user koa-test-requester
make_user koa-test-operator --groups kelvane-approvers
requester_uid=$(id -u koa-test-requester)

as_operator() { env -i PATH=/usr/bin:/bin "$runuser" -u koa-test-operator -- "$operators" "$@"; }

# The first connection starts the daemon; then it must answer.
status_out=""
for _ in $(seq 100); do
  status_out=$(as_operator status 2>&1) && break
  status_out=""
  sleep 0.1
done
[ -n "$status_out" ] ||
  die "the daemon does not answer its operators: $(as_operator status 2>&1); $(cat "$work/daemon.err")"
echo "  daemon started through systemd-socket-activate; status: $(head -n 1 <<<"$status_out")"

# The id of the one pending request, once there is one.
pending_id() {
  local list id
  for _ in $(seq 200); do
    list=$(as_operator list --json 2>/dev/null) || list=""
    id=$(grep -o '"id":"[^"]*"' <<<"$list" | head -n 1 | cut -d'"' -f4)
    [ -z "$id" ] || { printf '%s\n' "$id"; return; }
    sleep 0.05
  done
  return 1
}

# Waits for a background command and checks its exit status.
expect_exit() {  # pid, status, what
  local status=0
  wait "$1" || status=$?
  [ "$status" = "$2" ] || fail "$3: exit status $status, expected $2: $(cat "$work/err" 2>/dev/null)"
}

# --- 3a. Nothing set: the client's fixed default in /tmp --------------------
echo "  nothing set: the client reaches $tmp_socket, and root answers there"
env -i PATH=/usr/bin:/bin "$runuser" -u koa-test-requester -- "$client" --title "Install test: nothing set" \
  --detail "Reached with no variable set" --source-host install-test --target-host web-03 \
  >"$work/out" 2>"$work/err" &
client_pid=$!
background+=("$client_pid")
id=$(pending_id) || die "the request with nothing set never reached the operators: $(cat "$work/err")"
as_operator list --json >"$work/list.json"
grep -q "\"verifiedUid\":$requester_uid[,}]" "$work/list.json" ||
  fail "the request is not shown as the requester's (uid $requester_uid): $(cat "$work/list.json")"
as_operator approve "$id" >"$work/vote" 2>&1 || fail "approve $id: $(cat "$work/vote")"
expect_exit "$client_pid" 0 "the client with nothing set"
grep -q '^kelvane operator approval: APPROVED (' "$work/err" || fail "no APPROVED line: $(cat "$work/err")"
[ -s "$work/out" ] || fail "no approval token on standard output"

# --- 3b. A login session: XDG_RUNTIME_DIR set, the packaged settings loaded --
xdg=$work/xdg
install -d -m 0700 -o koa-test-requester "$xdg"
session_env=(PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$xdg")
# Without the settings the client looks in $XDG_RUNTIME_DIR, where nothing
# listens: the settings are what makes this case work.
status=0
env -i "${session_env[@]}" "$runuser" -u koa-test-requester -- "$client" --title x --detail x \
  --target-host x >/dev/null 2>"$work/err" || status=$?
[ "$status" = 3 ] || fail "without the settings, XDG_RUNTIME_DIR set: status $status, expected 3"
# environment.d as the user's service manager reads it.
generator=/usr/lib/systemd/user-environment-generators/30-systemd-environment-d-generator
if [ -x "$generator" ]; then
  generated=$(env -i "${session_env[@]}" HOME=/nonexistent "$runuser" -u koa-test-requester -- "$generator")
  grep -qx "KELVANE_OPERATOR_APPROVAL_SOCK=$run_socket" <<<"$generated" ||
    fail "environment.d does not give KELVANE_OPERATOR_APPROVAL_SOCK=$run_socket: $generated"
else
  echo "  (no environment.d generator here: only profile.d is checked)"
fi
echo "  login session: profile.d names $run_socket"
env -i "${session_env[@]}" "$runuser" -u koa-test-requester -- sh -c \
  '. /etc/profile.d/kelvane-operator-approval.sh && exec "$@"' sh "$client" \
  --title "Install test: login session" --detail "XDG_RUNTIME_DIR set, packaged settings loaded" \
  --source-host install-test --target-host web-03 >"$work/out" 2>"$work/err" &
client_pid=$!
background+=("$client_pid")
id=$(pending_id) || die "the request of the login session never reached the operators: $(cat "$work/err")"
as_operator deny "$id" --reason "install test: denied on purpose" >"$work/vote" 2>&1 ||
  fail "deny $id: $(cat "$work/vote")"
expect_exit "$client_pid" 1 "the client in a login session"
grep -qxF 'kelvane operator approval: DENIED (install test: denied on purpose)' "$work/err" ||
  fail "no DENIED line with the operator's reason: $(cat "$work/err")"
[ ! -s "$work/out" ] || fail "a denial wrote to standard output"

# --- 3c. sudo through the plugin, with the documented sudo.conf line ---------
sudo_checked=0
if [ -f "$plugin" ] && command -v sudo >/dev/null && unshare -m true 2>/dev/null; then
  sudo_checked=1
  drop=$work/drop
  install -d -m 0777 "$drop"
  cat >"$work/sudoers" <<EOF
Defaults !fqdn, !lecture, !syslog, !mail_badpass, !use_pty
koa-test-requester ALL=(nobody) NOPASSWD: /usr/bin/touch
EOF
  chmod 0440 "$work/sudoers"
  # The line of docs/sudo.md, with the sudoers file of this test.
  cat >"$work/sudo.conf" <<EOF
Plugin sudoers_policy sudoers.so sudoers_file=$work/sudoers
Plugin sudoers_io sudoers.so sudoers_file=$work/sudoers
Plugin sudoers_audit sudoers.so sudoers_file=$work/sudoers
Plugin kelvane_approval kelvane_approval.so socket=$run_socket timeout=300
EOF
  echo "  sudo -u nobody through the plugin, as koa-test-requester"
  unshare -m --propagation private sh -c '
    mount --bind "$1" /etc/sudo.conf &&
    exec env -i PATH=/usr/bin:/bin "$3" -u koa-test-requester -- sudo -n -u nobody /usr/bin/touch "$2"' \
    sh "$work/sudo.conf" "$drop/ran" "$runuser" >"$work/out" 2>"$work/err" &
  sudo_pid=$!
  background+=("$sudo_pid")
  id=$(pending_id) || die "the sudo request never reached the operators: $(cat "$work/err")"
  as_operator show "$id" >"$work/show" 2>&1 || fail "show $id: $(cat "$work/show")"
  as_operator list --json >"$work/list.json"
  grep -q "\"verifiedUid\":$requester_uid[,}]" "$work/list.json" ||
    fail "the sudo request is not shown as the invoking user's (uid $requester_uid): $(cat "$work/list.json")"
  grep -q '"viaSudo":true' "$work/list.json" || fail "the sudo request is not marked viaSudo"
  as_operator approve "$id" --reason "install test" >"$work/vote" 2>&1 || fail "approve $id: $(cat "$work/vote")"
  expect_exit "$sudo_pid" 0 "sudo through the plugin"
  [ -e "$drop/ran" ] || fail "sudo did not run the approved command"
else
  echo "  (sudo, its plugin or unshare -m missing: no sudo request)"
fi

# --- 4. The record -----------------------------------------------------------
as_operator history --json >"$work/history.json" 2>&1 || fail "history: $(cat "$work/history.json")"
approved=$(grep -o '"state":"approved"' "$work/history.json" | wc -l)
denied=$(grep -o '"state":"denied"' "$work/history.json" | wc -l)
[ "$approved" = $((1 + sudo_checked)) ] && [ "$denied" = 1 ] ||
  fail "history has $approved approved and $denied denied: $(cat "$work/history.json")"
[ -s "$state/record.sqlite3" ] || fail "no record in $state"
echo "  history: $approved approved, $denied denied"

# A user outside kelvane-approvers cannot even reach the operators' socket.
status=0
env -i PATH=/usr/bin:/bin "$runuser" -u koa-test-requester -- "$operators" list --json \
  >/dev/null 2>&1 || status=$?
[ "$status" = 3 ] || fail "a user outside kelvane-approvers reached the operators' socket (status $status)"

# SIGTERM: the daemon stops with status 0.
kill -TERM "$activator_pid"
status=0
wait "$activator_pid" || status=$?
activator_pid=""
[ "$status" = 0 ] || fail "the daemon exited with $status on SIGTERM: $(cat "$work/daemon.err")"

if [ "$failures" != 0 ]; then
  echo "service-test: $failures check(s) failed" >&2
  exit 1
fi
echo "service-test: the installed service answered the client and sudo, decided by an operator"
