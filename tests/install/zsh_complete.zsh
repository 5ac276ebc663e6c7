#!/usr/bin/env zsh
# zsh_complete.zsh FPATH_DIR WORD...
#
# Prints, one per line and sorted, the candidates that zsh's completion
# system offers for the last WORD of the command line WORD..., with
# FPATH_DIR searched first for completion functions. An empty last WORD is
# the cursor after a space. The completion runs in a real interactive zsh on
# a pseudo-terminal; every match that reaches compadd is recorded.
emulate -L zsh
zmodload zsh/zpty || exit 2
dir=$1; shift
work=$(mktemp -d) || exit 2
trap 'zpty -d koa 2>/dev/null; rm -rf -- $work' EXIT

zpty koa zsh -f -i
zpty -w koa "PS1=; PROMPT_EOL_MARK=; unsetopt zle_bracketed_paste 2>/dev/null"
zpty -w koa "fpath=(${(q)dir} \$fpath); autoload -Uz compinit; compinit -u -d ${(q)work}/dump"
# Calls with -O, -A or -D only gather candidates for the caller to sift;
# the others add matches, which go to the file as well.
zpty -w koa "compadd() {
  if (( \${@[(I)-[OAD]]} )); then builtin compadd \"\$@\"; return; fi
  local -a hits; builtin compadd -A hits \"\$@\"
  (( \$#hits )) && print -rl -- \$hits >>${(q)work}/hits
  builtin compadd \"\$@\"
}"
zpty -w koa "koa_done() { : >${(q)work}/done }; comppostfuncs=(koa_done)"

if [[ -z ${@[-1]} ]]; then
  line="${(j: :)${(q)@[1,-2]}} "
else
  line="${(j: :)${(q)@}}"
fi
zpty -w -n koa "$line"$'\t'

for i in {1..200}; do [[ -e $work/done ]] && break; sleep 0.05; done
[[ -e $work/done ]] || { print -u2 "zsh_complete: the completion did not finish"; exit 1 }
[[ -e $work/hits ]] && sort -u $work/hits
exit 0
