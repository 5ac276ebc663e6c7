#!/usr/bin/env bash
# A first look at kelvane-operator-approve.
#
# Builds the client and the demo approval service, then asks the service three
# times: once while it approves everything, once while it denies everything,
# and once while no service runs at all. Each time it shows what a script
# calling the client would see: standard output (the approval token), standard
# error (the verdict) and the exit status.
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

# --- 1. Build tools: install only what this machine lacks (Debian) ----------
# GoogleTest is not needed here, but `cmake --workflow --preset dev`, the
# next thing a newcomer runs, needs it.
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
if [ ${#need[@]} -gt 0 ]; then
  bold "Installing build tools: ${need[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${need[@]}"
fi

# --- 2. Build the optimised client and service ------------------------------
bold "Building (cmake --workflow --preset release)"
# The build's output is shown only when it fails, and kept nowhere.
build_log=$(mktemp)
cmake --workflow --preset release >"$build_log" 2>&1 || {
  cat "$build_log"
  rm -f "$build_log"
  exit 1
}
rm -f "$build_log"
client=build/release/src/kelvane-operator-approve
service=build/release/tools/kelvane-operator-approval-demo
echo "client:  $client"
echo "service: $service"
echo "(both talk over a Unix-domain socket; the client finds it through"
echo " KELVANE_OPERATOR_APPROVAL_SOCK, which each run below sets)"

# --- 3. A private socket, removed again at the end --------------------------
work=$(mktemp -d)
socket=$work/approval.sock
service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

start_service() {  # approve | deny
  "$service" --socket "$socket" --auto "$1" >"$work/service.out" 2>"$work/service.err" &
  service_pid=$!
  # The service says when it listens; the socket file alone comes a moment
  # before that.
  for _ in $(seq 50); do grep -q ': listening on ' "$work/service.out" && return; sleep 0.1; done
  echo "the demo service did not start:"; cat "$work/service.err"; exit 1
}

stop_service() {
  kill -TERM "$service_pid"
  wait "$service_pid" || true
  service_pid=""
}

# Runs the client as a script would, then shows what it got back.
ask() {
  printf '$ kelvane-operator-approve'
  for arg in "$@"; do shell_word "$arg"; done
  printf '\n'
  local token status=0
  token=$(KELVANE_OPERATOR_APPROVAL_SOCK=$socket "$client" "$@" 2>"$work/stderr") || status=$?
  echo "  standard output: ${token:-(nothing)}"
  sed 's/^/  standard error:  /' "$work/stderr"
  echo "  exit status:     $status"
}

show_service_view() {
  echo "  what the service showed its operator:"
  sed -e '/^$/d' -e 's/^/  | /' "$work/service.out"
  echo "  and its record of the decision, on standard error:"
  for _ in $(seq 20); do [ -s "$work/service.err" ] && break; sleep 0.1; done
  sed -e 's/^/  | /' "$work/service.err"
}

# --- 4. An approval: the token comes out on standard output -----------------
bold "1. The service approves: exit status 0, the token on standard output"
start_service approve
ask --title "Restart billing database" \
  --detail "Rolling restart after config change" \
  --action restart_service --requester deploy-bot --target-host db-01 \
  --operation-digest sha256:4f1c0e9a \
  --context '{"ticket": "OPS-1234", "window": {"start": "02:00", "minutes": 30}}' \
  --timeout 300
show_service_view
stop_service

# --- 5. A denial: exit status 1, nothing on standard output -----------------
bold "2. The service denies: exit status 1"
start_service deny
ask --title Reboot --detail "Kernel update" --target-host web-03
stop_service

# --- 6. No service at all: exit status 3 ------------------------------------
bold "3. No service is listening: exit status 3"
ask --title Reboot --detail "Kernel update" --target-host web-03

bold "In a script"
cat <<'EOF'
  if token=$(kelvane-operator-approve --title Reboot --detail "Kernel update" --target-host web-03); then
    do-the-reboot --approval "$token"
  fi
The exit status says what happened: 0 approved, 1 denied, 2 usage error,
3 service unavailable, 4 any other verdict. See README.md.
EOF
