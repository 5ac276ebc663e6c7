#!/usr/bin/env bash
# A first look at the approval tools, the real thing.
#
# Builds the client, the approval service and the operators' command, starts
# the service on private sockets with its record in a private folder (SQLite:
# nothing to install or configure), and then:
#   1. a request from the client, approved by the operator: exit status 0 and
#      the token on standard output;
#   2. another, denied with a reason: exit status 1;
#   3. the service's record, as `kelvane-operator-approvals history` shows it
#      (the denial's vote signed with an SSH key made for the demo);
#   4. the client with no service at all: exit status 3.
# For each request it shows what a script calling the client would see:
# standard output, standard error and the exit status.
#
# Nobody may approve a request of their own, so the requests are made by
# another user, nobody (as root directly, otherwise through sudo), and you
# are the operator.
#
# Run from anywhere: tools/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# Bold headings only on a terminal that can show them, and not when the
# user asked for no colours (NO_COLOR, any value).
if [ -t 1 ] && [ -z "${NO_COLOR:-}" ] && [ "${TERM:-dumb}" != dumb ]; then
  bold() { printf '\n\033[1m%s\033[0m\n' "$*"; }
else
  bold() { printf '\n%s\n' "$*"; }
fi

# Shows an argument as one would type it: quoted only when it needs to be.
shell_word() {
  if [[ $1 =~ ^[A-Za-z0-9_./:=@,+-]+$ ]]; then
    printf ' %s' "$1"
  else
    printf " '%s'" "${1//\'/\'\\\'\'}"
  fi
}

# Shows a command line, then runs it.
show_and_run() {
  printf '$'
  for arg in "$@"; do shell_word "$arg"; done
  printf '\n'
  "$@"
}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# --- 1. Build tools: install only what this machine lacks (Debian) ----------
# Everything the release build finds through pkg-config or requires, as on a
# fresh Debian 12 (tools/fresh-demo-test.sh proves it on a minimal root).
# GoogleTest is not needed here, but `cmake --workflow --preset dev`, the
# next thing a newcomer runs, needs it.
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v pkg-config >/dev/null || need+=(pkg-config)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/toml++/toml.h ] || need+=(libtomlplusplus-dev)
[ -f /usr/include/systemd/sd-daemon.h ] || need+=(libsystemd-dev)
[ -f /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
# Signed approval tokens (nettle's hogweed) and the fleet's PostgreSQL client.
[ -f /usr/include/nettle/eddsa.h ] || need+=(nettle-dev)
[ -f /usr/include/postgresql/libpq-fe.h ] || need+=(libpq-dev)
# The requests come from another user (setpriv, in util-linux).
command -v setpriv >/dev/null || need+=(util-linux)
# The operator's signed vote: an SSH key made for the demo and its agent.
command -v ssh-agent >/dev/null || need+=(openssh-client)
if [ ${#need[@]} -gt 0 ]; then
  bold "Installing build tools: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${need[@]}"
fi

# --- 2. Build ------------------------------------------------------------------
bold "Building (cmake --workflow --preset release)"
# The build's output is shown only when it fails, and kept nowhere.
build_log=$(mktemp)
cmake --workflow --preset release >"$build_log" 2>&1 || {
  cat "$build_log"
  rm -f "$build_log"
  exit 1
}
rm -f "$build_log"
build=build/release
daemon=$build/src/approvald/kelvane-operator-approvald
operators=$build/src/operators/kelvane-operator-approvals
for program in "$daemon" "$operators"; do
  [ -x "$program" ] || { echo "not built: $program"; exit 1; }
done
echo "client:               $build/src/kelvane-operator-approve"
echo "approval service:     $daemon"
echo "operators' command:   $operators"

# --- 3. The service, on private sockets ---------------------------------------
work=$(mktemp -d)
# The requester (nobody) must reach the request socket and run the client.
chmod 0755 "$work"
install -m 0755 "$build/src/kelvane-operator-approve" "$work/kelvane-operator-approve"
client=$work/kelvane-operator-approve
requests=$work/requests.sock
operator_socket=$work/operators.sock
me=$(id -un)
daemon_pid=""
agent_pid=""
waiting=()
cleanup() {
  local pid
  for pid in "${waiting[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "$daemon_pid" ]; then kill "$daemon_pid" 2>/dev/null || true; wait "$daemon_pid" 2>/dev/null || true; fi
  if [ -n "$agent_pid" ]; then kill "$agent_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Your SSH key for the demo, in an agent of the demo's own: the service
# checks the votes signed with it against the allowed-signers file.
ssh-keygen -q -t ed25519 -N '' -C "$me@demo" -f "$work/operator-key"
eval "$(ssh-agent -a "$work/agent.sock" -s)" >/dev/null
agent_pid=$SSH_AGENT_PID
ssh-add -q "$work/operator-key" 2>/dev/null
key=$(ssh-keygen -l -f "$work/operator-key.pub" | cut -d' ' -f2)
echo "$me $(cut -d' ' -f1,2 "$work/operator-key.pub")" >"$work/operator_keys"

cat >"$work/service.toml" <<EOF
# Who may approve: you. The requests come from another user.
approvers = ["$me"]
# Whose SSH keys may sign votes (allowed signers): yours.
operator_keys = "$work/operator_keys"
EOF

bold "Starting the approval service (you are its operator, \"$me\")"
daemon_args=(--socket "$requests" --operator-socket "$operator_socket"
  --state-dir "$work/state" --config "$work/service.toml")
printf '$ %s' "$daemon"
for arg in "${daemon_args[@]}"; do shell_word "$arg"; done
printf '\n'
"$daemon" "${daemon_args[@]}" >"$work/daemon.out" 2>"$work/daemon.err" &
daemon_pid=$!
for _ in $(seq 100); do grep -q 'listening on' "$work/daemon.out" && break; sleep 0.1; done
grep -q 'listening on' "$work/daemon.out" || {
  echo "the approval service did not start:"
  cat "$work/daemon.err"
  exit 1
}
sed 's/^/  /' "$work/daemon.out"

# The requests come from nobody: as root directly, otherwise through sudo
# (which may ask for your password).
as_requester() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- env "$@"
  else
    sudo -u nobody -- env "$@"
  fi
}
if [ "$(id -u)" -ne 0 ]; then
  echo
  echo "The requests come from the user nobody, started with sudo: nobody may approve"
  echo "a request of their own. sudo may ask for your password now."
  sudo -u nobody true
fi

operate() {  # the operators' command's arguments
  show_and_run "$operators" --socket "$operator_socket" "$@" 2>&1 | sed 's/^/  /'
}

# Starts the client as the requester, in the background, the way a script
# would run it.
ask() {  # name, client arguments
  local name=$1
  shift
  printf '$ kelvane-operator-approve'
  for arg in "$@"; do shell_word "$arg"; done
  printf '    (as nobody, waiting for the operator)\n'
  as_requester KELVANE_OPERATOR_APPROVAL_SOCK="$requests" "$client" "$@" \
    >"$work/$name.out" 2>"$work/$name.err" &
  waiting+=($!)
  echo $! >"$work/$name.pid"
}

# Waits for the client and shows what it got back.
answer_of() {  # name
  local status=0
  wait "$(cat "$work/$1.pid")" || status=$?
  if [ -s "$work/$1.out" ]; then
    echo "  the client's standard output: $(cat "$work/$1.out")"
  else
    echo "  the client's standard output: (nothing)"
  fi
  sed 's/^/  the client'"'"'s standard error:  /' "$work/$1.err"
  echo "  the client's exit status:     $status"
}

# The id of the newest pending request, once it is there.
pending_id() {
  local id=""
  for _ in $(seq 100); do
    id=$("$operators" --socket "$operator_socket" list --json 2>/dev/null |
      grep -o '"id":"[^"]*"' | tail -n 1 | cut -d'"' -f4) || true
    [ -z "$id" ] || break
    sleep 0.1
  done
  # Called in $(...): what went wrong goes to standard error, to be seen.
  [ -n "$id" ] || { echo "the request never reached the service:" >&2; cat "$work"/*.err >&2; exit 1; }
  printf '%s\n' "$id"
}

# --- 4. An approval ------------------------------------------------------------
bold "1. A request, approved by the operator: exit status 0, the token on standard output"
ask first --title "Restart billing database" \
  --detail "Rolling restart after config change" \
  --action restart_service --requester deploy-bot --source-host build-07 --target-host db-01 \
  --operation-digest sha256:4f1c0e9a \
  --context '{"ticket": "OPS-1234", "window": {"start": "02:00", "minutes": 30}}' \
  --timeout 300
id=$(pending_id)
echo
echo "The operator's side:"
operate list
operate show "$id"
operate approve "$id"
answer_of first
echo
echo "The token is signed by the service; a target host checks it, with the"
echo "service's published public keys, before it acts:"
printf '$ kelvane-operator-approvals verify - --target-host db-01 --digest sha256:4f1c0e9a'
printf ' --public-key %s <token\n' "$work/state-public/public-keys.json"
"$operators" verify - --target-host db-01 --digest sha256:4f1c0e9a \
  --public-key "$work/state-public/public-keys.json" <"$work/first.out" 2>&1 | sed 's/^/  /' || true
printf '$ kelvane-operator-approvals verify - --target-host web-03 ... <token\n'
"$operators" verify - --target-host web-03 --digest sha256:4f1c0e9a \
  --public-key "$work/state-public/public-keys.json" <"$work/first.out" 2>&1 | sed 's/^/  /' || true

# --- 5. A denial ---------------------------------------------------------------
bold "2. A request, denied with a reason, the vote signed with your SSH key: exit status 1"
ask second --title Reboot --detail "Kernel update" --source-host build-07 --target-host web-03
id=$(pending_id)
operate deny "$id" --reason "not in the change window" --key "$key"
answer_of second
echo "The record keeps the vote's signature and its key, which anyone can check"
echo "with ssh-keygen -Y verify -n kelvane-operator-approval (docs/signed-votes.md):"
"$operators" --socket "$operator_socket" show "$id" --json 2>/dev/null |
  grep -o '"keyFingerprint":"[^"]*"' | sed 's/^/  /' || true

# --- 6. The record -------------------------------------------------------------
bold "3. The service's record (SQLite, in $work/state)"
operate history

# --- 7. No service at all ------------------------------------------------------
bold "4. No service is listening: exit status 3"
kill -TERM "$daemon_pid"
wait "$daemon_pid" || true
daemon_pid=""
status=0
KELVANE_OPERATOR_APPROVAL_SOCK=$requests "$client" --title Reboot --detail "Kernel update" \
  --target-host web-03 2>"$work/err" || status=$?
sed 's/^/  the client'"'"'s standard error:  /' "$work/err"
echo "  the client's exit status:     $status"

bold "In a script"
cat <<'EOF'
  if token=$(kelvane-operator-approve --title Reboot --detail "Kernel update" --target-host web-03); then
    do-the-reboot --approval "$token"
  fi
The exit status says what happened: 0 approved, 1 denied, 2 usage error,
3 service unavailable, 4 any other verdict. See README.md; docs/service.md
tells how to run the service for real.

To try the operator's prompt by hand, start the one-terminal demo service,
which asks you about each request in its own terminal, and ask it from
another:
  build/release/tools/kelvane-operator-approval-demo --socket /tmp/demo.sock
  KELVANE_OPERATOR_APPROVAL_SOCK=/tmp/demo.sock build/release/src/kelvane-operator-approve \
      --title Reboot --detail "Kernel update" --target-host web-03
EOF
