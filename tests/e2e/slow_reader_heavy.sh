#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Heavy whole-program check, too slow for the suite (about 14 minutes): the real packwarden posts
# a list of some 8 MB to a server that reads it steadily at 10 KiB/s and answers only once it has
# read it all. A reader that slow is still moving: the program must never call it stalled. It
# must end with status 0 and no message, the server must get every byte, and the browser must be
# asked to open the session page only once the server's system had acknowledged the whole list:
# no earlier than when the server had read all but what its receive buffer holds (64 KiB).
#
# usage: slow_reader_heavy.sh PACKWARDEN      (scripts/reliability heavy slowpost runs it)
set -euo pipefail
packwarden=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/demo.sh"
. "$here/lib.sh"

e2e_begin
make_demo "$work/demo"
base="$work/demo/prefix/drive_c/Games/EF2/base"
name=$(printf 'n%.0s' $(seq 240))
(cd "$base" && seq 30000 | sed "s/\$/$name.pk3/" | xargs touch)

python3 - "$work" > "$work/server.log" 2>&1 <<'PY' &
import re, socket, sys, time
work = sys.argv[1]
rate = 10 << 10
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
srv.bind(("127.0.0.1", 0))
srv.listen(1)
open(work + "/port", "w").write(str(srv.getsockname()[1]))
srv.settimeout(60)
conn, _ = srv.accept()
conn.settimeout(120)
data = b""
while b"\r\n\r\n" not in data:
    data += conn.recv(1024)
head, _, body = data.partition(b"\r\n\r\n")
length = int(re.search(rb"content-length: *(\d+)", head, re.I).group(1))
start = time.monotonic()
ended = "whole"
nearly = None
try:
    while len(body) < length:
        if nearly is None and len(body) >= length - (64 << 10):
            nearly = time.time()
        # Steadily: never ahead of the rate, in pieces of a tenth of a second.
        due = start + len(body) / rate
        now = time.monotonic()
        if due > now:
            time.sleep(due - now)
        chunk = conn.recv(min(rate // 10, length - len(body)))
        if not chunk:
            ended = "end of stream"
            break
        body += chunk
except OSError as e:
    ended = "error: %s" % e
done = time.time()
nearly = nearly or done
if ended == "whole":
    conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nthanks\n")
open(work + "/result", "w").write("%d %d %.3f %s\n" % (len(body), length, nearly, ended))
conn.close()
PY
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || fail "the server did not start"

start_xvfb
install_opener
export WINEPREFIX="$work/demo/prefix" PACKWARDEN_SERVER="127.0.0.1:$(cat "$work/port")"
start_and_press "$packwarden"
wait_for_end "$app" 12000
[ -n "$status" ] || fail "packwarden did not end within 20 minutes of the press"
[ "$status" -eq 0 ] || fail "packwarden exited with status $status"
! grep -q '^packwarden:' "$work/packwarden.log" || fail "packwarden said: $(cat "$work/packwarden.log")"

[ -s "$work/result" ] || fail "the server did not finish reading"
read -r got expected nearly how < "$work/result"
[ "$how" = whole ] && [ "$got" -eq "$expected" ] ||
    fail "the server received $got of $expected bytes ($how)"
[ -s "$work/opened" ] || fail "the browser was not asked to open the session page"
opened=$(stat -c %.3Y "$work/opened")
python3 -c "import sys; sys.exit(0 if float('$opened') >= float('$nearly') else 1)" ||
    fail "the page was opened at $opened, before the server had all but 64 KiB at $nearly"
echo "PASS: $got bytes at 10 KiB/s; no message; the page opened once the server had them all"
