# bash completion for kelvane-operator-approvals              -*- shell-script -*-
#
# [--socket PATH] SUBCOMMAND [ARGS]. Request ids are offered from the
# daemon's list of waiting requests (the same socket), when it answers.

_kelvane_operator_approvals_ids() {
    local -a socket=()
    [[ -n $1 ]] && socket=(--socket "$1")
    kelvane-operator-approvals "${socket[@]}" list 2>/dev/null |
        awk 'NR > 1 && $1 ~ /^[0-9]+$/ { print $1 }'
}

# explain [--config FILE] [--uid N] [--run-as USER] [CLIENT OPTIONS]
#         [--sudo-command PATH ARGS...]: after --sudo-command, a command and
# then its arguments (files).
_kelvane_operator_approvals_explain() {
    local start=$1 j
    for ((j = start + 1; j < cword; j++)); do
        if [[ ${words[j]} == --sudo-command ]]; then
            if ((j + 1 == cword)); then
                COMPREPLY=($(compgen -c -- "$cur"))
            else
                compopt -o filenames 2>/dev/null
                COMPREPLY=($(compgen -f -- "$cur"))
            fi
            return
        fi
    done
    case $prev in
        --config | --detail-file | --context-file)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --run-as)
            COMPREPLY=($(compgen -u -- "$cur"))
            return
            ;;
        --uid | --title | --detail | --action | --requester | --source-host | --target-host | \
            --operation-digest | --context | --timeout)
            return
            ;;
    esac
    COMPREPLY=($(compgen -W "--config --uid --run-as --sudo-command --title --detail
        --detail-file --action --requester --source-host --target-host --operation-digest
        --context --context-file --timeout" -- "$cur"))
}

_kelvane_operator_approvals() {
    local cur prev words cword
    if declare -F _get_comp_words_by_ref >/dev/null; then
        _get_comp_words_by_ref -n =: cur prev words cword
    else
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
    fi
    COMPREPLY=()

    # Options before the subcommand, then the subcommand itself.
    local socket="" subcommand="" i=1
    while ((i < cword)); do
        case ${words[i]} in
            --socket)
                ((i + 1 < cword)) && socket=${words[i + 1]}
                ((i += 2))
                ;;
            --socket=*)
                socket=${words[i]#--socket=}
                ((i += 1))
                ;;
            *)
                subcommand=${words[i]}
                break
                ;;
        esac
    done

    if [[ -z $subcommand ]]; then
        if [[ $prev == --socket ]]; then
            if declare -F _filedir >/dev/null; then
                _filedir
            else
                compopt -o filenames 2>/dev/null
                local IFS=$'\n'
                COMPREPLY=($(compgen -f -- "$cur"))
            fi
            return 0
        fi
        COMPREPLY=($(compgen -W "list show approve deny watch status cancel history
            verify public-key rotate-key revoke explain --socket --help --version" -- "$cur"))
        return 0
    fi

    if [[ $subcommand == explain ]]; then
        _kelvane_operator_approvals_explain "$i"
        return 0
    fi

    case $prev in
        --reason | --since | --limit | --digest | --target-host | --min-approvers)
            # Free text, or an RFC 3339 time: nothing sensible to offer.
            return 0
            ;;
        --key)
            # The agent's keys, by fingerprint as ssh-add -l prints them.
            COMPREPLY=($(compgen -W "$(ssh-add -l 2>/dev/null | awk '{print $2}')" -- "$cur"))
            return 0
            ;;
        --public-key | --operators)
            compopt -o filenames 2>/dev/null
            local IFS=$'\n'
            COMPREPLY=($(compgen -f -- "$cur"))
            return 0
            ;;
    esac

    local has_id=""
    for ((j = i + 1; j < cword; j++)); do
        [[ ${words[j]} =~ ^[0-9]+$ && ${words[j - 1]} != --reason ]] && has_id=1
    done

    case $subcommand in
        list) COMPREPLY=($(compgen -W "--json" -- "$cur")) ;;
        history) COMPREPLY=($(compgen -W "--json --since --limit" -- "$cur")) ;;
        verify) COMPREPLY=($(compgen -W "--digest --target-host --public-key --operators --min-approvers -" -- "$cur")) ;;
        watch) COMPREPLY=($(compgen -W "--key" -- "$cur")) ;;
        public-key) COMPREPLY=($(compgen -W "--public-key" -- "$cur")) ;;
        show | cancel)
            [[ -z $has_id ]] && COMPREPLY=($(compgen -W "$(_kelvane_operator_approvals_ids "$socket")" -- "$cur"))
            ;;
        approve | deny)
            if [[ $cur == -* || -n $has_id ]]; then
                COMPREPLY=($(compgen -W "--reason --key" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "$(_kelvane_operator_approvals_ids "$socket") --reason --key" -- "$cur"))
            fi
            ;;
    esac
    return 0
}
complete -F _kelvane_operator_approvals kelvane-operator-approvals

# ex: filetype=sh
