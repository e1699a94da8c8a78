#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real packwarden under Xvfb with a PACKWARDEN_SERVER it cannot use (a pasted value ending in
# CR LF): the problem is on stderr with the value escaped, a message box says it, and once it is
# dismissed the program ends with status 2, the main window never shown.
#
# usage: bad_server_override_under_xvfb.sh PACKWARDEN
set -euo pipefail
packwarden=$1
. "$(cd "$(dirname "$0")" && pwd)/lib.sh"

e2e_begin
start_xvfb
export QT_QPA_PLATFORM=xcb WINEPREFIX="$work/no-prefix" PACKWARDEN_SERVER=$'127.0.0.1:8080\r\n'
"$packwarden" > "$work/packwarden.log" 2>&1 &
app=$!
pids+=("$app")

expected='packwarden: PACKWARDEN_SERVER="127.0.0.1:8080\r\n" cannot be used: it holds a blank, a line break or another control character.'
for _ in $(seq 100); do grep -qF "$expected" "$work/packwarden.log" && break; sleep 0.1; done
grep -qF "$expected" "$work/packwarden.log" || fail "no escaped problem on stderr"
wid=$(find_window 20) || fail "no message box"
# The box is the only window: the main one is never built.
[ "$(xdotool search --onlyvisible --name '^Torvane Packwarden$' | wc -l)" -eq 1 ] ||
    fail "more than the message box is shown"
[ "$(xdotool getwindowgeometry "$wid" | sed -n 's/.*Geometry: //p')" != "400x391" ] ||
    fail "the main window is shown instead of the message"
xdotool windowfocus --sync "$wid" 2>/dev/null || xdotool windowfocus "$wid"
sleep 0.3
xdotool key --clearmodifiers Return

wait_for_end "$app" 100
[ -n "$status" ] || fail "packwarden did not end within 10 s of dismissing the message"
[ "$status" -eq 2 ] || fail "packwarden exited with status $status, not 2"
echo "PASS: the unusable override was shown and the program ended with status 2"
