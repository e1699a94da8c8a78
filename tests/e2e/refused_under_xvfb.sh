#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real packwarden under Xvfb against a port that refuses: within a second of Alt+L the
# reason is on standard error, naming the server, and the message box is up beside the window
# (no 5 s wait); the program keeps running for the player to try again.
#
# usage: refused_under_xvfb.sh PACKWARDEN
set -euo pipefail
packwarden=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/demo.sh"
. "$here/lib.sh"

e2e_begin
make_demo "$work/demo"
start_xvfb
install_opener
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export QT_QPA_PLATFORM=xcb WINEPREFIX="$work/demo/prefix" HOME="$work" PACKWARDEN_SERVER="127.0.0.1:$port"
start_and_press "$packwarden"
pressed=$(date +%s%N)

expected="packwarden: Couldn't connect: 127.0.0.1:$port: the server refused the connection"
for _ in $(seq 50); do grep -qxF "$expected" "$work/packwarden.log" && break; sleep 0.02; done
seen=$(date +%s%N)
grep -qxF "$expected" "$work/packwarden.log" || fail "no reason on standard error"
[ $(((seen - pressed) / 1000000)) -lt 1000 ] || fail "the reason came $(((seen - pressed) / 1000000)) ms after the press"
for _ in $(seq 20); do
    [ "$(xdotool search --onlyvisible --name '^Torvane Packwarden$' | wc -l)" -ge 2 ] && break
    sleep 0.05
done
[ "$(xdotool search --onlyvisible --name '^Torvane Packwarden$' | wc -l)" -ge 2 ] ||
    fail "no message box beside the window"
kill -0 "$app" 2>/dev/null || fail "the program ended"
[ ! -s "$work/opened" ] || fail "the browser was asked to open $(cat "$work/opened")"
echo "PASS: refused at once, on standard error and in a message: $expected"
