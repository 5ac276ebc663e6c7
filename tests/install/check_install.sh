#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and checks what a user gets:
# the layout, the manual pages and the shell completions.
#
#   check_install.sh MODE BUILD_DIR SOURCE_DIR EXPECT_DEMO [EXPECT_SUDO]
#
# MODE is layout, man or completion. EXPECT_DEMO is 1 when the demo service
# is part of this build, EXPECT_SUDO when the sudo plugin is. Exit status 77
# means skipped.
set -euo pipefail

mode=$1 build=$2 source=$3 expect_demo=$4 expect_sudo=${5:-0}
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
zsh_completion=$prefix/share/zsh/vendor-completions/_kelvane-operator-approve
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
    share/zsh/vendor-completions/_kelvane-operator-approve \
    share/doc/kelvane-operator-approve/README.md \
    share/doc/kelvane-operator-approve/protocol.md \
    share/doc/kelvane-operator-approve/LICENSE; do
    [ -f "$prefix/$f" ] || fail "not installed: $f"
  done
  [ -x "$client" ] || fail "client is not executable"

  local demo_files=(bin/kelvane-operator-approval-demo share/man/man1/kelvane-operator-approval-demo.1)
  for f in "${demo_files[@]}"; do
    if [ "$expect_demo" = 1 ]; then
      [ -f "$prefix/$f" ] || fail "not installed: $f"
    else
      [ ! -e "$prefix/$f" ] || fail "installed without the demo target: $f"
    fi
  done

  local sudo_files=(libexec/sudo/kelvane_approval.so share/man/man8/kelvane_approval.8
    share/doc/kelvane-operator-approval-sudo/sudo.md)
  for f in "${sudo_files[@]}"; do
    if [ "$expect_sudo" = 1 ]; then
      [ -f "$prefix/$f" ] || fail "not installed: $f"
    else
      [ ! -e "$prefix/$f" ] || fail "installed without the sudo plugin target: $f"
    fi
  done

  # Nothing outside the documented places (no headers, no static libraries).
  local extra
  extra=$(cd "$prefix" && find . -type f | sed 's|^\./||' |
    grep -v -E '^(bin/kelvane-operator-(approve|approval-demo)|share/man/man1/kelvane-operator-(approve|approval-demo)\.1|share/bash-completion/completions/kelvane-operator-approve|share/zsh/vendor-completions/_kelvane-operator-approve|share/doc/kelvane-operator-approve/(README\.md|protocol\.md|LICENSE))$' |
    grep -v -E '^(libexec/sudo/kelvane_approval\.so|share/man/man8/kelvane_approval\.8|share/doc/kelvane-operator-approval-sudo/sudo\.md)$' || true)
  [ -z "$extra" ] || fail "unexpected files installed: $extra"

  # The installed binary runs from its new place: --help is status 2 with
  # the usage text on standard error and nothing on standard output.
  local status=0
  "$client" --help >"$scratch/out" 2>"$scratch/err" || status=$?
  [ "$status" = 2 ] || fail "--help exited with $status, expected 2"
  [ ! -s "$scratch/out" ] || fail "--help wrote to standard output"
  head -n 1 "$scratch/err" | grep -q '^usage: kelvane-operator-approve --title T ' ||
    fail "--help did not write the usage text: $(cat "$scratch/err")"
}

check_man() {
  local page pages=("$man_dir/kelvane-operator-approve.1" "$source/docs/man/kelvane-operator-approval-demo.1")
  [ "$expect_sudo" = 1 ] && pages+=("$prefix/share/man/man8/kelvane_approval.8")
  # The pages carry the version being installed.
  for page in "${pages[@]}"; do
    grep -q "^\.TH .* \"kelvane\\\\-operator\\\\-approve ${KOA_VERSION:-?}\"" "$page" ||
      fail "$(basename "$page") does not name version ${KOA_VERSION:-?} in its .TH line"
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
  cd - >/dev/null

  # The zsh completion names exactly the program's options.
  local offered
  offered=$({ grep -oE -- '--[a-z][a-z-]*\[' "$zsh_completion" | tr -d '['
    grep -q -- '{-h,--help}' "$zsh_completion" && printf '%s\n' -h --help; } | sort -u)
  [ "$offered" = "$(program_options)" ] ||
    fail "options in the zsh completion [$(echo $offered)] differ from the program's [$(echo $(program_options))]"
  if command -v zsh >/dev/null; then
    zsh -n "$zsh_completion" || fail "zsh completion does not parse"
  else
    echo "zsh not found: syntax check of the zsh completion skipped"
  fi
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
