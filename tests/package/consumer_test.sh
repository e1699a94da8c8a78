#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs the outside project in consumer/ against the socket component.
#
#   consumer_test.sh installed    SOURCE BUILD GENERATOR CXX   the `dev` component installed into a
#                                 temporary prefix, found with find_package, then compiled
#                                 with `pkg-config --cflags --libs packwarden-socket` alone
#   consumer_test.sh subdirectory SOURCE BUILD GENERATOR CXX   the repository added with
#                                 add_subdirectory, then with FetchContent
#   consumer_test.sh system       SOURCE BUILD GENERATOR CXX   the packwarden-dev package installed
#                                 on this machine, found under /usr with find_package and
#                                 with pkg-config (scripts/package --install-check; BUILD is
#                                 not used)
set -euo pipefail
mode=$1 source=$2 build=$3 generator=$4 cxx=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

configure() {  # configure DIR ARGS...
    local dir=$1
    shift
    cmake -S "$source/tests/package/consumer" -B "$dir" -G "$generator" \
        -DCMAKE_CXX_COMPILER="$cxx" "$@" > "$dir.configure.log" 2>&1
}
build_and_run() {  # build_and_run DIR
    cmake --build "$1" > "$1.build.log" 2>&1 || { cat "$1.build.log" >&2; fail "build in $1"; }
    timeout 30 "$1/client" > "$1.out" || { cat "$1.out" >&2; fail "client in $1"; }
    grep -qx 'hello from the listener' "$1.out" || fail "client output: $(cat "$1.out")"
    echo "ok: client in $1 received the listener's reply"
}
# The same client built by hand: the compiler, the C++ standard, and what pkg-config gives.
build_with_pkg_config() {  # build_with_pkg_config DIR
    local flags
    mkdir -p "$1"
    flags=$(pkg-config --cflags --libs packwarden-socket) || fail "pkg-config packwarden-socket"
    # shellcheck disable=SC2086
    "$cxx" -std=c++20 -o "$1/client" "$source/tests/package/consumer/client.cpp" $flags \
        > "$1.build.log" 2>&1 || { cat "$1.build.log" >&2; fail "c++ ... $flags"; }
    timeout 30 "$1/client" > "$1.out" || { cat "$1.out" >&2; fail "client in $1"; }
    grep -qx 'hello from the listener' "$1.out" || fail "client output: $(cat "$1.out")"
    echo "ok: a client built with pkg-config ($flags) received the listener's reply"
}

case $mode in
installed)
    prefix=$work/prefix
    cmake --install "$build" --prefix "$prefix" --component dev > /dev/null
    # Exactly the public headers, the two libraries and the package files.
    (cd "$prefix" && find . -type f | sort) > "$work/files"
    cat > "$work/expected" <<LIST
./include/packwarden/ByteBuffer.h
./include/packwarden/CSocket.h
./include/packwarden/MSocketSupport.h
./include/packwarden/SocketErrors.h
./include/packwarden/Variant.h
./include/packwarden/detail/CSocketState.h
./include/packwarden/detail/SocketEventSink.h
LIST
    libdir=$(cd "$prefix" && find . -name libpackwarden_socket.a -printf '%h\n')
    [ -n "$libdir" ] || fail "libpackwarden_socket.a not installed"
    for f in libpackwarden_socket.a libpackwarden_socket_service.a \
        cmake/PackwardenSocket/PackwardenSocketConfig.cmake \
        cmake/PackwardenSocket/PackwardenSocketConfigVersion.cmake \
        cmake/PackwardenSocket/PackwardenSocketTargets.cmake pkgconfig/packwarden-socket.pc; do
        echo "$libdir/$f" >> "$work/expected"
    done
    grep -v -e '/doc/packwarden-dev/' -e 'PackwardenSocketTargets-.*\.cmake$' "$work/files" \
        | diff -u <(sort "$work/expected") - || fail "installed files differ"
    echo "ok: the dev component installs headers, libraries and the CMake package"
    # The implementation's registries and platform calls and the tests' hooks stay in the build
    # tree: nothing installed declares them.
    if grep -rnE 'TestHooks|ResetHooks|RegisterSocket|SocketRegistry|SocketWindowProc|namespace Platform' \
        "$prefix/include"; then
        fail "the installed headers expose test hooks or the registries"
    fi
    echo "ok: the installed headers hold no test hooks and no registries"

    configure "$work/consumer" -DPACKWARDEN_VIA=package -DCMAKE_PREFIX_PATH="$prefix" \
        || { cat "$work/consumer.configure.log" >&2; fail "configure against the package"; }
    build_and_run "$work/consumer"

    # Another major version is refused.
    if configure "$work/major3" -DPACKWARDEN_VIA=package -DCMAKE_PREFIX_PATH="$prefix" \
        -DPACKWARDEN_WANT_VERSION=3.0; then
        fail "find_package(PackwardenSocket 3.0) accepted version 2"
    fi
    grep -q 'compatible with requested version "3.0"' "$work/major3.configure.log" \
        || { cat "$work/major3.configure.log" >&2; fail "no version message"; }
    echo "ok: find_package(PackwardenSocket 3.0) is refused"

    # The examples installed with the package build against it as they are.
    cmake -S "$prefix/share/doc/packwarden-dev/examples" -B "$work/examples" -G "$generator" \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" > "$work/examples.log" 2>&1 &&
        cmake --build "$work/examples" >> "$work/examples.log" 2>&1 ||
        { cat "$work/examples.log" >&2; fail "the installed examples do not build"; }
    [ -x "$work/examples/echo_server" ] || fail "no echo_server built from the installed examples"
    echo "ok: the installed examples build against the installed package"

    # The pkg-config file names the prefix it was installed under, wherever that is.
    PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig build_with_pkg_config "$work/pkg-config"
    [ "$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --modversion packwarden-socket)" = \
        "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
        fail "packwarden-socket.pc carries another version than the project"
    ;;
subdirectory)
    for via in subdirectory fetchcontent; do
        dir=$work/$via
        configure "$dir" -DPACKWARDEN_VIA=$via -DPACKWARDEN_SOURCE_DIR="$source" \
            || { cat "$dir.configure.log" >&2; fail "configure with $via"; }
        # The consumer's cache gets only PACKWARDEN_* options from us: no build type forced,
        # no BUILD_TESTING, no GoogleTest or Qt looked for.
        grep -q '^CMAKE_BUILD_TYPE:STRING=$' "$dir/CMakeCache.txt" \
            || fail "$via: CMAKE_BUILD_TYPE set: $(grep '^CMAKE_BUILD_TYPE' "$dir/CMakeCache.txt")"
        if grep -E '^(BUILD_TESTING|GTest_DIR|Qt6_DIR)[:=]' "$dir/CMakeCache.txt"; then
            fail "$via: entries in the consumer's cache"
        fi
        # Only what the consumer links is built: no programs of ours.
        cmake --build "$dir" --target help > "$dir.targets"
        if grep -E '^(\.\.\. )?(packwarden|crewdock-dev|packwarden_core|crewdock_core)[: ]' \
            "$dir.targets"; then
            fail "$via: the program or the tools are part of the consumer's build"
        fi
        build_and_run "$dir"
        if find "$dir" -name '*.o' -path '*tools*' | grep -q .; then
            fail "$via: crewdock-dev was compiled"
        fi
    done
    ;;
system)
    configure "$work/consumer" -DPACKWARDEN_VIA=package \
        || { cat "$work/consumer.configure.log" >&2; fail "configure against /usr"; }
    build_and_run "$work/consumer"
    build_with_pkg_config "$work/pkg-config"
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
