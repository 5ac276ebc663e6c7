# Login shells reach the approval service at its root-owned socket in /run,
# not at $XDG_RUNTIME_DIR/kelvane-operator-approval.sock, where nothing
# listens: only root can create a file in /run, so whoever answers there is
# root. A value set already is kept.
if [ -z "${KELVANE_OPERATOR_APPROVAL_SOCK:-}" ]; then
    KELVANE_OPERATOR_APPROVAL_SOCK=/run/kelvane-operator-approval.sock
    export KELVANE_OPERATOR_APPROVAL_SOCK
fi
