#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One whole synchronisation with the Windows program, as a player on Windows runs it: the
# game's key written into the 32-bit view of a private prefix's registry (wine reg ... /reg:32),
# packages with odd names (non-ASCII, spaces, &, %, +) in drive_c, the Linux crewdock-dev on
# loopback, Alt+L pressed through the X server, and a stand-in xdg-open first on PATH, which
# Wine's browser launcher (winebrowser) calls. Checks every name and size the server received,
# the session page's address and exit status 0. With "ipv6", crewdock-dev listens on ::1 alone
# and the program is given [::1]:PORT.
#
# usage: sync_under_wine.sh PACKWARDEN.EXE PROBE.EXE CREWDOCK_DEV [ipv6]
set -euo pipefail
packwarden=$1
PROBE=$2
crewdock=$3
family=${4:-ipv4}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../scripts/lib/demo.sh"
. "$here/../../e2e/lib.sh"
. "$here/wine_lib.sh"

wine_begin
install_opener
install='C:\Games\Élite Force II'
wine reg add 'HKLM\Software\Activision\Elite Force II' /v InstallPath /t REG_SZ /d "$install" \
    /reg:32 /f < /dev/null > "$work/reg.log" 2>&1 || fail "wine reg add failed"
base="$WINEPREFIX/drive_c/Games/Élite Force II/base"
mkdir -p "$base"
declare -A sizes=(
    ["pak0.pk3"]=4096
    ["Ünïcödé ✓ 漢字.pk3"]=12
    ["my mod & more.pk3"]=321
    ["100% + fun=yes.PK3"]=7
    ["zz_torvane_maps.Pk3"]=0
)
for name in "${!sizes[@]}"; do head -c "${sizes[$name]}" /dev/zero > "$base/$name"; done
echo "not a package" > "$base/readme.txt"
mkdir "$base/textures.pk3"  # a folder whose name matches: listed with size 0
sizes["textures.pk3"]=0

mkdir -p "$work/catalog"
if [ "$family" = ipv6 ]; then
    start_crewdock_bound "$crewdock" "$work/catalog" "$work/crewdock.log" ::1 ||
        fail "crewdock-dev did not start on ::1"
    host="[::1]"
else
    start_crewdock "$crewdock" "$work/catalog" "$work/crewdock.log" ||
        fail "crewdock-dev did not start"
    host=127.0.0.1
fi
pids+=("$CREWDOCK_PID")
export PACKWARDEN_SERVER="$host:$CREWDOCK_PORT"

start_packwarden "$packwarden"
shown=$(probe layout | sed -n 's/^control 101 [-0-9 ]* 1 //p')
[ "$shown" = "$install\\base" ] || fail "the folder field reads \"$shown\""
press_alt_l
wait_for_end "$app" 300
[ -n "$status" ] || fail "packwarden did not end within 30 s of the press"
[ "$status" -eq 0 ] || fail "packwarden exited with status $status"

expect_session_opened "$CREWDOCK_PORT" 100 "$host"
grep -F " $host:" "$work/crewdock.log" | grep -qF " POST /crewdock/sync_session.php 200 " ||
    fail "no post from $host in the server's log"

# Every package arrived with its name as UTF-8 and its size; nothing else did.
expected=$(for name in "${!sizes[@]}"; do printf '%s\t%s\n' "$name" "${sizes[$name]}"; done | sort)
received=$(python3 - "$url" <<'PY'
import html, re, sys, urllib.request
page = urllib.request.urlopen(sys.argv[1], timeout=5).read().decode("utf-8")
received = page.split("<h2>Packages received", 1)[1].split("</table>", 1)[0]
for name, size in re.findall(r'<tr><td>(.*?)</td><td class="n">(\d+)', received):
    print("%s\t%s" % (html.unescape(name), size))
PY
) || fail "could not read the session page"
received=$(sort <<< "$received")
[ "$received" = "$expected" ] || fail "received:
$received
expected:
$expected"
echo "PASS: ${#sizes[@]} packages synchronised over $family from \"$install\\base\"; opened $url"
