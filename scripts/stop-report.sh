# Sourced by the set-up's scripts (build.sh, test.sh, signing/): under set -e
# a failed command ends the script, and one inside an assignment such as
# x=$(missing | sed ...) ends it without a word. Run first in the EXIT trap,
# stop_report names that command; a script's own exit (its die) said why itself.
# Usage: trap 'stop_report NAME' EXIT   (the script's exit status stays its own)
# shellcheck shell=bash
stop_report() {
    local rc=$?
    if [ $rc -ne 0 ] && [[ $BASH_COMMAND != exit* ]]; then
        echo "$1: stopped (exit $rc) at: $BASH_COMMAND" >&2
    fi
    return 0  # under set -e, a failure here would skip the rest of the trap
}
