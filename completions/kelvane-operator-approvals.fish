# fish completion for kelvane-operator-approvals: [--socket PATH] SUBCOMMAND
# [ARGS]. Request ids are offered from the daemon's list of waiting
# requests, when it answers.

set -l __koa_subcommands list show approve deny watch status cancel history verify public-key rotate-key revoke explain

# The --socket given before the subcommand, if any.
function __kelvane_operator_approvals_socket
    set -l words (commandline -opc)
    set -l i 2
    while test $i -le (count $words)
        switch $words[$i]
            case --socket
                set i (math $i + 1)
                test $i -le (count $words); and echo $words[$i]
                set i (math $i + 1)
            case '--socket=*'
                string replace -- --socket= '' $words[$i]
                set i (math $i + 1)
            case '*'
                return
        end
    end
end

function __kelvane_operator_approvals_ids
    set -l socket (__kelvane_operator_approvals_socket)
    set -l args
    test -n "$socket"; and set args --socket $socket
    kelvane-operator-approvals $args list 2>/dev/null | awk 'NR > 1 && $1 ~ /^[0-9]+$/ { print $1 }'
end

complete -c kelvane-operator-approvals -f
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" \
    -l socket -r -F -d 'the daemon'"'"'s operator socket'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -l help -d 'show the usage'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -l version -d 'show the version'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a list -d 'the requests waiting for a decision'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a show -d 'one request, whole'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a approve -d 'vote for a request'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a deny -d 'vote against a request'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a watch -d 'answer requests as they arrive'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a status -d 'the daemon'"'"'s state'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a cancel -d 'withdraw a request of your own'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a history -d 'the record'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a verify -d 'check an approval token'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a public-key -d 'the published public keys'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a rotate-key -d 'a new signing key (root)'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a revoke -d 'revoke an approved request'"'"'s token'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from verify" -l digest -x -d 'the operation digest it must name'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from verify" -l target-host -x -d 'the host it must name'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from verify public-key" -l public-key -r -F -d 'the published keys'"'"' file'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from verify" -l operators -r -F -d 'your allowed-signers file the votes must prove'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from verify" -l min-approvers -x -d 'distinct people who must have approved'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from approve deny watch" -l key -x \
    -a '(ssh-add -l 2>/dev/null | string split -f2 " ")' -d 'the agent'"'"'s key to sign votes with'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from list history" -l json -d 'JSON array'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from history" -l since -x -d 'RFC 3339 time'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from history" -l limit -x -d 'only the newest N requests'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from approve deny" -l reason -x -d 'why'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from show cancel approve deny" \
    -a '(__kelvane_operator_approvals_ids)' -d 'waiting request'
complete -c kelvane-operator-approvals -n "not __fish_seen_subcommand_from $__koa_subcommands" -a explain -d 'which policy rule decides a request, and why'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from explain; and not __fish_seen_argument -l sudo-command" \
    -l config -r -F -d 'the configuration file'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from explain; and not __fish_seen_argument -l sudo-command" \
    -l uid -x -d 'the requester'"'"'s uid'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from explain; and not __fish_seen_argument -l sudo-command" \
    -l run-as -x -a '(__fish_complete_users)' -d 'sudo'"'"'s run-as user'
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from explain; and not __fish_seen_argument -l sudo-command" \
    -l sudo-command -r -F -d 'a request from sudo running PATH ARGS...'
for option in title detail action requester source-host target-host operation-digest context timeout
    complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from explain; and not __fish_seen_argument -l sudo-command" \
        -l $option -x -d 'as kelvane-operator-approve takes it'
end
for option in detail-file context-file
    complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from explain; and not __fish_seen_argument -l sudo-command" \
        -l $option -r -F -d 'as kelvane-operator-approve takes it'
end
complete -c kelvane-operator-approvals -n "__fish_seen_subcommand_from explain; and __fish_seen_argument -l sudo-command" -F
