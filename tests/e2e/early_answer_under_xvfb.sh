#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real packwarden against a server that answers as soon as it has the request's head, keeps
# talking while it reads the large body slowly, and closes only once it has read it all. The
# program ends as soon as the request is on its way; its last bytes must still reach the server:
# the answer it never reads must not turn its close into a reset that cuts the request short.
#
# usage: early_answer_under_xvfb.sh PACKWARDEN
set -euo pipefail
packwarden=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/demo.sh"
. "$here/lib.sh"

e2e_begin
make_demo "$work/demo"
base="$work/demo/prefix/drive_c/Games/EF2/base"
name=$(printf 'n%.0s' $(seq 200))
for i in $(seq 3000); do : > "$base/$i$name.pk3"; done

python3 - "$work" > "$work/server.log" 2>&1 <<'PY' &
import re, socket, sys, time
work = sys.argv[1]
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
srv.bind(("127.0.0.1", 0))
srv.listen(1)
open(work + "/port", "w").write(str(srv.getsockname()[1]))
srv.settimeout(30)
conn, _ = srv.accept()
conn.settimeout(30)
data = b""
while b"\r\n\r\n" not in data:
    data += conn.recv(4096)
head, _, body = data.partition(b"\r\n\r\n")
length = int(re.search(rb"content-length: *(\d+)", head, re.I).group(1))
conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + b"received your head\n" * 1000)
ended = "end of stream"
try:
    while len(body) < length + 2:
        chunk = conn.recv(16384)
        if not chunk:
            break
        body += chunk
        conn.sendall(b"still reading\n")  # more the client never reads
        time.sleep(0.01)
except OSError as e:
    ended = "error: %s" % e
open(work + "/result", "w").write("%d %d %s\n" % (len(body), length + 2, ended))
conn.close()
PY
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || fail "the server did not start"

start_xvfb
install_opener
export WINEPREFIX="$work/demo/prefix" PACKWARDEN_SERVER="127.0.0.1:$(cat "$work/port")"
press_launch "$packwarden"
[ "$status" -eq 0 ] || fail "packwarden exited with status $status"

for _ in $(seq 300); do [ -s "$work/result" ] && break; sleep 0.1; done
[ -s "$work/result" ] || fail "the server did not finish reading"
read -r got expected how < "$work/result"
[ "$got" -eq "$expected" ] || fail "the server received $got of $expected bytes ($how)"
echo "PASS: all $got bytes of the request arrived; the server's answer was never read"
