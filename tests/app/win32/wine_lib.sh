# SPDX-License-Identifier: MIT
# Shared by the Windows program's runs under Wine (after tests/e2e/lib.sh): a private Wine
# prefix in the work folder, served by its own wineserver, stopped at exit.
#
# wine_begin: e2e_begin, a private Xvfb, a fresh prefix ($WINEPREFIX) ready for programs.
# start_packwarden EXE: starts it under Wine (output in $work/packwarden.log), sets $app, and
#   waits up to 60 s for its window, then starts it once more (see below); sets $wid.
# press_alt_l: focuses the window and presses Alt+L through the X server.
# probe ARGS...: runs the probe in the prefix.
wine_begin() {
    e2e_begin
    trap wine_cleanup EXIT
    start_xvfb
    export WINEPREFIX="$work/prefix"
    . "$here/../../../scripts/lib/wine-env.sh"
    # The prefix is made with nothing of ours inherited: wineserver outlives this command.
    wine wineboot --init < /dev/null > "$work/wineboot.log" 2>&1 || fail "wineboot failed"
    wineserver -w
}

wine_cleanup() {
    WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
    WINEPREFIX="$work/prefix" wineserver -w 2>/dev/null || true
    e2e_cleanup
}

start_packwarden() {
    wine "$1" < /dev/null > "$work/packwarden.log" 2>&1 &
    app=$!
    pids+=("$app")
    wid=$(find_window 60) && return 0
    # Wine, under a full test run's load, has been seen to lose a first start in a fresh prefix
    # without a word; a second start tells that apart from a program that never shows its window.
    echo "packwarden: no window after 60 s; starting it once more" >> "$work/wineboot.log"
    kill "$app" 2>/dev/null || true
    wine "$1" < /dev/null >> "$work/packwarden.log" 2>&1 &
    app=$!
    pids+=("$app")
    wid=$(find_window 60) || fail "the window did not appear"
}

press_alt_l() {
    press_alt_l_on "$wid"
}

probe() {
    # A Windows program's standard output ends its lines with CR LF.
    wine "$PROBE" "$@" < /dev/null 2>> "$work/probe.log" | tr -d '\r'
}

# expect_message TEXT SECONDS: the next message box reads TEXT (its first line), with the
# critical-stop icon, owned by the window; it is then dismissed.
expect_message() {
    local text=$1 seconds=$2 out
    out=$(probe message "$seconds") || fail "no message box (expected \"$text\")"
    grep -qxF "text $text" <<< "$(sed 's/|.*//' <<< "$out")" || fail "message: $out (expected \"$text\")"
    # Windows shows the shared critical-stop icon; Wine a copy that cannot be compared from
    # another process, so there only its presence is checked.
    grep -qE '^icon (hand|present)$' <<< "$out" || fail "message \"$text\" without its icon: $out"
    grep -qx 'owner form' <<< "$out" || fail "message \"$text\" not owned by the window"
    last_message=$out
}
