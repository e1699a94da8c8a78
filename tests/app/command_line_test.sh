#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# packwarden's command line, without any display: --help and --version answer and exit 0,
# anything else is refused with a message and status 1.
#   command_line_test.sh PACKWARDEN VERSION
set -uo pipefail
program=$1 version=$2
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
failed=0
check() {  # check DESCRIPTION EXPECTED_STATUS COMMAND... ; then tests on $out/$err follow
    local what=$1 want=$2
    shift 2
    timeout 20 env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" >"$out" 2>"$err"
    local got=$?
    if [ "$got" -ne "$want" ]; then
        echo "FAIL: $what: status $got, expected $want"; cat "$err"; failed=1; return 1
    fi
}
expect() {  # expect DESCRIPTION FILE PATTERN
    grep -q -- "$3" "$2" || { echo "FAIL: $1: no '$3' in:"; cat "$2"; failed=1; }
}

for option in --help -h; do
    check "$option" 0 "$program" "$option" &&
        expect "$option" "$out" "^Usage: .*packwarden \[options\]" &&
        expect "$option" "$out" "PACKWARDEN_SERVER" &&
        expect "$option" "$out" "--version"
done
check "--help-all" 0 "$program" --help-all && expect "--help-all" "$out" "-platform"
for option in --version -v; do
    check "$option" 0 "$program" "$option" &&
        { [ "$(cat "$out")" = "packwarden $version" ] || { echo "FAIL: $option printed '$(cat "$out")'"; failed=1; }; }
done
# A full disk is an error, not a silent success.
timeout 20 env -u DISPLAY "$program" --version >/dev/full 2>"$err"
[ $? -eq 1 ] && grep -q "could not write" "$err" || { echo "FAIL: --version into a full device"; failed=1; }

# Refusals come after Qt has taken its own options, so they need a (headless) platform.
check "unknown option" 1 "$program" --bogus -platform offscreen &&
    expect "unknown option" "$err" "Unknown option 'bogus'"
check "stray argument" 1 "$program" stray -platform offscreen &&
    expect "stray argument" "$err" "unexpected argument 'stray'"
check "--help with an unknown option" 1 "$program" --help --bogus &&
    expect "--help with an unknown option" "$err" "Unknown option 'bogus'"

[ $failed -eq 0 ] && echo "command line: all checks passed"
exit $failed
