# SPDX-License-Identifier: MIT
# Demo data for trying the synchronisation on one machine: a Wine prefix whose registry points
# at a game folder with a few packages, and a catalog for crewdock-dev in which some of those
# packages are missing or of another size; crewdock-dev started on it; the programs built.
#
# make_demo DIR: creates DIR/prefix (WINEPREFIX) and DIR/catalog; prints nothing.
make_demo() {
    local dir=$1
    local prefix=$dir/prefix
    local base=$prefix/drive_c/Games/EF2/base
    rm -rf "$dir" && mkdir -p "$base" "$prefix/dosdevices" "$dir/catalog"
    ln -s ../drive_c "$prefix/dosdevices/c:"
    cat > "$prefix/system.reg" <<'REG'
WINE REGISTRY Version 2
;; All keys relative to \\Machine

#arch=win32

[Software\\Activision\\Elite Force II] 1733650000
#time=1db4a8f2e4c0f00
"InstallPath"="C:\\Games\\EF2"
"Version"="1.10"
REG
    # The player's packages.
    head -c 4096 /dev/zero > "$base/pak0.pk3"
    head -c 1500 /dev/zero > "$base/pak1.pk3"
    head -c 777 /dev/zero > "$base/zz_torvane_maps.PK3"
    head -c 321 /dev/zero > "$base/my mod & more.pk3"
    echo "not a package" > "$base/readme.txt"
    # The server's catalog: pak1 in a newer size, two packages the player lacks.
    head -c 4096 /dev/zero > "$dir/catalog/pak0.pk3"
    head -c 2048 /dev/zero > "$dir/catalog/pak1.pk3"
    head -c 9000 /dev/zero > "$dir/catalog/torvane_assault.pk3"
    head -c 512 /dev/zero > "$dir/catalog/crewdock_skins.pk3"
}

# start_crewdock BIN CATALOG LOG [PORT]: starts crewdock-dev on loopback, on PORT or else on a
# free port, in the background; sets CREWDOCK_PID and CREWDOCK_PORT. Fails when it does not
# come up within 10 s.
start_crewdock() {
    local bin=$1 catalog=$2 log=$3 port=${4:-0}
    "$bin" --port "$port" --catalog "$catalog" > "$log" 2>&1 &
    CREWDOCK_PID=$!
    for _ in $(seq 100); do
        CREWDOCK_PORT=$(sed -n 's#^crewdock-dev listening on http://127\.0\.0\.1:\([0-9]*\)/.*#\1#p' "$log" | head -n1)
        [ -n "$CREWDOCK_PORT" ] && return 0
        kill -0 "$CREWDOCK_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "crewdock-dev did not start:" >&2
    cat "$log" >&2
    return 1
}

# build_programs: builds packwarden and crewdock-dev in the development tree (build/, the `dev`
# preset; the build preset `programs`).
build_programs() {
    cmake --preset dev > /dev/null
    cmake --build --preset programs -j"$(nproc)"
}
