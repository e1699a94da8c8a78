# SPDX-License-Identifier: MIT
# The environment every Wine prefix of ours runs in (sourced): quiet, no offer to install Mono or
# Gecko, and no menu entries or file associations written into this desktop from a prefix that
# exists only for a test, a package check or a screenshot.
export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="
