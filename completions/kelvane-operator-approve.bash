# bash completion for kelvane-operator-approve                -*- shell-script -*-
#
# Every option that takes a value consumes the next word whatever it holds, so
# the words before the cursor are walked from the start: in
# `--title --detail-file <TAB>` the cursor is at an option, not at a path.

_kelvane_operator_approve() {
    local cur words cword
    if declare -F _get_comp_words_by_ref >/dev/null; then
        # Keep values such as sha256:ab12 or a=b in one word.
        _get_comp_words_by_ref -n =: cur words cword
    else
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
        cur=${COMP_WORDS[COMP_CWORD]}
    fi
    COMPREPLY=()

    local value_of="" i=1
    while ((i < cword)); do
        case ${words[i]} in
            --title | --detail | --detail-file | --action | --requester | \
                --source-host | --target-host | --operation-digest | \
                --context | --context-file | --timeout)
                if ((i + 1 == cword)); then
                    value_of=${words[i]}
                fi
                ((i += 2))
                ;;
            *) ((i += 1)) ;;
        esac
    done

    case $value_of in
        --detail-file | --context-file)
            if declare -F _filedir >/dev/null; then
                _filedir
            else
                compopt -o filenames 2>/dev/null
                local IFS=$'\n'
                COMPREPLY=($(compgen -f -- "$cur"))
            fi
            return 0
            ;;
        ?*)
            # Free text, JSON or a number: nothing sensible to offer.
            return 0
            ;;
    esac

    local options="--title --detail --detail-file --action --requester
        --source-host --target-host --operation-digest --context
        --context-file --timeout -h --help"
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
}
complete -F _kelvane_operator_approve kelvane-operator-approve

# ex: filetype=sh
