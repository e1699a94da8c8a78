# What the whole-program runs share; sourced. It makes the run's work folder ($work), ends the
# processes listed in pids and removes the folder at exit, and defines fail, which shows every
# *.log of the folder.
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.log; do echo "--- $f" >&2; cat "$f" >&2; done; exit 1; }

# start_xvfb DIR: a private X server on the first free display number; exports DISPLAY.
start_xvfb() {
    local dir=$1
    exec 3> "$dir/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp > "$dir/xvfb.log" 2>&1 &
    pids+=($!)
    exec 3>&-
    for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
    [ -s "$dir/display" ] || fail "Xvfb did not start"
    export DISPLAY=":$(head -n1 "$dir/display")"
}

# wait_for_exit PID TENTHS: sets EXIT_STATUS to the process's status once it has ended, or to ""
# when it is still running after TENTHS tenths of a second.
wait_for_exit() {
    local pid=$1 tenths=$2
    EXIT_STATUS=""
    for _ in $(seq "$tenths"); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid" && EXIT_STATUS=0 || EXIT_STATUS=$?
            return
        fi
        sleep 0.1
    done
}
