#!/usr/bin/env bash
# The packages on a Debian 12 booted with systemd as PID 1: builds a minimal
# image once (debootstrap; kept in /var/cache/kelvane-system-test, keyed by
# what goes into it) and, from it, the image of a database server (Debian's
# PostgreSQL added), boots machines from them with systemd-nspawn (each
# under an overlay of its own) on a network of their own and runs an
# administrator's journey
# (tests/system/journey.sh), the documentation's shell blocks included:
#
#   koa-system-test     the packages built from this tree, the journey runs
#                       here; later a host of the fleet
#   koa-system-test-b   a second host of the fleet (the journey installs the
#                       packages there too)
#   koa-db              the fleet's database server, reached by its name
#                       db.koa.test (/etc/hosts) over TCP and TLS, with a
#                       certificate of a CA made for the run
#
# The journey reaches the other two machines through a relay: it writes a
# command into /root/system-test/relay, this script runs it there.
# Needs root. Every step is printed; the first that fails stops the test.
#
#   packaging/system-test.sh [BUILD_DIR]        (default: build/package)
#
# KOA_SYSTEM_TEST_CACHE moves the image cache; KOA_SYSTEM_TEST_KEEP=1 keeps
# what the machines wrote for a look afterwards.
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
for tool in debootstrap systemd-nspawn nsenter dpkg-deb openssl ip setsid; do
  command -v "$tool" >/dev/null || die "$tool is missing"
done
shopt -s nullglob
debs=("$build"/*.deb)
[ ${#debs[@]} -gt 0 ] || die "no .deb in $build"

# --- The images ------------------------------------------------------------------
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
  say "image built"
else
  say "reusing the cached image $key"
fi
# The database server: the same system with Debian's PostgreSQL, installed
# as an administrator would (its cluster "main" made by the package).
db_packages=postgresql
db_key=$(printf '%s\n' "database image v1" "$key" "$db_packages" | sha256sum | cut -c1-16)
db_image=$cache/$db_key
if [ ! -f "$db_image/done" ]; then
  say "building the database server's image $db_key (apt-get in a copy of $key)"
  rm -rf "$cache/$db_key.new"
  mkdir -p "$cache/$db_key.new"
  cp -a --reflink=auto "$image/root" "$cache/$db_key.new/root"
  systemd-nspawn --register=no --keep-unit --quiet -D "$cache/$db_key.new/root" \
    --resolv-conf=copy-host --setenv=DEBIAN_FRONTEND=noninteractive /bin/sh -ec \
    "apt-get update -q; apt-get install -y -q --no-install-recommends $db_packages; apt-get clean" \
    >"$cache/$db_key.new/apt.log" 2>&1 || {
    tail -n 30 "$cache/$db_key.new/apt.log" >&2
    die "installing $db_packages in the database server's image failed"
  }
  touch "$cache/$db_key.new/done"
  mv "$cache/$db_key.new" "$db_image"
  say "database server's image built"
else
  say "reusing the cached database server's image $db_key"
fi
# Images of other inputs are not reused again (one being built is left).
for old in "$cache"/*; do
  case $old in "$image" | "$db_image" | *.new) ;; *) rm -rf "$old" ;; esac
done

# Machines of an earlier run that was killed before it could stop them
# (their systemd-nspawn gone, their init left running under PID 1): every
# process whose root is in such a run's folder, and the run's bridge.
for proc in /proc/[0-9]*; do
  case $(readlink "$proc/root" 2>/dev/null) in
    /var/tmp/kelvane-system-test-*) kill -KILL "${proc#/proc/}" 2>/dev/null || true ;;
  esac
done
for bridge in $(ip -o link show type bridge 2>/dev/null | awk -F': ' '$2 ~ /^vz-koa[0-9]+$/ { print $2 }'); do
  ip link delete "$bridge" 2>/dev/null || true
done

work=$(mktemp -d /var/tmp/kelvane-system-test-XXXXXX)
# The machines: a short name each, its root, host name and address. The
# network zone is a bridge of this run's own (systemd-nspawn removes it with
# the last machine); nothing on it reaches or is reached from elsewhere.
machines=(a b db)
declare -A root_of=([a]=$work/a [b]=$work/b [db]=$work/db)
declare -A host_of=([a]=koa-system-test [b]=koa-system-test-b [db]=koa-db)
declare -A address_of=([a]=10.213.77.11 [b]=10.213.77.12 [db]=10.213.77.10)
declare -A nspawn_pid=() init_pid=()
zone=koa$$
machine=${root_of[a]}
relay=$machine/root/system-test/relay
relay_pid=""
mounted=()
cleanup() {
  local status=$?
  [ -z "$relay_pid" ] || kill "$relay_pid" 2>/dev/null || true
  [ ${#init_pid[@]} = 0 ] || say "stopping the machines"
  # An orderly shutdown first, then the machines are killed.
  for m in "${!init_pid[@]}"; do kill -RTMIN+4 "${init_pid[$m]}" 2>/dev/null || true; done
  for _ in $(seq 100); do
    local running=0
    for m in "${!nspawn_pid[@]}"; do kill -0 "${nspawn_pid[$m]}" 2>/dev/null && running=1; done
    [ "$running" = 1 ] || break
    sleep 0.1
  done
  # A machine's init outlives a killed systemd-nspawn: it goes first, which
  # ends everything in its namespaces.
  for m in "${!init_pid[@]}"; do kill -KILL "${init_pid[$m]}" 2>/dev/null || true; done
  for m in "${!nspawn_pid[@]}"; do
    kill -KILL "${nspawn_pid[$m]}" 2>/dev/null || true
    wait "${nspawn_pid[$m]}" 2>/dev/null || true
  done
  ip link delete "vz-$zone" 2>/dev/null || true
  if [ "$status" != 0 ]; then
    for m in "${!nspawn_pid[@]}"; do
      [ -f "$work/$m.boot.log" ] || continue
      echo "system-test: the console of ${host_of[$m]} (last lines):" >&2
      tail -n 20 "$work/$m.boot.log" >&2
    done
  fi
  for root in "${mounted[@]}"; do umount "$root" 2>/dev/null || umount -l "$root" || true; done
  if [ "${KOA_SYSTEM_TEST_KEEP:-0}" = 1 ]; then
    echo "system-test: kept $work (each machine's changes in MACHINE.upper)"
  else
    say "removing what the machines wrote"
    # Never into a root still mounted over an image.
    rm -rf --one-file-system "$work"
  fi
  say "done"
}
trap cleanup EXIT

# Each machine's root is its image under an overlay of its own: the image
# stays as it is, what the machine writes lands in $work/MACHINE.upper, and
# nothing has to be copied in or removed afterwards but that. Where overlays
# cannot be mounted, a copy does.
say "the machines' roots"
machine_root() {  # MACHINE IMAGE-ROOT
  local m=$1
  mkdir -p "${root_of[$m]}" "$work/$m.upper" "$work/$m.work"
  if mount -t overlay "koa-$m" -o "lowerdir=$2,upperdir=$work/$m.upper,workdir=$work/$m.work" \
    "${root_of[$m]}" 2>/dev/null; then
    mounted+=("${root_of[$m]}")
  else
    cp -a --reflink=auto "$2/." "${root_of[$m]}"
  fi
}
machine_root a "$image/root"
machine_root b "$image/root"
machine_root db "$db_image/root"
for m in "${machines[@]}"; do
  echo "${host_of[$m]}" >"${root_of[$m]}/etc/hostname"
  printf '127.0.1.1\t%s\n' "${host_of[$m]}" >>"${root_of[$m]}/etc/hosts"
done
# The fleet's hosts know the database server by name.
for m in a b; do
  printf '%s\tdb.koa.test\n' "${address_of[db]}" >>"${root_of[$m]}/etc/hosts"
done

# The packages of this tree, on both hosts, and the same packages with a
# higher version for the upgrade.
for m in a b; do
  mkdir -p "${root_of[$m]}/root/debs"
  cp "${debs[@]}" "${root_of[$m]}/root/debs/"
done
mkdir -p "$machine/root/debs-next"
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

# TLS for the database: a CA made for this run, the server's certificate for
# the name the hosts use. The hosts get the CA's certificate where
# docs/fleet.md puts it; the server its certificate and key where the
# cluster's configuration names them (owned by postgres, 0600, as the
# server requires).
tls=$work/tls
mkdir -p "$tls"
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${ec[@]}" -days 2 -subj "/CN=Kelvane system test CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
  -keyout "$tls/ca.key" -out "$tls/ca.crt" 2>/dev/null
openssl req -new "${ec[@]}" -subj /CN=db.koa.test -keyout "$tls/server.key" -out "$tls/server.csr" \
  2>/dev/null
printf 'subjectAltName=DNS:db.koa.test\nextendedKeyUsage=serverAuth\n' >"$tls/server.ext"
openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.crt" -CAkey "$tls/ca.key" -CAcreateserial \
  -days 2 -extfile "$tls/server.ext" -out "$tls/server.crt" 2>/dev/null
for m in a b; do
  mkdir -p "${root_of[$m]}/etc/ssl/certs"
  cp "$tls/ca.crt" "${root_of[$m]}/etc/ssl/certs/db-ca.pem"
done
cluster=$(echo "${root_of[db]}"/etc/postgresql/*/main)
[ -d "$cluster" ] || die "the database server's image has no cluster main"
postgres_ids=$(awk -F: '$1 == "postgres" { print $3 ":" $4 }' "${root_of[db]}/etc/passwd")
install -m 0644 -o "${postgres_ids%:*}" -g "${postgres_ids#*:}" "$tls/server.crt" "$cluster/server.crt"
install -m 0600 -o "${postgres_ids%:*}" -g "${postgres_ids#*:}" "$tls/server.key" "$cluster/server.key"
# The server listens on its network with TLS, and takes the fleet's
# connections only over TLS with a password (no line for plain TCP).
version=$(basename "$(dirname "$cluster")")
cat >"$cluster/conf.d/kelvane-fleet.conf" <<EOF
listen_addresses = '*'
ssl = on
ssl_cert_file = '/etc/postgresql/$version/main/server.crt'
ssl_key_file = '/etc/postgresql/$version/main/server.key'
EOF
echo "hostssl kelvane_approval all ${address_of[db]%.*}.0/24 scram-sha-256" >>"$cluster/pg_hba.conf"

say "booting ${machines[*]}"
for m in "${machines[@]}"; do
  systemd-nspawn --register=no --keep-unit --quiet -M "k$$$m" -D "${root_of[$m]}" -b \
    --console=pipe --network-zone="$zone" >"$work/$m.boot.log" 2>&1 </dev/null &
  nspawn_pid[$m]=$!
done
# Each machine's init: the child of its systemd-nspawn in a PID namespace
# of its own.
for m in "${machines[@]}"; do
  for _ in $(seq 300); do
    kill -0 "${nspawn_pid[$m]}" 2>/dev/null || die "systemd-nspawn of ${host_of[$m]} exited"
    for child in $(cat /proc/"${nspawn_pid[$m]}"/task/*/children 2>/dev/null); do
      if [ "$(readlink /proc/"$child"/ns/pid)" != "$(readlink /proc/self/ns/pid)" ]; then
        init_pid[$m]=$child
      fi
    done
    [ -z "${init_pid[$m]:-}" ] || break
    sleep 0.1
  done
  [ -n "${init_pid[$m]:-}" ] || die "the init of ${host_of[$m]} never started"
done
on_machine() {  # MACHINE COMMAND...
  nsenter -t "${init_pid[$1]}" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    HOME=/root "${@:2}"
}
inside() { on_machine a "$@"; }
# Up to three minutes: a loaded CI machine boots slowly.
for m in "${machines[@]}"; do
  state=""
  for _ in $(seq 1800); do
    state=$(on_machine "$m" systemctl is-system-running 2>/dev/null) || true
    case $state in running | degraded) break ;; esac
    sleep 0.1
  done
  case $state in
    running) say "${host_of[$m]} booted: systemd is running" ;;
    degraded)
      say "${host_of[$m]} booted, degraded: $(on_machine "$m" systemctl --failed --plain --no-legend | tr '\n' ' ')"
      ;;
    *) die "${host_of[$m]} never finished booting: is-system-running says '$state'" ;;
  esac
done

# The network: the zone's bridge up, an address on each machine's host0
# (there once the machine has booted; PostgreSQL listens on every address,
# so one added now is served).
for _ in $(seq 100); do ip link show "vz-$zone" >/dev/null 2>&1 && break; sleep 0.1; done
ip link set "vz-$zone" up || die "no bridge vz-$zone"
for m in "${machines[@]}"; do
  for _ in $(seq 100); do
    nsenter -t "${init_pid[$m]}" -n ip link show host0 >/dev/null 2>&1 && break
    sleep 0.1
  done
  nsenter -t "${init_pid[$m]}" -n ip address add "${address_of[$m]}/24" dev host0 ||
    die "no address on ${host_of[$m]}"
  nsenter -t "${init_pid[$m]}" -n ip link set host0 up || die "no network on ${host_of[$m]}"
done

# The relay: the journey writes N.MACHINE.cmd (a shell script; N.MACHINE.in
# its standard input, if any), then "N MACHINE" into the fifo; this runs it
# as root on that machine, without a terminal, and leaves N.MACHINE.out,
# .err and .status beside it. Several run at once (requests that wait).
mkdir -p "$relay"
chmod 0700 "$relay"
mkfifo "$relay/fifo"
relay_agent() {
  local fd n m input
  exec {fd}<>"$relay/fifo"
  while read -r n m <&"$fd"; do
    [[ $n =~ ^[0-9.]+$ && -n ${init_pid[$m]:-} && -f $relay/$n.$m.cmd ]] || continue
    input=/dev/null
    [ ! -f "$relay/$n.$m.in" ] || input=$relay/$n.$m.in
    (
      status=0
      setsid -w nsenter -t "${init_pid[$m]}" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 HOME=/root /bin/bash -c "$(cat "$relay/$n.$m.cmd")" <"$input" \
        >"$relay/$n.$m.out" 2>"$relay/$n.$m.err" || status=$?
      echo "$status" >"$relay/$n.$m.status.new"
      mv "$relay/$n.$m.status.new" "$relay/$n.$m.status"
    ) &
  done
}
relay_agent &
relay_pid=$!

say "the administrator's journey"
inside /bin/bash /root/system-test/journey.sh
say "passed"
