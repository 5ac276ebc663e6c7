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
# Any arguments are further lines (nobody's own rule, more Defaults).
write_sudoers() {
  {
    echo 'Defaults !fqdn, !lecture, !syslog, !mail_badpass, !use_pty'
    echo 'root ALL=(ALL:ALL) NOPASSWD: ALL'
    printf '%s\n' "$@"
  } >"$work/sudoers"
  chmod 0440 "$work/sudoers"
}
write_sudoers

write_sudo_conf() {  # socket path, then further plugin options
  local socket=$1
  shift
  cat >"$work/sudo.conf" <<EOF
Plugin sudoers_policy sudoers.so sudoers_file=$work/sudoers
Plugin sudoers_io sudoers.so sudoers_file=$work/sudoers
Plugin sudoers_audit sudoers.so sudoers_file=$work/sudoers
Plugin kelvane_approval $plugin socket=$socket timeout=60 $*
EOF
  mount --bind "$work/sudo.conf" /etc/sudo.conf
}

# A directory where the plugin's ownership checks can pass: /tmp is writable
# by everyone, so a tmpfs owned by root, mode 0755, goes over the empty
# /media of this mount namespace.
root_dir=/media
mount_root_dir() {
  [ -d "$root_dir" ] || skip "there is no $root_dir to mount a root-owned tmpfs on"
  mount -t tmpfs -o mode=0755 koa-sudo-test "$root_dir"
}

# The recording operator, who approves everything: each request line goes to
# $work/requests. A further argument (--gate) is passed on.
start_recorder() {
  "$hold" "$work/approval.sock" --record "$work/requests" "$@" >"$work/recorder.out" 2>&1 &
  service_pids+=($!)
  wait_for_socket "$work/approval.sock"
}

# Request line N (from 1) as the service received it.
request() {
  [ -e "$work/requests" ] || fail "the service received no request"
  sed -n "$1p" "$work/requests"
}

request_count() {
  if [ -e "$work/requests" ]; then wc -l <"$work/requests"; else echo 0; fi
}

expect_in_request() {  # n, fixed text
  grep -qF -- "$2" <<<"$(request "$1")" || fail "request $1 lacks: $2
$(request "$1")"
}

digest_of() {  # n
  request "$1" | grep -oE '"operationDigest":"sha256:[0-9a-f]{64}"'
}

# Runs a command as nobody from $work; sets $status, $out and $err.
run_as_nobody() {
  set +e
  (cd "$work" && timeout 60 runuser -u nobody -- "$@") >"$work/out" 2>"$work/err"
  status=$?
  set -e
  out=$(cat "$work/out")
  err=$(cat "$work/err")
  echo "as nobody: $*: status $status"
  echo "-- standard error:"
  echo "$err"
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
    expect_err_line "kelvane operator approval: DENIED (denied automatically); the command was not run"
    ;;
  no-service)
    write_sudo_conf "$work/approval.sock"
    run_sudo
    expect_status 1
    expect_not_ran
    expect_err_line "kelvane operator approval unavailable: No such file or directory (os error 2); the command was not run"
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
    expect_err_line "kelvane operator approval: interrupted by SIGINT before the operator answered; the command was not run"
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
    expect_err_line "kelvane operator approval: DENIED (denied automatically); the command was not run"
    ;;
  version)
    write_sudo_conf "$work/approval.sock"
    out=$(sudo -V)
    grep -qE '^kelvane_approval approval plugin version [0-9]+\.[0-9]+\.[0-9]+$' <<<"$out" ||
      fail "sudo -V does not name the plugin: $out"
    grep '^kelvane_approval' <<<"$out"
    ;;
  intercept)
    mount_root_dir
    write_sudoers 'Defaults intercept' 'nobody ALL=(ALL:ALL) NOPASSWD: ALL'
    start_recorder
    write_sudo_conf "$work/approval.sock"
    # A command the approved shell runs in another directory: asked with
    # the directory it runs in, and by whom.
    run_as_nobody sudo /bin/sh -c "cd /usr/bin && ./touch $marker"
    expect_status 0
    [ "$(request_count)" -eq 2 ] || fail "the service received $(request_count) requests, not 2"
    expect_in_request 2 '"command":"./touch"'
    expect_in_request 2 '"commandFile":"/usr/bin/touch"'
    expect_in_request 2 '"cwd":"/usr/bin"'
    expect_in_request 2 '"invokingUid":65534,"invokingUser":"nobody"'
    expect_in_request 2 "command: ./touch $marker\\nruns: /usr/bin/touch\\n"
    expect_in_request 2 '\nworking directory: /usr/bin\n'
    [ -e "$marker" ] || fail "the approved intercepted command did not run"
    # nobody's link in nobody's directory: refused, and nobody is asked.
    mkdir "$root_dir/u"
    ln -s /usr/bin/touch "$root_dir/u/ls"
    chown -h nobody: "$root_dir/u" "$root_dir/u/ls"
    run_as_nobody sudo /bin/sh -c "cd $root_dir/u && ./ls $drop/proof"
    [ "$(request_count)" -eq 3 ] || fail "the service received $(request_count) requests, not 3"
    [ ! -e "$drop/proof" ] || fail "the command through nobody's link ran"
    expect_err_line "kelvane operator approval: refused: the directory $root_dir/u is owned by nobody (uid 65534), not root: someone other than root could change what runs after the approval (user_writable=ask in sudo.conf would ask the operator instead); the command was not run"
    ;;
  swap-refuse)
    mount_root_dir
    write_sudoers 'nobody ALL=(ALL:ALL) NOPASSWD: ALL'
    start_recorder
    write_sudo_conf "$work/approval.sock"
    printf '#!/bin/sh\necho harmless\n' >"$root_dir/tool"
    chmod 0755 "$root_dir/tool"
    chown nobody: "$root_dir/tool"
    run_as_nobody sudo "$root_dir/tool"
    expect_status 1
    [ "$(request_count)" -eq 0 ] || fail "the service was asked"
    [ -z "$out" ] || fail "the command ran: $out"
    expect_err_line "kelvane operator approval: refused: the file $root_dir/tool is owned by nobody (uid 65534), not root: someone other than root could change what runs after the approval (user_writable=ask in sudo.conf would ask the operator instead); the command was not run"
    ;;
  swap-ask)
    mount_root_dir
    write_sudoers 'nobody ALL=(ALL:ALL) NOPASSWD: ALL'
    start_recorder --gate
    write_sudo_conf "$work/approval.sock" user_writable=ask
    mkdir "$root_dir/w"
    printf '#!/bin/sh\necho harmless\n' >"$root_dir/w/tool"
    chmod 0755 "$root_dir/w/tool"
    chown -R nobody: "$root_dir/w"
    sha=$(sha256sum <"$root_dir/w/tool" | cut -d' ' -f1)
    (cd "$work" && runuser -u nobody -- sudo "$root_dir/w/tool") >"$work/out" 2>"$work/err" &
    sudo_pid=$!
    for _ in $(seq 200); do
      [ "$(request_count)" -eq 1 ] && break
      sleep 0.05
    done
    warning="the directory $root_dir/w is owned by nobody (uid 65534), not root: someone other than root could change what runs after the approval"
    expect_in_request 1 "\"title\":\"WARNING, changeable command: sudo: $root_dir/w/tool\""
    expect_in_request 1 "\"detail\":\"WARNING: $warning; the file can still change after the approval\\ncommand: $root_dir/w/tool\\n"
    expect_in_request 1 "\\nfile as read: owner nobody (uid 65534), mode 0755, sha256 $sha\\n"
    expect_in_request 1 "\"userWritable\":{\"mode\":\"0755\",\"owner\":65534,\"sha256\":\"$sha\",\"warning\":\"$warning\"}"
    # While the operator reads, nobody puts another file in its place.
    runuser -u nobody -- sh -c "printf '#!/bin/sh\\nid -u >$drop/swapped\\n' >$root_dir/w/new &&
      chmod 0755 $root_dir/w/new && mv $root_dir/w/new $root_dir/w/tool"
    touch "$work/requests.go"
    set +e
    wait "$sudo_pid"
    status=$?
    set -e
    echo "sudo of the file swapped after the request: status $status"
    cat "$work/err"
    # As the warning says: what runs is the file there now, run as root.
    [ "$(cat "$drop/swapped" 2>/dev/null)" = 0 ] || fail "the swapped file did not run as root"
    ;;
  symlink)
    mount_root_dir
    start_recorder
    write_sudo_conf "$work/approval.sock"
    mkdir "$root_dir/bin"
    ln -s /bin/touch "$root_dir/bin/mark"
    set +e
    timeout 60 sudo -u nobody "$root_dir/bin/mark" "$marker" >"$work/out" 2>"$work/err"
    status=$?
    set -e
    err=$(cat "$work/err")
    echo "sudo -u nobody $root_dir/bin/mark $marker: status $status"
    echo "$err"
    expect_status 0
    expect_ran
    expect_in_request 1 "\\nruns: /usr/bin/touch\\nsymbolic link: $root_dir/bin/mark -> /bin/touch\\nsymbolic link: /bin -> usr/bin\\n"
    expect_in_request 1 "\"commandFile\":\"/usr/bin/touch\",\"commandLinks\":[{\"link\":\"$root_dir/bin/mark\",\"target\":\"/bin/touch\"},{\"link\":\"/bin\",\"target\":\"usr/bin\"}]"
    ;;
  settings)
    write_sudoers 'Defaults closefrom_override, user_command_timeouts' 'nobody ALL=(ALL:ALL) NOPASSWD: ALL'
    start_recorder
    write_sudo_conf "$work/approval.sock"
    sudo -u nobody /usr/bin/touch "$marker"
    sudo -T 5 -u nobody /usr/bin/touch "$marker"
    sudo -C 7 -u nobody /usr/bin/touch "$marker"
    write_sudoers 'Defaults umask=0077' 'nobody ALL=(ALL:ALL) NOPASSWD: ALL'
    sudo -u nobody /usr/bin/touch "$marker"
    echo text >"$work/edit.txt"
    run_as_nobody env SUDO_EDITOR=/usr/bin/true sudo -e "$work/edit.txt"
    [ "$(request_count)" -eq 5 ] || fail "the service received $(request_count) requests, not 5"
    for n in 1 2 3 4 5; do digest_of "$n"; done
    [ "$(for n in 1 2 3 4 5; do digest_of "$n"; done | sort -u | wc -l)" -eq 5 ] ||
      fail "two of the five requests have the same digest"
    expect_in_request 2 '\n  timeout=5\n'
    expect_in_request 2 '"timeout=5"'
    expect_in_request 3 '\n  closefrom=7\n'
    expect_in_request 4 '\n  umask=077\n'
    expect_in_request 5 "\"title\":\"sudoedit: /usr/bin/true -- $work/edit.txt\""
    expect_in_request 5 '\neditor runs as: nobody (uid 65534), the invoking user, on copies of the files\nfiles written back as: root (uid 0, gid 0)\n'
    expect_in_request 5 '"sudoedit=true"'
    ;;
  *)
    echo "unknown scenario: $scenario" >&2
    exit 2
    ;;
esac
echo "ok: $scenario"
