#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows window under Wine and a private Xvfb, driven with xdotool and read with the
# probe: first --bogus (the usage, status 2, no window); then its layout, texts and focus at 96 DPI (the folder field empty: no registry names the
# game); Alt+L on the empty field ("Couldn't open base folder", saying where it looked); Alt+L
# on a refused port ("Couldn't connect" at once, with the reason beneath it and on standard
# error); the server started, a folder that does not exist and one without a package
# ("Couldn't open base folder"); then the folder corrected and Alt+L again: the connection
# still open carries the request, the browser opens the session page and the program ends with
# status 0.
# Then a second run in a prefix without a handler for http addresses: "Couldn't launch
# browser" with the address to open by hand, and the window stays. Last, in that same window, a
# press after that failure reaches a server that resets the connection in the middle of a
# request of some 5 MB: "Couldn't send data", and the window stays.
#
# usage: window_under_wine.sh PACKWARDEN.EXE PROBE.EXE CREWDOCK_DEV
set -euo pipefail
packwarden=$1
PROBE=$2
crewdock=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../e2e/lib.sh"
. "$here/../../../scripts/lib/demo.sh"
. "$here/wine_lib.sh"

wine_begin
install_opener
base="$WINEPREFIX/drive_c/ef2/base"
mkdir -p "$base"
head -c 1234 /dev/zero > "$base/a.pk3"
# A port nothing listens on yet: the first attempt is refused.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export PACKWARDEN_SERVER="127.0.0.1:$port"

# --- an unknown option: the usage on standard error, status 2, no window ---------------------------
bogus=0
wine "$packwarden" --bogus < /dev/null > "$work/bogus.log" 2>&1 || bogus=$?
[ "$bogus" -eq 2 ] || fail "--bogus: status $bogus, not 2"
tr -d '\r' < "$work/bogus.log" | grep -qxF "packwarden: unexpected argument '--bogus'" ||
    fail "--bogus: no refusal on standard error"
grep -qF "Usage: packwarden" "$work/bogus.log" || fail "--bogus: no usage"

start_packwarden "$packwarden"

# --- layout ---------------------------------------------------------------------------------
layout=$(probe layout) || fail "the probe could not read the window"
echo "$layout" > "$work/layout.log"
expect_line() { grep -qxF "$1" <<< "$layout" || fail "layout: no line \"$1\""; }
expect_line "client 400 391"
expect_line "control 107 32 16 329 57 1 "
expect_line "control 103 16 96 369 105 1 This program will detect what pk3 files are stored on your system, and send it to the Torvane server. The server will then return a page giving you direct download links for any pk3's in our system that you don't have, or that are outmoded. We do not collect any data on you, other than what pk3 files you have and what software version you're running."
expect_line "control 106 -48 72 401 19 0 POST /crewdock/sync_session.php HTTP/1.0||Host: 127.0.0.1:$port||User-Agent: Packwarden||Content-type: application/x-www-form-urlencoded||"
expect_line "control 110 24 208 352 1 1 "
expect_line "control 102 24 232 81 33 1 Elite Force II base folder path:"
expect_line "control 101 112 240 185 19 1 "  # no registry names the game: empty
expect_line "control 105 312 240 65 25 1 Browse"
expect_line "control 111 24 280 352 1 1 "
expect_line "control 104 16 296 369 33 1 Developed by Brightforge for Torvane. If you are a developer, join the Torvane crewdock today!"
expect_line "control 100 152 344 81 33 1 &Launch system"
expect_line "focus 100"
# Tab order is creation order: the launch button, the field, then Browse.
order=$(sed -n 's/^control \([0-9]*\) .*/\1/p' <<< "$layout" | tr '\n' ' ')
[ "$order" = "100 101 102 103 104 105 106 107 110 111 " ] || fail "tab order: $order"

# --- Alt+L with the field empty: what was looked for, and no connection ---------------------------
press_alt_l
expect_message "Couldn't open base folder" 3
grep -qxF "text Couldn't open base folder||No game found in the registry (HKEY_LOCAL_MACHINE\\Software\\Activision\\Elite Force II); choose its base folder with Browse" \
    <<< "$(grep '^text ' <<< "$last_message")" || fail "the message does not say where: $last_message"

# --- Alt+L on a refused port: "Couldn't connect" at once, the server and the reason beneath it
# and on standard error ----------------------------------------------------------------------
probe set-folder 'C:\ef2\base' || fail "could not type the folder"
press_alt_l
expect_message "Couldn't connect" 3
why="127.0.0.1:$port: the server refused the connection"
grep -qxF "text Couldn't connect||$why" <<< "$(grep '^text ' <<< "$last_message")" ||
    fail "the message gives no reason: $last_message"
tr -d '\r' < "$work/packwarden.log" | grep -qxF "packwarden: Couldn't connect: $why" ||
    fail "no reason on standard error"

# --- the server comes up; a folder that does not exist -----------------------------------------
mkdir -p "$work/catalog"
start_crewdock "$crewdock" "$work/catalog" "$work/crewdock.log" "$port" ||
    fail "crewdock-dev did not start"
pids+=("$CREWDOCK_PID")
probe set-folder 'C:\ef2\none' || fail "could not type the folder"
press_alt_l
expect_message "Couldn't open base folder" 10
# A folder without a package: said so, and the window stays for another choice.
mkdir -p "$WINEPREFIX/drive_c/ef2/empty"
probe set-folder 'C:\ef2\empty' || fail "could not type the folder"
press_alt_l
expect_message "Couldn't open base folder" 10
grep -qxF 'text Couldn'"'"'t open base folder||No .pk3 files in C:\ef2\empty\' <<< "$(grep '^text ' <<< "$last_message")" ||
    fail "no word of the missing packages: $last_message"

# --- corrected: the open connection carries the request; the program ends -----------------------
probe set-folder 'C:\ef2\base' || fail "could not type the folder"
press_alt_l
wait_for_end "$app" 200
[ -n "$status" ] || fail "packwarden did not end within 20 s of the press"
[ "$status" -eq 0 ] || fail "packwarden exited with status $status"
expect_session_opened "$port" 100
page=$(python3 -c 'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())' "$url") ||
    fail "could not read the session page"
grep -qF '<tr><td>a.pk3</td><td class="n">1234' <<< "$page" || fail "the page lacks a.pk3: $page"
# One connection: the one left open after the failed scan carried the request.
connections=$(grep -c 'POST /crewdock/sync_session.php' "$work/crewdock.log" || true)
[ "$connections" -eq 1 ] || fail "$connections requests posted"

# --- a browser that cannot be launched: no handler for http addresses in this prefix ---------
wine reg delete 'HKCR\http' /f < /dev/null > "$work/reg.log" 2>&1 || fail "could not remove the http handler"
rm -f "$work/opened"
start_packwarden "$packwarden"
probe set-folder 'C:\ef2\base' || fail "could not type the folder"
press_alt_l
expect_message "Couldn't launch browser" 15
# The address to open by hand is in the message.
grep -qE "^text Couldn't launch browser\|\|http://127\.0\.0\.1:$port/crewdock/sync\.php\?session=[0-9]+&version=2$" \
    <<< "$last_message" || fail "the message gives no address: $last_message"
kill -0 "$app" 2>/dev/null || fail "the program ended after a browser that could not be launched"

# --- a server that resets the connection mid-request ----------------------------------------------
# 8000 names of 200 '&' (each sent as %26): a request far larger than what the network queues
# between the two ends, so most of it still waits in the program when the reset comes.
many="$WINEPREFIX/drive_c/ef2/many"
mkdir -p "$many"
python3 - "$many" <<'MAKE'
import os, sys
for i in range(8000):
    open(os.path.join(sys.argv[1], "%d%s.pk3" % (i, "&" * 200)), "wb").close()
MAKE
kill "$CREWDOCK_PID" 2>/dev/null || true
wait "$CREWDOCK_PID" 2>/dev/null || true
python3 - "$port" > "$work/reset-server.log" 2>&1 <<'RESET' &
import select, socket, struct, sys
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
listener.bind(("127.0.0.1", int(sys.argv[1])))
listener.listen(1)
print("listening", flush=True)
listener.settimeout(60)
connection, _ = listener.accept()
select.select([connection], [], [], 10)
print("read", len(connection.recv(1024)), flush=True)
connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
connection.close()
print("reset", flush=True)
RESET
pids+=($!)
for _ in $(seq 100); do grep -q listening "$work/reset-server.log" && break; sleep 0.1; done
grep -q listening "$work/reset-server.log" || fail "the resetting server did not start"
probe set-folder 'C:\ef2\many' || fail "could not type the folder"
press_alt_l
expect_message "Couldn't send data" 60
grep -q reset "$work/reset-server.log" || fail "the message came before the server's reset"
kill -0 "$app" 2>/dev/null || fail "the program ended after a failed send"
echo "PASS: layout, Alt+L, \"Couldn't connect\", \"Couldn't open base folder\", the retry ($url), \"Couldn't launch browser\", \"Couldn't send data\""
