#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One whole synchronisation as a player runs it: the real packwarden under Xvfb, a Wine prefix
# pointing at a game folder, crewdock-dev on a free loopback port, a stand-in URL opener first on
# PATH, and Alt+L pressed through the X server. Checks that the server holds exactly the folder's
# packages, that the opener got the session page of the same session, and that the program ended.
# With "ipv6", crewdock-dev listens on ::1 alone and the program is given [::1]:PORT: the post,
# the Host header and the address opened all go over and name IPv6.
#
# usage: sync_under_xvfb.sh PACKWARDEN CREWDOCK_DEV [ipv6]
set -euo pipefail
packwarden=$1
crewdock=$2
family=${3:-ipv4}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/demo.sh"
. "$here/lib.sh"

e2e_begin
make_demo "$work/demo"
if [ "$family" = ipv6 ]; then
    start_crewdock_bound "$crewdock" "$work/demo/catalog" "$work/crewdock.log" ::1 ||
        fail "crewdock-dev did not start on ::1"
    host="[::1]"
else
    start_crewdock "$crewdock" "$work/demo/catalog" "$work/crewdock.log" ||
        fail "crewdock-dev did not start"
    host=127.0.0.1
fi
pids+=("$CREWDOCK_PID")
start_xvfb
install_opener

export WINEPREFIX="$work/demo/prefix" PACKWARDEN_SERVER="$host:$CREWDOCK_PORT"
press_launch "$packwarden"
[ "$status" -eq 0 ] || fail "packwarden exited with status $status"

# The opener runs detached from the program, so it may write a moment after the program ended.
expect_session_opened "$CREWDOCK_PORT" 50 "$host"
session=${url#*session=}
session=${session%%&*}

# The session page lists exactly the folder's packages, with their sizes.
page=$(python3 - "$url" <<'PY'
import sys, urllib.request
print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode("utf-8", "replace"))
PY
) || fail "could not read the session page"
grep -qF "<h2>Packages received (4)</h2>" <<< "$page" || fail "session $session: not 4 packages received"
for row in "pak0.pk3</td><td class=\"n\">4096" "pak1.pk3</td><td class=\"n\">1500" \
           "zz_torvane_maps.PK3</td><td class=\"n\">777" "my mod &amp; more.pk3</td><td class=\"n\">321"; do
    grep -qF "<tr><td>$row" <<< "$page" || fail "session $session: no row for $row"
done
# The post arrived over the family asked for.
grep -F " $host:" "$work/crewdock.log" | grep -qF " POST /crewdock/sync_session.php 200 " ||
    fail "no post from $host in the server's log"
echo "PASS: session $session synchronised over $family and opened at $url"
