#!/usr/bin/env bash
# Runs a Windows console program under Wine, in a Wine prefix of its own that is created on the
# first run. Usage: run_under_wine.sh WINE PROGRAM.exe PREFIX-DIRECTORY
# Without arguments (MinGW-w64 or Wine was missing at configure time) it reports a skip.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "MinGW-w64 or Wine is not installed: the Windows platform test is skipped."
    exit 77
fi
wine=$1
program=$2
export WINEPREFIX=$3
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko, whose installers would ask for a download, and no menu builder, which would
# write desktop entries into the user's home; a console test needs none of them.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
# Whatever Wine still writes for the user stays inside the build folder as well.
export HOME=$WINEPREFIX-home
export XDG_CONFIG_HOME=$HOME/.config XDG_DATA_HOME=$HOME/.local/share XDG_CACHE_HOME=$HOME/.cache
mkdir -p "$HOME"
wineserver="$(dirname "$wine")/wineserver"

stop_wineserver()
{
    # Ends the server of this prefix only, and with it anything the test left running there.
    "$wineserver" -k 2>/dev/null || true
}
trap stop_wineserver EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    timeout 240 "$wine" wineboot -i 2>/dev/null
fi
timeout 120 "$wine" "$program"
