# SPDX-License-Identifier: MIT
# What every script does the same way (sourced): its --help, and the cleanup of what it started.
#
# script_help: prints the script's header comment, from line 3 (after the shebang and the
#   licence line) to the first line that is not a comment, without the comment marks.
# cleanup_on_exit DIR [FUNCTION]: however the script ends (Ctrl+C and SIGTERM too, with the
#   statuses 130 and 143), stops every process whose id is in the array `pids`, waits for them,
#   calls FUNCTION when one is named, and removes DIR.
script_help() {
    awk 'NR > 2 { if (!/^#/) exit; sub(/^# ?/, ""); print }' "$0"
}

pids=()
cleanup_on_exit() {
    _cleanup_dir=$1
    _cleanup_function=${2:-}
    trap _cleanup_now EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

_cleanup_now() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    [ -z "$_cleanup_function" ] || "$_cleanup_function"
    rm -rf "$_cleanup_dir"
}
