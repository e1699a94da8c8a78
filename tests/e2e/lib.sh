# SPDX-License-Identifier: MIT
# Shared by the whole-program runs: a work folder cleaned up at exit, a private X server, a
# stand-in URL opener that records what it is asked to open, and packwarden started with Alt+L
# pressed in its window (on scripts/lib/xvfb.sh, which also gives find_window, press_alt_l_on
# and wait_for_end).
#
# e2e_begin: creates $work, traps cleanup; `pids+=(...)` registers processes to stop.
# fail MESSAGE: prints the logs of $work and exits 1.
# start_xvfb: exports DISPLAY of a new Xvfb (no network listener).
# install_opener: puts an xdg-open on PATH (and $BROWSER) writing to $work/opened.
# start_and_press PACKWARDEN: starts it (log in $work/packwarden.log) and presses Alt+L in its
#   window; sets $app to its process and $wid to its window.
# press_launch PACKWARDEN: starts it, presses Alt+L, waits up to 20 s for it to end; sets
#   $status to its exit status.
# start_crewdock_bound BIN CATALOG LOG ADDRESS [OPTION...]: as start_crewdock
#   (scripts/lib/demo.sh), on a free port of ADDRESS (--bind), with the options after it (say,
#   --tls-cert and --tls-key); sets CREWDOCK_PID and CREWDOCK_PORT.
# expect_session_opened PORT TENTHS [HOST [SCHEME]]: waits up to TENTHS tenths of a second for
#   the opener to be asked for an address; fails unless it is a session page of the server on
#   HOST:PORT (HOST as an address writes it, 127.0.0.1 unless given) by SCHEME (http unless
#   given). Sets $url.
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/xvfb.sh"

e2e_begin() {
    work=$(mktemp -d)
    pids=()
    trap e2e_cleanup EXIT
}

e2e_cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}

fail() {
    echo "FAIL: $*" >&2
    for f in "$work"/*.log; do [ -e "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }; done
    exit 1
}

start_xvfb() {
    xvfb_start "$work" || { pids+=("$XVFB_PID"); fail "Xvfb did not start"; }
    pids+=("$XVFB_PID")
}

install_opener() {
    opener_install "$work"
    unset XDG_CURRENT_DESKTOP KDE_FULL_SESSION GNOME_DESKTOP_SESSION_ID DESKTOP_SESSION
}

start_and_press() {
    export QT_QPA_PLATFORM=xcb
    "$1" > "$work/packwarden.log" 2>&1 &
    app=$!
    pids+=("$app")
    wid=$(find_window 20) || fail "the window did not appear"
    press_alt_l_on "$wid"
}

press_launch() {
    start_and_press "$1"
    wait_for_end "$app" 200
    [ -n "$status" ] || fail "packwarden did not end within 20 s of the press"
}

start_crewdock_bound() {
    local bin=$1 catalog=$2 log=$3 address=$4 line
    shift 4
    "$bin" --bind "$address" --port 0 --catalog "$catalog" "$@" > "$log" 2>&1 &
    CREWDOCK_PID=$!
    for _ in $(seq 100); do
        line=$(head -n1 "$log")
        case "$line" in
            "crewdock-dev listening on http://"*:*/ | "crewdock-dev listening on https://"*:*/)
                CREWDOCK_PORT=${line##*:}
                CREWDOCK_PORT=${CREWDOCK_PORT%/}
                return 0 ;;
        esac
        kill -0 "$CREWDOCK_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "crewdock-dev did not start:" >&2
    cat "$log" >&2
    return 1
}

expect_session_opened() {
    local port=$1 tenths=$2 host=${3:-127.0.0.1} scheme=${4:-http}
    for _ in $(seq "$tenths"); do [ -s "$work/opened" ] && break; sleep 0.1; done
    [ -s "$work/opened" ] || fail "the browser was not asked to open anything"
    url=$(head -n1 "$work/opened")
    case "$url" in
        "$scheme://$host:$port/crewdock/sync.php?session="*"&version=2") ;;
        *) fail "the browser was asked to open \"$url\"" ;;
    esac
}
