#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and checks what a user gets:
# the layout, the manual pages and the shell completions.
#
#   check_install.sh MODE BUILD_DIR SOURCE_DIR EXPECT_DEMO [EXPECT_SUDO [EXPECT_SERVICE]]
#
# MODE is layout, man or completion. EXPECT_DEMO is 1 when the demo service
# is part of this build, EXPECT_SUDO when the sudo plugin is, EXPECT_SERVICE
# when the approval service is. Exit status 77 means skipped.
set -euo pipefail

mode=$1 build=$2 source=$3 expect_demo=$4 expect_sudo=${5:-0} expect_service=${6:-0}
cmake=${CMAKE_COMMAND:-cmake}

failures=0
fail() {
  printf 'FAIL: %s\n' "$*" >&2
  failures=$((failures + 1))
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/usr
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
  { cat "$scratch/install.log" >&2; exit 1; }

client=$prefix/bin/kelvane-operator-approve
bash_completion=$prefix/share/bash-completion/completions/kelvane-operator-approve
# Debian's zsh looks in site-functions for prefixes other than /usr.
zsh_dir=$prefix/share/zsh/site-functions
zsh_completion=$zsh_dir/_kelvane-operator-approve
fish_dir=$prefix/share/fish/vendor_completions.d
man_dir=$prefix/share/man/man1

# The option names as the program itself announces them in its usage text,
# so that the pages and completions cannot drift from the code unnoticed.
program_options() {
  local usage
  usage=$("$client" --help 2>&1 >/dev/null) || true
  { grep -o -- '--[a-z][a-z-]*' <<<"$usage"; printf '%s\n' -h --help; } | sort -u
}

check_layout() {
  local f
  for f in \
    bin/kelvane-operator-approve \
    share/man/man1/kelvane-operator-approve.1 \
    share/bash-completion/completions/kelvane-operator-approve \
    share/zsh/site-functions/_kelvane-operator-approve \
    share/fish/vendor_completions.d/kelvane-operator-approve.fish \
    share/doc/kelvane-operator-approve/README.md \
    share/doc/kelvane-operator-approve/protocol.md \
    share/doc/kelvane-operator-approve/copyright \
    share/doc/kelvane-operator-approve/changelog; do
    [ -f "$prefix/$f" ] || fail "not installed: $f"
  done
  [ -x "$client" ] || fail "client is not executable"

  local demo_files=(
    bin/kelvane-operator-approval-demo
    share/man/man1/kelvane-operator-approval-demo.1
    share/doc/kelvane-operator-approval-demo/README.md
    share/doc/kelvane-operator-approval-demo/copyright
    share/doc/kelvane-operator-approval-demo/changelog)
  for f in "${demo_files[@]}"; do
    if [ "$expect_demo" = 1 ]; then
      [ -f "$prefix/$f" ] || fail "not installed: $f"
    else
      [ ! -e "$prefix/$f" ] || fail "installed without the demo target: $f"
    fi
  done

  local sudo_files=(libexec/sudo/kelvane_approval.so share/man/man8/kelvane_approval.8
    share/doc/kelvane-operator-approval-sudo/sudo.md
    share/doc/kelvane-operator-approval-sudo/copyright
    share/doc/kelvane-operator-approval-sudo/changelog)
  for f in "${sudo_files[@]}"; do
    if [ "$expect_sudo" = 1 ]; then
      [ -f "$prefix/$f" ] || fail "not installed: $f"
    else
      [ ! -e "$prefix/$f" ] || fail "installed without the sudo plugin target: $f"
    fi
  done

  # The approval service: its programs, the systemd units and the system
  # settings, all inside the prefix when it is not /usr.
  local service_files=(
    sbin/kelvane-operator-approvald
    share/man/man8/kelvane-operator-approvald.8
    lib/systemd/system/kelvane-operator-approvald.service
    lib/systemd/system/kelvane-operator-approvald.socket
    lib/systemd/system/kelvane-operator-approvald-operators.socket
    lib/sysusers.d/kelvane-operator-approval.conf
    lib/tmpfiles.d/kelvane-operator-approval.conf
    lib/environment.d/60-kelvane-operator-approval.conf
    etc/kelvane-operator-approval/service.toml
    etc/profile.d/kelvane-operator-approval.sh
    share/doc/kelvane-operator-approval-service/README.md
    share/doc/kelvane-operator-approval-service/service.md
    share/doc/kelvane-operator-approval-service/tokens.md
    share/doc/kelvane-operator-approval-service/fleet.md
    share/kelvane-operator-approval-service/fleet-network.conf
    share/doc/kelvane-operator-approval-service/copyright
    share/doc/kelvane-operator-approval-service/changelog)
  for f in "${service_files[@]}"; do
    if [ "$expect_service" = 1 ]; then
      [ -f "$prefix/$f" ] || fail "not installed: $f"
    else
      [ ! -e "$prefix/$f" ] || fail "installed without the approval service target: $f"
    fi
  done
  # The operators' command comes with the service; its page and completions
  # are installed by their own rules.
  if [ "$expect_service" = 1 ]; then
    [ -x "$prefix/bin/kelvane-operator-approvals" ] || fail "not installed: bin/kelvane-operator-approvals"
  fi

  # Nothing outside the documented places (no headers, no static libraries).
  local extra
  extra=$(cd "$prefix" && find . -type f | sed 's|^\./||' |
    grep -v -E '^(bin/kelvane-operator-(approve|approval-demo)|share/man/man1/kelvane-operator-(approve|approval-demo)\.1|share/bash-completion/completions/kelvane-operator-approve|share/zsh/site-functions/_kelvane-operator-approve|share/fish/vendor_completions\.d/kelvane-operator-approve\.fish|share/doc/kelvane-operator-approve/(README\.md|protocol\.md|copyright|changelog)|share/doc/kelvane-operator-approval-demo/(README\.md|copyright|changelog))$' |
    grep -v -E '^(libexec/sudo/kelvane_approval\.so|share/man/man8/kelvane_approval\.8|share/doc/kelvane-operator-approval-sudo/(sudo\.md|copyright|changelog))$' |
    grep -v -x -F -f <(printf '%s\n' "${service_files[@]}") |
    grep -v -E '^(bin/kelvane-operator-approvals|share/man/man1/kelvane-operator-approvals\.1|share/bash-completion/completions/kelvane-operator-approvals|share/zsh/site-functions/_kelvane-operator-approvals|share/fish/vendor_completions\.d/kelvane-operator-approvals\.fish)$' || true)
  [ -z "$extra" ] || fail "unexpected files installed: $extra"

  # The packaged documents are the users' own, not this tree's: the README
  # does not send them to build folders or scripts they do not have.
  ! grep -n -E 'build/|tools/|\.ci/|cmake --' "$prefix/share/doc/kelvane-operator-approve/README.md" ||
    fail "the installed README speaks of the source tree"
  head -n 1 "$prefix/share/doc/kelvane-operator-approve/copyright" |
    grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' ||
    fail "copyright is not in the machine-readable format"

  # Under /usr (the packages' prefix) the zsh completion goes where Debian's
  # zsh looks for other packages' completions; DESTDIR stages it.
  DESTDIR=$scratch/dest "$cmake" --install "$build" --prefix /usr >"$scratch/install-usr.log" ||
    { cat "$scratch/install-usr.log" >&2; exit 1; }
  # The service's unit runs the daemon and names the configuration where
  # each prefix put them: inside a scratch prefix, and /usr/sbin with /etc
  # under /usr.
  if [ "$expect_service" = 1 ]; then
    check_unit_paths "$prefix/lib/systemd/system/kelvane-operator-approvald.service" \
      "$prefix/sbin" "$prefix/etc"
    check_unit_paths "$scratch/dest/lib/systemd/system/kelvane-operator-approvald.service" \
      /usr/sbin /etc
  fi
  [ -f "$scratch/dest/usr/share/zsh/vendor-completions/_kelvane-operator-approve" ] ||
    fail "zsh completion not in share/zsh/vendor-completions under /usr"
  [ ! -e "$scratch/dest/usr/share/zsh/site-functions" ] ||
    fail "zsh completion in site-functions under /usr"

  # The installed binary runs from its new place: --help is status 2 with
  # the usage text on standard error and nothing on standard output.
  local status=0
  "$client" --help >"$scratch/out" 2>"$scratch/err" || status=$?
  [ "$status" = 2 ] || fail "--help exited with $status, expected 2"
  [ ! -s "$scratch/out" ] || fail "--help wrote to standard output"
  head -n 1 "$scratch/err" | grep -q '^usage: kelvane-operator-approve --title T ' ||
    fail "--help did not write the usage text: $(cat "$scratch/err")"
}

# Every command line of the unit names the daemon in SBIN and its
# configuration in ETC, and no field is left unfilled.
check_unit_paths() {  # UNIT SBIN ETC
  local unit=$1 line
  [ -f "$unit" ] || { fail "no unit at $unit"; return; }
  ! grep -n '@[A-Z_]*@' "$unit" || fail "$unit has fields the installation did not fill in"
  while IFS= read -r line; do
    [[ $line == "$2/kelvane-operator-approvald --config $3/kelvane-operator-approval/service.toml"* ]] ||
      fail "$(basename "$unit") under $2: $line"
  done < <(sed -n -E 's/^Exec(StartPre|Start|Reload)=//p' "$unit" | grep -v '^/bin/sh ')
  [ "$(grep -c -E '^Exec(StartPre|Start|Reload)=' "$unit")" = 4 ] ||
    fail "$(basename "$unit"): not the four command lines expected"
}

check_man() {
  local page pages=("$man_dir/kelvane-operator-approve.1")
  [ "$expect_demo" = 1 ] && pages+=("$man_dir/kelvane-operator-approval-demo.1")
  [ "$expect_sudo" = 1 ] && pages+=("$prefix/share/man/man8/kelvane_approval.8")
  [ "$expect_service" = 1 ] && pages+=("$prefix/share/man/man8/kelvane-operator-approvald.8")
  # The build fills in the version being installed and a full date.
  for page in "${pages[@]}"; do
    grep -q "^\.TH [^ ]* [1-8] [0-9]\{4\}-[0-9][0-9]-[0-9][0-9] \"kelvane\\\\-operator\\\\-approve ${KOA_VERSION:-?}\"" "$page" ||
      fail "$(basename "$page"): no full date and version ${KOA_VERSION:-?} in its .TH line: $(grep '^\.TH' "$page")"
    ! grep -n '@[A-Z_]*@' "$page" || fail "$(basename "$page") has fields the build did not fill in"
  done

  # The tagged entries of the page name exactly the program's options.
  local documented
  documented=$(awk 'tag { print; tag = 0 } /^\.TP/ { tag = 1 }' "$man_dir/kelvane-operator-approve.1" |
    sed 's/\\-/-/g' | grep -oE '(^| )--?[a-z][a-z-]*' | tr -d ' ' | sort -u)
  [ "$documented" = "$(program_options)" ] ||
    fail "options in the manual page [$(echo $documented)] differ from the program's [$(echo $(program_options))]"
  # Likewise for the demo service, when it is part of the build.
  if [ "$expect_demo" = 1 ]; then
    local demo_usage demo_options demo_documented
    demo_usage=$(timeout 10 "$prefix/bin/kelvane-operator-approval-demo" --help 2>/dev/null) || true
    demo_options=$(grep -oE -- '--[a-z][a-z-]*' <<<"$demo_usage" | sort -u)
    demo_documented=$(awk 'tag { print; tag = 0 } /^\.TP/ { tag = 1 }' "$man_dir/kelvane-operator-approval-demo.1" |
      sed 's/\\-/-/g' | grep -oE '(^| )--?[a-z][a-z-]*' | tr -d ' ' | sort -u)
    [ -n "$demo_options" ] && [ "$demo_documented" = "$demo_options" ] ||
      fail "options in the demo's manual page [$(echo $demo_documented)] differ from its usage [$(echo $demo_options)]"
  fi

  # And for the approval service's daemon.
  if [ "$expect_service" = 1 ]; then
    local daemon_usage daemon_options daemon_documented
    daemon_usage=$(timeout 10 "$prefix/sbin/kelvane-operator-approvald" --help 2>&1) || true
    daemon_options=$(grep -oE -- '--[a-z][a-z-]*' <<<"$daemon_usage" | sort -u)
    daemon_documented=$(awk '/^\.SH OPTIONS/ { on = 1; next } /^\.SH/ { on = 0 } on && tag { print; tag = 0 } on && /^\.TP/ { tag = 1 }' \
      "$prefix/share/man/man8/kelvane-operator-approvald.8" |
      sed 's/\\-/-/g' | grep -oE -- '--[a-z][a-z-]*' | sort -u)
    [ -n "$daemon_options" ] && [ "$daemon_documented" = "$daemon_options" ] ||
      fail "options in the daemon's manual page [$(echo $daemon_documented)] differ from its usage [$(echo $daemon_options)]"
  fi

  # mandoc's checker, at every level down to style.
  if command -v mandoc >/dev/null; then
    for page in "${pages[@]}"; do
      local lint
      lint=$(mandoc -Tlint -W style "$page" 2>&1) || true
      [ -z "$lint" ] || fail "mandoc -Tlint on $(basename "$page"): $lint"
    done
  else
    echo "mandoc not found: its check skipped"
  fi

  if ! command -v groff >/dev/null; then
    echo "groff not found: formatting check skipped"
    [ "$failures" = 0 ] || exit 1
    exit 77
  fi
  for page in "${pages[@]}"; do
    # groff reports warnings on standard error and still exits 0.
    if ! groff -man -ww -z "$page" 2>"$scratch/groff.err" || [ -s "$scratch/groff.err" ]; then
      fail "groff warnings in $(basename "$page"): $(cat "$scratch/groff.err")"
    fi
  done
}

# Runs the installed bash completion for a command line whose last word is
# the one being completed; prints the candidates one per line, sorted.
complete_words() {
  local with_library=$1
  shift
  bash --norc --noprofile -c '
    if [ "$1" = 1 ]; then . /usr/share/bash-completion/bash_completion; fi
    . "$2"
    shift 2
    registration=$(complete -p kelvane-operator-approve) || exit 1
    function=${registration#*-F }
    function=${function%% *}
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$function" kelvane-operator-approve "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}"
  ' completion "$with_library" "$bash_completion" "$@" | sed '/^$/d' | sort
}

check_completion() {
  local files=$scratch/files
  mkdir -p "$files/sub"
  touch "$files/alpha.json" "$files/beta.txt"
  cd "$files"

  local long_options variants=(0)
  long_options=$(program_options | grep -- '^--')
  [ -f /usr/share/bash-completion/bash_completion ] && variants+=(1)

  local lib expected got
  for lib in "${variants[@]}"; do
    local where="bash completion (library loaded: $lib)"
    # name of the case | words of the command line | expected candidates
    while IFS='|' read -r name words expected; do
      [ -n "$name" ] || continue
      eval "set -- $words"
      got=$(complete_words "$lib" kelvane-operator-approve "$@" | tr '\n' ' ')
      expected=${expected//@LONG@/$(tr '\n' ' ' <<<"$long_options")}
      expected=$(tr ' ' '\n' <<<"$expected" | sed '/^$/d' | sort | tr '\n' ' ')
      [ "$got" = "$expected" ] || fail "$where, $name: got [$got], expected [$expected]"
    done <<'CASES'
after --|--|@LONG@
after -|-|-h @LONG@
prefix of two options|--title x --detail-f|--detail-file
files after --detail-file|--detail-file ''|alpha.json beta.txt sub
file prefix after --context-file|--title x --context-file a|alpha.json
nothing after a free-text option|--title ''|
nothing after --timeout|--timeout ''|
an option name taken as a value is not an option|--title --detail-file ''|-h @LONG@
CASES
  done

  # zsh and fish offer options only for a word that begins with a dash, as
  # is their custom; otherwise they follow the same rules as bash.
  local zsh_fish_cases
  zsh_fish_cases=$(cat <<'CASES'
after -|-|-h @LONG@
after --|--|@LONG@
prefix of two options|--title x --detail-f|--detail-file
files after --detail-file|--detail-file ''|alpha.json beta.txt sub
file prefix after --context-file|--title x --context-file a|alpha.json
nothing after a free-text option|--title ''|
not even for a dash after --timeout|--timeout -|
an option name taken as a value is not an option|--title --context-file -|-h @LONG@
nor are files offered after it|--title --context-file ''|
CASES
)

  if command -v zsh >/dev/null; then
    zsh -n "$zsh_completion" || fail "zsh completion does not parse"
    # A zsh that loads its completion system with the installed folder on
    # fpath binds the command to the installed function.
    local bound
    bound=$(zsh -f -c 'fpath=("$1" $fpath); autoload -Uz compinit; compinit -u -D
      print -r -- ${_comps[kelvane-operator-approve]}' zsh "$zsh_dir") || true
    [ "$bound" = _kelvane-operator-approve ] ||
      fail "compinit with $zsh_dir on fpath does not find the completion (got [$bound])"
    run_cases zsh zsh_words <<<"$zsh_fish_cases"
  else
    echo "zsh not found: zsh completion checks skipped"
  fi
  if command -v fish >/dev/null; then
    run_cases fish fish_words <<<"$zsh_fish_cases"
  else
    echo "fish not found: fish completion checks skipped"
  fi
  cd - >/dev/null
}

# Reads cases (name|words|expected candidates, @LONG@ for every long option)
# and checks each against COMPLETER WORD..., which prints the candidates for
# the last word.
run_cases() {
  local where=$1 completer=$2 long_options name words expected got
  long_options=$(program_options | grep -- '^--' | tr '\n' ' ')
  while IFS='|' read -r name words expected; do
    [ -n "$name" ] || continue
    eval "set -- $words"
    got=$("$completer" kelvane-operator-approve "$@" | sed 's|/$||' | sort | tr '\n' ' ')
    expected=${expected//@LONG@/$long_options}
    expected=$(tr ' ' '\n' <<<"$expected" | sed '/^$/d' | sort | tr '\n' ' ')
    [ "$got" = "$expected" ] || fail "$where completion, $name: got [$got], expected [$expected]"
  done
}

# The candidates of a real zsh, its completion system loaded with the
# installed folder first on fpath.
zsh_words() {
  zsh -f "$source/tests/install/zsh_complete.zsh" "$zsh_dir" "$@"
}

# The candidates of a real fish with the installed folder first in its
# completion path. fish loads a command's completion only when the command
# exists, hence the installed bin/ on PATH; its own files go to the scratch
# folder.
fish_words() {
  local line="$*"
  [ -n "${*: -1}" ] || line="${*:1:$#-1} "
  PATH="$prefix/bin:$PATH" XDG_CONFIG_HOME=$scratch/fish-config XDG_DATA_HOME=$scratch/fish-data \
    fish -c 'set -p fish_complete_path $argv[1]; complete -C $argv[2]' "$fish_dir" "$line" | cut -f 1
}

case $mode in
  layout) check_layout ;;
  man) check_man ;;
  completion) check_completion ;;
  *) echo "unknown mode: $mode" >&2; exit 2 ;;
esac

if [ "$failures" != 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install $mode: all checks passed"
