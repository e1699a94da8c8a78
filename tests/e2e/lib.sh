# SPDX-License-Identifier: MIT
# Shared by the whole-program runs: a work folder cleaned up at exit, a private X server, a
# stand-in URL opener that records what it is asked to open, and packwarden started with Alt+L
# pressed in its window.
#
# e2e_begin: creates $work, traps cleanup; `pids+=(...)` registers processes to stop.
# fail MESSAGE: prints the logs of $work and exits 1.
# start_xvfb: exports DISPLAY of a new Xvfb (no network listener).
# install_opener: puts an xdg-open on PATH (and $BROWSER) writing to $work/opened.
# press_launch PACKWARDEN: starts it, presses Alt+L, waits up to 20 s for it to end; sets
#   $status to its exit status.
# expect_session_opened PORT TENTHS: waits up to TENTHS tenths of a second for the opener to be
#   asked for an address; fails unless it is a session page of the server on 127.0.0.1:PORT.
#   Sets $url.
# wait_for_end PID TENTHS: waits up to TENTHS tenths of a second for PID to end; sets $status
#   to its exit status, or to "" while it still runs.
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
    exec 3> "$work/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
    pids+=($!)
    exec 3>&-
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    [ -s "$work/display" ] || fail "Xvfb did not start"
    export DISPLAY=":$(head -n1 "$work/display")"
}

install_opener() {
    mkdir -p "$work/bin"
    cat > "$work/bin/xdg-open" <<OPENER
#!/bin/sh
printf '%s\n' "\$1" >> "$work/opened"
OPENER
    chmod +x "$work/bin/xdg-open"
    export PATH="$work/bin:$PATH" BROWSER="$work/bin/xdg-open"
    unset XDG_CURRENT_DESKTOP KDE_FULL_SESSION GNOME_DESKTOP_SESSION_ID DESKTOP_SESSION
}

press_launch() {
    local packwarden=$1 app wid
    export QT_QPA_PLATFORM=xcb
    "$packwarden" > "$work/packwarden.log" 2>&1 &
    app=$!
    pids+=("$app")
    wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Torvane Packwarden$' | head -n1) ||
        fail "the window did not appear"
    xdotool windowfocus --sync "$wid" 2>/dev/null || xdotool windowfocus "$wid"
    sleep 0.3
    xdotool key --clearmodifiers alt+l
    wait_for_end "$app" 200
    [ -n "$status" ] || fail "packwarden did not end within 20 s of the press"
}

wait_for_end() {
    local pid=$1 tenths=$2
    status=""
    for _ in $(seq "$tenths"); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid" && status=0 || status=$?
            return
        fi
        sleep 0.1
    done
}

expect_session_opened() {
    local port=$1 tenths=$2
    for _ in $(seq "$tenths"); do [ -s "$work/opened" ] && break; sleep 0.1; done
    [ -s "$work/opened" ] || fail "the browser was not asked to open anything"
    url=$(head -n1 "$work/opened")
    case "$url" in
        "http://127.0.0.1:$port/crewdock/sync.php?session="*"&version=2") ;;
        *) fail "the browser was asked to open \"$url\"" ;;
    esac
}
