#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real packwarden, asked to reach a server by a name whose lookup never answers, has its
# window closed while the lookup is still under way: the program must end at once, not when
# the system's resolver gives up (10 s and more). Runs in a private network and mount
# namespace: a name server on 127.0.0.1 that takes every query and answers none, named by a
# private resolv.conf.
#
# usage: stuck_lookup_under_xvfb.sh PACKWARDEN
set -euo pipefail
if [ -z "${PACKWARDEN_PRIVATE_NET:-}" ]; then
    if unshare -rnm true 2>/dev/null; then
        exec env PACKWARDEN_PRIVATE_NET=1 unshare -rnm bash "$0" "$@"
    fi
    echo "SKIP: no private network namespace here (unshare -rnm refused)"
    exit 77
fi
packwarden=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/demo.sh"
. "$here/lib.sh"

e2e_begin
ip link set lo up
printf 'nameserver 127.0.0.1\noptions timeout:5 attempts:3\n' > "$work/resolv.conf"
mount --bind "$work/resolv.conf" "$(readlink -f /etc/resolv.conf)"
python3 - "$work" > "$work/dns.log" 2>&1 <<'PY' &
import socket, sys
sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sink.bind(("127.0.0.1", 53))
open(sys.argv[1] + "/dns-ready", "w").write("1")
while True:
    sink.recv(512)
    open(sys.argv[1] + "/asked", "a").write("query\n")
PY
pids+=($!)
for _ in $(seq 100); do [ -s "$work/dns-ready" ] && break; sleep 0.1; done
[ -s "$work/dns-ready" ] || fail "the silent name server did not start"

make_demo "$work/demo"
start_xvfb
install_opener
export WINEPREFIX="$work/demo/prefix" PACKWARDEN_SERVER="server.stuck.test:8080"
start_and_press "$packwarden"
for _ in $(seq 50); do [ -s "$work/asked" ] && break; sleep 0.1; done
[ -s "$work/asked" ] || fail "the program never asked the name server"
sleep 0.5
kill -0 "$app" 2>/dev/null || fail "packwarden ended before the window was closed"

python3 "$here/close_window.py" "$wid" || fail "the window could not be asked to close"
start=$(date +%s%N)
wait_for_end "$app" 50
[ -n "$status" ] || fail "packwarden still ran 5 s after its window was closed"
took=$((($(date +%s%N) - start) / 1000000))
[ "$took" -le 1000 ] || fail "packwarden took $took ms to end after its window was closed"
[ "$status" -eq 0 ] || fail "packwarden exited with status $status"
echo "PASS: ended $took ms after the window was closed, the lookup still unanswered"
