# SPDX-License-Identifier: MIT
# The environment every Wine prefix of ours runs in (sourced): quiet, no offer to install Mono or
# Gecko, and no menu entries or file associations written into this desktop from a prefix that
# exists only for a test, a package check or a screenshot; and how a prefix's server stops.
export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="

# wine_stop_server: stops the prefix's wineserver, and with it every program it serves, and
# waits until it has gone.
wine_stop_server() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}
