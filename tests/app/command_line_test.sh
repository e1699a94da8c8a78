#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# packwarden's command line, without any display: --help and --version answer and exit 0,
# anything else is refused with the usage and status 2; Qt's own options pass. The man page
# lists the same options and environment variables as --help.
#   command_line_test.sh PACKWARDEN VERSION MAN_PAGE
set -uo pipefail
program=$1 version=$2 manpage=$3
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

# Refusals come before any window system is touched: the same with or without a display.
for platform in "" "-platform offscreen"; do
    # shellcheck disable=SC2086  # the platform option is two words or none
    check "unknown option ($platform)" 2 "$program" --bogus $platform &&
        expect "unknown option" "$err" "^packwarden: Unknown option 'bogus'" &&
        expect "unknown option: usage" "$err" "^Usage: .*packwarden \[options\]"
    # shellcheck disable=SC2086
    check "stray argument ($platform)" 2 "$program" $platform stray &&
        expect "stray argument" "$err" "unexpected argument 'stray'" &&
        expect "stray argument: usage" "$err" "^Usage: .*packwarden \[options\]"
done
check "--help with an unknown option" 2 "$program" --help --bogus &&
    expect "--help with an unknown option" "$err" "Unknown option 'bogus'"
grep -q "Reinstalling" "$err" && { echo "FAIL: Qt's platform failure instead of the usage"; failed=1; }
# Qt's own options are let through to Qt: with one that needs a value but has none, the refusal
# is the usage's, not Qt's.
check "Qt option without its value" 2 "$program" -platform &&
    expect "Qt option without its value" "$err" "Missing value after '-platform'"

check "Qt option in a form Qt ignores" 2 "$program" --platform=offscreen &&
    expect "Qt option in a form Qt ignores" "$err" "'--platform=offscreen'"

# The man page and --help agree: the same options, the same environment variables.
"$program" --help > "$out" 2>/dev/null
help_options=$(grep -oE '^  (-[a-z?], )?--[a-z-]+' "$out" | grep -oE -- '-+[a-z?-]+' | sort -u)
# Each option of the man page is the tag line of a .TP paragraph under OPTIONS.
man_options=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$manpage" | awk 'tag { print; tag = 0 } /^\.TP/ { tag = 1 }' |
    sed 's/\\//g' | grep -oE -- '-{1,2}[a-z?][a-z?-]*' | sort -u)
[ "$help_options" = "$man_options" ] ||
    { echo "FAIL: options: --help has [$(echo $help_options)], the man page [$(echo $man_options)]"; failed=1; }
help_env=$(sed -n '/^Environment:/,/^$/p' "$out" | grep -oE '^  [A-Z_]+' | tr -d ' ' | sort -u)
man_env=$(sed -n '/^\.SH ENVIRONMENT/,/^\.SH /p' "$manpage" | sed -n 's/^\.B \([A-Z_]*\)$/\1/p' | sort -u)
[ -n "$help_env" ] && [ "$help_env" = "$man_env" ] ||
    { echo "FAIL: environment: --help has [$(echo $help_env)], the man page [$(echo $man_env)]"; failed=1; }
# What the man page says of a value PACKWARDEN_SERVER cannot use is what the program does.
grep -q "default server is used" "$manpage" &&
    { echo "FAIL: the man page says an unusable PACKWARDEN_SERVER falls back to the default"; failed=1; }
grep -q "exits with status 2" "$manpage" ||
    { echo "FAIL: the man page does not say that usage errors exit with status 2"; failed=1; }

[ $failed -eq 0 ] && echo "command line: all checks passed"
exit $failed
