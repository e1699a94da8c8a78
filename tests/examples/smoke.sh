#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs one example briefly over loopback, on a port that was free a moment before (tried again
# on another one if it was taken meanwhile). Every run is bounded.
#
#   smoke.sh echo BINDIR | udp BINDIR | poll BINDIR | qt BINDIR
set -euo pipefail
example=$1 bin=$2
work=$(mktemp -d)
server=""
trap '[ -z "$server" ] || kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT

free_port() {  # free_port tcp|udp
    python3 - "$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_STREAM if sys.argv[1] == "tcp" else socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
PY
}

echo_once() {
    local port
    port=$(free_port tcp)
    timeout 20 "$bin/echo_server" "$port" --connections 2 > "$work/server.out" 2>&1 &
    server=$!
    for _ in $(seq 100); do
        grep -q 'listening on' "$work/server.out" && break
        kill -0 "$server" 2>/dev/null || break
        sleep 0.05
    done
    grep -q 'listening on' "$work/server.out" || { cat "$work/server.out" >&2; return 1; }
    timeout 15 "$bin/tcp_client" 127.0.0.1 "$port" "hello, echo" > "$work/client1.out"
    grep -qx 'received 11 bytes: hello, echo' "$work/client1.out"
    # A larger message arrives in pieces; the client counts them together.
    local text
    text=$(head -c 100000 /dev/zero | tr '\0' 'x')
    timeout 15 "$bin/tcp_client" 127.0.0.1 "$port" "$text" > "$work/client2.out"
    wait "$server" && server=""
    cat "$work/server.out"
    grep -qx 'echo_server: 2 connections served' "$work/server.out"
}

for attempt in 1 2 3; do
    case $example in
        echo) echo_once && exit 0 ;;
        udp) timeout 20 "$bin/udp_exchange" "$(free_port udp)" 3 && exit 0 ;;
        poll) timeout 20 "$bin/poll_loop" "$(free_port tcp)" && exit 0 ;;
        qt) QT_QPA_PLATFORM=offscreen timeout 20 "$bin/qt_loop" "$(free_port udp)" && exit 0 ;;
        *) echo "smoke.sh: unknown example $example" >&2; exit 2 ;;
    esac
    echo "attempt $attempt failed" >&2
    [ -z "$server" ] || { kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; server=""; }
done
exit 1
