#!/usr/bin/env bash
# The plugin in the real sudo: `sudo -u nobody` runs a command that leaves a
# marker file, and the test checks whether it ran, sudo's exit status and
# what sudo printed. sudo reads a test sudo.conf (and, through it, a test
# sudoers file) that is bind-mounted over /etc/sudo.conf in a private mount
# namespace, so nothing on the machine changes.
#
# Usage: real_sudo.sh SCENARIO PLUGIN DEMO_SERVICE HOLD_SERVICE
#   approve      the demo service approves: the command runs
#   deny         it denies: the command does not run
#   no-service   nothing listens: the command does not run
#   ctrl-c       SIGINT to sudo while the operator has not answered (a
#                service that holds its answer): sudo ends at once, hangs
#                up, and the command does not run
#   environment  the socket variables of the client point at an approving
#                service, socket= at a denying one: the plugin heeds only
#                socket=
#   version      sudo -V names the plugin and its version
# Exit status 77 (ctest: skipped) where root, sudo or a private mount
# namespace is not to be had; the reason is printed.
set -euo pipefail

scenario=$1
plugin=$(realpath "$2")
demo=$(realpath "$3")
hold=$(realpath "$4")

skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}

if [ "${KOA_REAL_SUDO_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || skip "needs root (sudo -u nobody and unshare -m); run the tests as root"
  command -v sudo >/dev/null || skip "sudo is not installed (apt-get install sudo)"
  command -v unshare >/dev/null || skip "unshare is not installed (util-linux)"
  unshare -m true 2>/dev/null ||
    skip "unshare -m is not permitted here (a private mount namespace needs CAP_SYS_ADMIN)"
  env --default-signal=INT true 2>/dev/null || skip "env --default-signal is missing (coreutils 8.31 or later)"
  id nobody >/dev/null 2>&1 || skip "there is no user nobody"
  KOA_REAL_SUDO_INSIDE=1 exec unshare -m --propagation private bash "$0" "$@"
fi

fail() {
  echo "FAILED ($scenario): $*" >&2
  exit 1
}

work=$(mktemp -d /tmp/koa-sudo-XXXXXX)
chmod 0755 "$work"
# Where the command, run as nobody, leaves its marker.
drop=$work/drop
mkdir "$drop"
chmod 0777 "$drop"
marker=$drop/ran

service_pids=()
cleanup() {
  for pid in "${service_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# sudoers for this test only: root may run anything as anyone, and nothing
# is logged to the machine's syslog or mailed.
cat >"$work/sudoers" <<'EOF'
Defaults !fqdn, !lecture, !syslog, !mail_badpass, !use_pty
root ALL=(ALL:ALL) NOPASSWD: ALL
EOF
chmod 0440 "$work/sudoers"

write_sudo_conf() {  # socket path
  cat >"$work/sudo.conf" <<EOF
Plugin sudoers_policy sudoers.so sudoers_file=$work/sudoers
Plugin sudoers_io sudoers.so sudoers_file=$work/sudoers
Plugin sudoers_audit sudoers.so sudoers_file=$work/sudoers
Plugin kelvane_approval $plugin socket=$1 timeout=60
EOF
  mount --bind "$work/sudo.conf" /etc/sudo.conf
}

# Starts the demo service; any further arguments are its options.
start_service() {  # socket path, then options
  local socket=$1
  shift
  "$demo" --socket "$socket" "$@" </dev/null >"$work/service.$$.$RANDOM.out" 2>&1 &
  service_pids+=($!)
  wait_for_socket "$socket"
}

wait_for_socket() {
  for _ in $(seq 100); do
    [ -S "$1" ] && return
    sleep 0.05
  done
  fail "no service started on $1"
}

# Waits up to 10 s for a line in a file.
wait_for_line() {  # file, line
  for _ in $(seq 200); do
    grep -qxF "$2" "$1" && return
    sleep 0.05
  done
  fail "never came: $2"
}

# Runs sudo; sets $status, $out and $err.
run_sudo() {
  set +e
  timeout 60 sudo -u nobody /usr/bin/touch "$marker" >"$work/out" 2>"$work/err"
  status=$?
  set -e
  out=$(cat "$work/out")
  err=$(cat "$work/err")
  echo "sudo -u nobody /usr/bin/touch $marker: status $status"
  echo "-- standard output:"
  echo "$out"
  echo "-- standard error:"
  echo "$err"
}

expect_ran() {
  [ -e "$marker" ] || fail "the command did not run"
  [ "$(stat -c %U "$marker")" = nobody ] || fail "the marker is not nobody's: $(stat -c %U "$marker")"
}

expect_not_ran() {
  [ ! -e "$marker" ] || fail "the command ran"
}

expect_status() {
  [ "$status" -eq "$1" ] || fail "sudo's exit status is $status, expected $1"
}

expect_err_line() {
  grep -qxF -- "$1" <<<"$err" || fail "standard error lacks the line: $1"
}

case "$scenario" in
  approve)
    start_service "$work/approval.sock" --auto approve
    write_sudo_conf "$work/approval.sock"
    run_sudo
    expect_status 0
    expect_ran
    expect_err_line "kelvane operator approval: APPROVED (approved automatically)"
    grep -qE '^kelvane operator approval: token expires at [0-9]{4}-' <<<"$err" ||
      fail "standard error lacks the token's expiry"
    [ -z "$out" ] || fail "standard output is not empty"
    ;;
  deny)
    start_service "$work/approval.sock" --auto deny
    write_sudo_conf "$work/approval.sock"
    run_sudo
    expect_status 1
    expect_not_ran
    expect_err_line "kelvane operator approval: DENIED (denied automatically)"
    ;;
  no-service)
    write_sudo_conf "$work/approval.sock"
    run_sudo
    expect_status 1
    expect_not_ran
    expect_err_line "kelvane operator approval unavailable: No such file or directory (os error 2)"
    ;;
  ctrl-c)
    "$hold" "$work/approval.sock" >"$work/hold.out" 2>&1 &
    service_pids+=($!)
    wait_for_socket "$work/approval.sock"
    write_sudo_conf "$work/approval.sock"
    # A script's background job ignores SIGINT; a user's sudo does not.
    env --default-signal=INT sudo -u nobody /usr/bin/touch "$marker" >"$work/out" 2>"$work/err" &
    sudo_pid=$!
    wait_for_line "$work/hold.out" request
    kill -INT "$sudo_pid"
    started=$SECONDS
    for _ in $(seq 100); do
      kill -0 "$sudo_pid" 2>/dev/null || break
      sleep 0.05
    done
    if kill -0 "$sudo_pid" 2>/dev/null; then
      kill -KILL "$sudo_pid"
      fail "sudo still waited for the operator 5 s after SIGINT"
    fi
    set +e
    wait "$sudo_pid"
    status=$?
    set -e
    err=$(cat "$work/err")
    echo "sudo, SIGINT while the operator had not answered: status $status after $((SECONDS - started)) s"
    echo "-- standard error:"
    echo "$err"
    wait_for_line "$work/hold.out" "hung up"
    [ "$status" -ne 0 ] || fail "sudo's exit status is 0"
    expect_not_ran
    expect_err_line "kelvane operator approval: interrupted by SIGINT before the operator answered"
    ;;
  environment)
    start_service "$work/approve.sock" --auto approve
    start_service "$work/deny.sock" --auto deny
    write_sudo_conf "$work/deny.sock"
    export KELVANE_OPERATOR_APPROVAL_SOCK=$work/approve.sock XDG_RUNTIME_DIR=$work HOSTNAME=elsewhere
    ln -s approve.sock "$work/kelvane-operator-approval.sock"
    run_sudo
    expect_status 1
    expect_not_ran
    expect_err_line "kelvane operator approval: DENIED (denied automatically)"
    ;;
  version)
    write_sudo_conf "$work/approval.sock"
    out=$(sudo -V)
    grep -qE '^kelvane_approval approval plugin version [0-9]+\.[0-9]+\.[0-9]+$' <<<"$out" ||
      fail "sudo -V does not name the plugin: $out"
    grep '^kelvane_approval' <<<"$out"
    ;;
  *)
    echo "unknown scenario: $scenario" >&2
    exit 2
    ;;
esac
echo "ok: $scenario"
