#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One whole synchronisation as a player runs it: the real packwarden under Xvfb, a Wine prefix
# pointing at a game folder, crewdock-dev on a free loopback port, a stand-in URL opener first on
# PATH, and Alt+L pressed through the X server. Checks that the server holds exactly the folder's
# packages, that the opener got the session page of the same session, and that the program ended.
# With "ipv6", crewdock-dev listens on ::1 alone and the program is given [::1]:PORT: the post,
# the Host header and the address opened all go over and name IPv6. With "tls", crewdock-dev
# serves HTTPS with certificates made for the run (their authority trusted through
# SSL_CERT_FILE alone) and the program is given https://localhost:PORT/: the list goes over TLS
# and the https:// session page opens.
#
# usage: sync_under_xvfb.sh PACKWARDEN CREWDOCK_DEV [ipv6|tls]
set -euo pipefail
packwarden=$1
crewdock=$2
family=${3:-ipv4}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/demo.sh"
. "$here/lib.sh"

e2e_begin
make_demo "$work/demo"
scheme=http
peer=
if [ "$family" = ipv6 ]; then
    start_crewdock_bound "$crewdock" "$work/demo/catalog" "$work/crewdock.log" ::1 ||
        fail "crewdock-dev did not start on ::1"
    host="[::1]"
elif [ "$family" = tls ]; then
    mkdir "$work/pki"
    sh "$here/../socket/make_tls_pki.sh" "$work/pki" > "$work/pki.log" 2>&1 ||
        fail "could not make the certificates"
    export SSL_CERT_FILE="$work/pki/ca.pem" SSL_CERT_DIR="$work/pki"
    start_crewdock_bound "$crewdock" "$work/demo/catalog" "$work/crewdock.log" 127.0.0.1 \
        --tls-cert "$work/pki/chain.pem" --tls-key "$work/pki/server.key" ||
        fail "crewdock-dev did not start with TLS"
    host=localhost
    peer=127.0.0.1
    scheme=https
else
    start_crewdock "$crewdock" "$work/demo/catalog" "$work/crewdock.log" ||
        fail "crewdock-dev did not start"
    host=127.0.0.1
fi
pids+=("$CREWDOCK_PID")
start_xvfb
install_opener

server="$host:$CREWDOCK_PORT"
[ "$scheme" = https ] && server="https://$server/"
export WINEPREFIX="$work/demo/prefix" PACKWARDEN_SERVER="$server"
press_launch "$packwarden"
[ "$status" -eq 0 ] || fail "packwarden exited with status $status"

# The opener runs detached from the program, so it may write a moment after the program ended.
expect_session_opened "$CREWDOCK_PORT" 50 "$host" "$scheme"
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
# The post arrived over the family asked for (the page was read over https with the run's
# authority alone: urllib's default context takes SSL_CERT_FILE).
grep -F " ${peer:-$host}:" "$work/crewdock.log" | grep -qF " POST /crewdock/sync_session.php 200 " ||
    fail "no post from $host in the server's log"
echo "PASS: session $session synchronised over $family and opened at $url"
