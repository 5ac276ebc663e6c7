# fish completion for kelvane-operator-approve.
#
# Every option that takes a value consumes the next word whatever it holds:
# in `--title --context-file <TAB>` the word --context-file is the title and
# the cursor is where an option goes. fish's own option parsing would take
# --context-file for the option, so the options are declared without
# arguments and the words before the cursor are walked here instead. File
# names are offered only after --detail-file and --context-file.

# With no argument: true when the cursor is where an option goes. With
# option names: true when the cursor is at the value of one of them.
function __kelvane_operator_approve_value_of
    set -l words (commandline -opc)
    set -l value_of
    set -l i 2
    while test $i -le (count $words)
        switch $words[$i]
            case --title --detail --detail-file --action --requester \
                --source-host --target-host --operation-digest --context \
                --context-file --timeout
                test $i -eq (count $words); and set value_of $words[$i]
                set i (math $i + 2)
            case '*'
                set i (math $i + 1)
        end
    end
    if set -q argv[1]
        contains -- "$value_of" $argv
    else
        test -z "$value_of"
    end
end

set -l command kelvane-operator-approve
set -l at_option '__kelvane_operator_approve_value_of'
complete -c $command -f
complete -c $command -n $at_option -l title -d 'Short title of the operation (required)'
complete -c $command -n $at_option -l detail -d 'What will be done (required unless --detail-file)'
complete -c $command -n $at_option -l detail-file -d 'Read the detail from a file'
complete -c $command -n $at_option -l action -d 'Kind of operation (default admin_operation)'
complete -c $command -n $at_option -l requester -d 'Who asks (default cli)'
complete -c $command -n $at_option -l source-host -d 'Where the request comes from (default $HOSTNAME)'
complete -c $command -n $at_option -l target-host -d 'Host the operation acts on (required)'
complete -c $command -n $at_option -l operation-digest -d 'Digest of the exact operation'
complete -c $command -n $at_option -l context -d 'JSON context'
complete -c $command -n $at_option -l context-file -d 'Read the JSON context from a file'
complete -c $command -n $at_option -l timeout -d 'Seconds the service may take'
complete -c $command -n $at_option -s h -l help -d 'Show the usage text (exit status 2)'
complete -c $command -n '__kelvane_operator_approve_value_of --detail-file --context-file' -F
