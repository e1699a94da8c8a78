#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installing without a package right after scripts/run: a fresh development tree (the `dev`
# preset) in which only the two programs were built, as scripts/run builds them, then
# `cmake --install TREE --prefix PREFIX --strip`. Everything the install rules name must be
# there without any other target built (the gzipped changelog and manual pages included).
#
#   install_after_run.sh SOURCE WORK   WORK: a folder for the tree and the prefix (emptied)
set -euo pipefail
source=$1 work=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
tree=$work/tree prefix=$work/prefix

(cd "$source" && cmake --preset dev -B "$tree") > "$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; fail "configure"; }
# What the build preset `programs` builds (scripts/run).
targets=$(sed -n '/"name": "programs"/,/}/s/.*"targets": \[\(.*\)\].*/\1/p' \
    "$source/CMakePresets.json" | tr -d '",' | xargs)
[ -n "$targets" ] || fail "no targets in the build preset programs"
# shellcheck disable=SC2086
cmake --build "$tree" --target $targets > "$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; fail "build $targets"; }
cmake --install "$tree" --prefix "$prefix" --strip > "$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install right after building $targets"; }

for f in bin/packwarden bin/crewdock-dev share/man/man1/packwarden.1.gz \
    share/man/man1/crewdock-dev.1.gz share/doc/packwarden/changelog.gz \
    share/doc/packwarden-dev/changelog.gz share/applications/net.torvane.packwarden.desktop \
    include/packwarden/CSocket.h; do
    [ -f "$prefix/$f" ] || fail "not installed: $f"
done
find "$prefix" -name libpackwarden_socket.a | grep -q . || fail "not installed: the library"
file -b "$prefix/bin/packwarden" | grep -q ', stripped' || fail "packwarden is not stripped"
"$prefix/bin/packwarden" --version | grep -q '^packwarden ' || fail "installed packwarden --version"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tree/CMakeCache.txt")
gzip -dc "$prefix/share/man/man1/packwarden.1.gz" | head -n1 | grep -q "\"packwarden $version\"" ||
    fail "the manual page does not carry version $version"
echo "ok: cmake --install --strip right after building $targets: $(find "$prefix" -type f | wc -l) files"
