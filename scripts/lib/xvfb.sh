# SPDX-License-Identifier: MIT
# The window without a display of one's own (sourced by scripts/run, scripts/screenshot and the
# whole-program tests): a private X server, a stand-in browser, and the window found and driven
# through the X server.
#
# xvfb_start DIR [SCREEN]: starts Xvfb (no network listener; its log in DIR/xvfb.log), exports
#   DISPLAY and sets XVFB_PID. Fails when it has not come up within 10 s.
# opener_install DIR: a stand-in xdg-open, first on PATH and named by $BROWSER, that notes each
#   address it is asked to open in DIR/opened.
# find_window SECONDS: prints the id of the visible "Torvane Packwarden" window; fails when none
#   appears within SECONDS.
# press_alt_l_on WID: focuses the window and presses Alt+L through the X server.
# wait_for_end PID TENTHS: waits up to TENTHS tenths of a second for PID to end; sets $status
#   to its exit status, or to "" while it still runs.
xvfb_start() {
    local dir=$1 screen=${2:-1024x768x24}
    exec 3> "$dir/display"
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp > "$dir/xvfb.log" 2>&1 &
    XVFB_PID=$!
    exec 3>&-
    for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
    [ -s "$dir/display" ] || return 1
    export DISPLAY=":$(head -n1 "$dir/display")"
}

opener_install() {
    local dir=$1
    mkdir -p "$dir/bin"
    printf '#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s/opened"\n' "$dir" > "$dir/bin/xdg-open"
    chmod +x "$dir/bin/xdg-open"
    export PATH="$dir/bin:$PATH" BROWSER="$dir/bin/xdg-open"
}

find_window() {
    local wid
    wid=$(timeout "$1" xdotool search --sync --onlyvisible --name '^Torvane Packwarden$' |
        head -n1) || true
    [ -n "$wid" ] && echo "$wid"
}

press_alt_l_on() {
    xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
    sleep 0.3
    xdotool key --clearmodifiers alt+l
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
