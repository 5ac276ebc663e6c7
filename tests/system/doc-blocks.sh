#!/usr/bin/env bash
# The documentation's shell blocks, run by the system test as written.
#
#   doc-blocks.sh extract SOURCE_TREE DEST
#       writes each ```sh block of the documents below to DEST/NAME#N (N
#       counts the document's sh blocks from 1, NAME is the file's name),
#       without the block's indentation.
#
# Sourced by journey.sh for doc_block (run one block, as root or as a user,
# with the substitutions below), and doc_blocks_report (every block run or
# skipped with a reason; the skipped ones printed with their count).
# The journey and the list of skips name a block by its document and a
# piece of its text that no other block of the document has, so that a
# block added to a document moves no other; the new block itself fails the
# report until the journey runs it or the list below gives a reason.

doc_block_files=(docs/service.md docs/sudo.md docs/tokens.md docs/fleet.md README.md)

# What stands for a value only the running system knows, in every block:
# the text in the documentation, then what replaces it (expanded by the
# shell when the block runs, so it may name the journey's variables).
doc_substitutions=(
  './kelvane-operator-approve_0.1.0_amd64.deb' '/root/debs/kelvane-operator-approve_*.deb'
  './kelvane-operator-approval-service_0.1.0_amd64.deb' '/root/debs/kelvane-operator-approval-service_*.deb'
  './kelvane-operator-approval-sudo_0.1.0_amd64.deb' '/root/debs/kelvane-operator-approval-sudo_*.deb'
  'show 357696971038785538' 'show $DOC_PENDING_ID'
  'approve 357696971038785538' 'approve $DOC_PENDING_ID'
  'deny 357696971038785539' 'deny $DOC_OTHER_PENDING_ID'
  'revoke 357696971038785538' 'revoke $DOC_APPROVED_ID'
  '"$TOKEN"' '"$DOC_TOKEN"'
  '"$DIGEST"' '"$DOC_DIGEST"'
  './service.toml' '/root/service.toml'
  '< request.json' '< /root/request.json'
  '--since 2026-12-01T00:00:00Z' '--since $DOC_SINCE'
  '/root/approvals-2026-12-08.sqlite3' '$DOC_BACKUP'
)

# The blocks not run: the document, a piece of the block's text, the reason.
doc_skips=(
  service.md 'approvals watch' "the console waits for keys; the journey votes with approve and deny instead"
  service.md '--key SHA256' "needs an operator's key in an SSH agent; the signed-vote tests sign with real ssh-agent keys"
  sudo.md 'nettle-dev' "builds the plugin from source: the packages are installed instead"
  sudo.md 'sudo.real' "the source tree's tests: CI runs them before the packages are built"
  tokens.md 'rsync' "copies from another host; the journey verifies on this host's published files"
  tokens.md '--min-approvers 2' "needs a koa2 token, whose votes operators sign in an SSH agent; the token and daemon tests prove koa2 tokens made of real ssh-agent and ssh-keygen signatures"
  README.md 'tools/demo.sh' "builds from source: CI runs the same commands before this test"
  README.md 'approval-demo --socket' "the demo service from a source build, in a terminal"
  README.md 'cmake --install' "builds and installs from source: CI builds the packages this test installs"
  README.md '=cmake --workflow --preset package' "builds the packages: CI ran it to make what this test installs"
)

doc_blocks_extract() {  # SOURCE_TREE DEST
  local tree=$1 dest=$2 file
  mkdir -p "$dest"
  for file in "${doc_block_files[@]}"; do
    awk -v dest="$dest" -v name="$(basename "$file")" '
      !inside && /^[ \t]*```sh[ \t]*$/ {
        inside = 1; n++; indent = match($0, /[^ \t]/) - 1
        out = dest "/" name "#" n; printf "" > out; next
      }
      inside && /^[ \t]*```[ \t]*$/ { inside = 0; close(out); next }
      inside { print substr($0, indent + 1) >> out }
    ' "$tree/$file"
  done
}

# Which blocks ran: a file each, so that a block run in the background counts.
doc_ran=/root/system-test/ran

# The one block of DOCUMENT whose text has TEXT (=TEXT: is TEXT, whole):
# its name (DOCUMENT#N).
doc_block_find() {  # DOCUMENT TEXT
  local file text found=()
  for file in /root/system-test/blocks/"$1"#*; do
    text=$(cat "$file")
    if [[ $2 == =* ]]; then
      [ "$text" = "${2#=}" ] && found+=("$(basename "$file")")
    else
      [[ $text == *"$2"* ]] && found+=("$(basename "$file")")
    fi
  done
  [ ${#found[@]} = 1 ] ||
    fail "${#found[@]} blocks of $1 say '$2' (${found[*]}): name one by a text only it has"
  printf '%s\n' "${found[0]}"
}

# The names of the skipped blocks, with their reasons: NAME<tab>REASON.
doc_skipped() {
  local i name
  for ((i = 0; i < ${#doc_skips[@]}; i += 3)); do
    name=$(doc_block_find "${doc_skips[i]}" "${doc_skips[i + 1]}") || exit 1
    printf '%s\t%s\n' "$name" "${doc_skips[i + 2]}"
  done
}

# A block's text with the substitutions made.
doc_block_text() {  # DOCUMENT TEXT
  local name text from to i skips
  name=$(doc_block_find "$1" "$2") || exit 1
  skips=$(doc_skipped) || exit 1
  ! cut -f1 <<<"$skips" | grep -qxF "$name" || fail "block $name is run, but listed as skipped"
  text=$(cat "/root/system-test/blocks/$name")
  for ((i = 0; i < ${#doc_substitutions[@]}; i += 2)); do
    from=${doc_substitutions[i]}
    to=${doc_substitutions[i + 1]}
    text=${text//"$from"/$to}
  done
  mkdir -p "$doc_ran"
  touch "$doc_ran/$name"
  printf '%s\t%s\n' "$name" "$text"
}

# The block as a script of its own, which runs the journey's DOC_ values.
doc_block_script() {  # NAME TEXT
  local script=/tmp/doc-block-${1//[^a-zA-Z0-9]/-}.sh
  {
    printf 'set -e -o pipefail\n'
    export -p | grep ' DOC_' || true
    printf '%s\n' "$2"
  } >"$script"
  chmod 0644 "$script"
  printf '%s\n' "$script"
}

# Runs one block: as root, or as USER through a login shell. A block written
# as a transcript ("$ " before each command) has its output compared with
# the lines that follow each command.
doc_block() {  # DOCUMENT TEXT [USER]
  doc_block_on "" "$@"
}

# The same on MACHINE, another machine of the system test (journey.sh's
# `on`), or here when MACHINE is "". doc_input, when set, is what the block
# reads on its standard input (a password it asks for), once.
doc_block_on() {  # MACHINE DOCUMENT TEXT [USER]
  local machine=$1 name user=${4:-} text script run status=0 input=${doc_input-}
  local has_input=${doc_input+yes}
  unset doc_input
  text=$(doc_block_text "$2" "$3") || exit 1
  name=${text%%$'\t'*}
  text=${text#*$'\t'}
  printf '  doc %s%s%s:\n' "$name" "${user:+ (as $user)}" "${machine:+ on $machine}"
  sed 's/^/    | /' <<<"$text"
  if grep -q '^\$ ' <<<"$text"; then
    [ -z "$machine" ] || fail "block $name: transcripts run only here"
    doc_transcript "$name" "$text"
    return
  fi
  script=$(doc_block_script "$name" "$text")
  if [ -n "$machine" ]; then
    run=$(cat "$script")
    [ -z "$user" ] || run="su - $user -c $(printf '%q' "bash -c $(printf '%q' "$run")")"
    on "$machine" "$run" "$input" >"$script.out" 2>&1 || status=$?
  elif [ -n "$has_input" ] && [ -n "$user" ]; then
    su - "$user" -c "bash $script" >"$script.out" 2>&1 < <(printf '%s' "$input") || status=$?
  elif [ -n "$has_input" ]; then
    bash "$script" >"$script.out" 2>&1 < <(printf '%s' "$input") || status=$?
  elif [ -n "$user" ]; then
    su - "$user" -c "bash $script" >"$script.out" 2>&1 || status=$?
  else
    bash "$script" >"$script.out" 2>&1 || status=$?
  fi
  head -n 40 "$script.out" | sed 's/^/    > /'
  [ "$status" = 0 ] || fail "documentation block $name exits $status"
}

# Starts a block that runs until it is stopped (a service in the
# foreground), and waits until its output has PATTERN.
doc_block_background() {  # DOCUMENT TEXT PATTERN
  local name text script
  text=$(doc_block_text "$1" "$2") || exit 1
  name=${text%%$'\t'*}
  text=${text#*$'\t'}
  printf '  doc %s, in the background until it says "%s":\n' "$name" "$3"
  sed 's/^/    | /' <<<"$text"
  script=$(doc_block_script "$name" "$text")
  setsid bash "$script" >"$script.out" 2>&1 </dev/null &
  doc_background_pid=$!
  for _ in $(seq 300); do
    grep -q -- "$3" "$script.out" && break
    kill -0 "$doc_background_pid" 2>/dev/null || fail "block $name ended: $(cat "$script.out")"
    sleep 0.1
  done
  grep -q -- "$3" "$script.out" || fail "block $name never said '$3': $(cat "$script.out")"
  head -n 10 "$script.out" | sed 's/^/    > /'
}

# Stops the block started last with doc_block_background (its whole
# process group, as Ctrl-C in its terminal would).
doc_block_stop() {
  kill -TERM -- "-$doc_background_pid" 2>/dev/null || true
  wait "$doc_background_pid" 2>/dev/null || true
}

doc_transcript() {  # NAME TEXT
  local name=$1 command="" expected="" line
  check() {
    [ -n "$command" ] || return 0
    local got
    got=$(bash -c "$command" 2>&1) || fail "documentation block $name: '$command' fails"
    [ "$got" = "$expected" ] || fail "documentation block $name: '$command' gives [$got], the page says [$expected]"
  }
  while IFS= read -r line; do
    if [[ $line == '$ '* ]]; then
      check
      command=${line#'$ '}
      expected=""
    else
      expected+=${expected:+$'\n'}$line
    fi
  done <<<"$2"
  check
}

# Every block is run or skipped, and the skipped ones are shown.
doc_blocks_report() {
  local file name ran=0 skipped=0 skips
  skips=$(doc_skipped) || exit 1
  for file in /root/system-test/blocks/*; do
    name=$(basename "$file")
    if [ -e "$doc_ran/$name" ]; then
      ran=$((ran + 1))
    elif cut -f1 <<<"$skips" | grep -qxF "$name"; then
      skipped=$((skipped + 1))
    else
      fail "documentation block $name is neither run nor skipped: $(head -n 1 "$file")"
    fi
  done
  echo "documentation blocks: $ran run, $skipped skipped:"
  sort <<<"$skips" | while IFS=$'\t' read -r name reason; do
    printf '  skipped %s: %s\n' "$name" "$reason"
  done
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  [ "${1:-}" = extract ] && [ $# = 3 ] || { echo "usage: $0 extract SOURCE_TREE DEST" >&2; exit 2; }
  doc_blocks_extract "$2" "$3"
fi
