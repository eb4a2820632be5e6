#!/usr/bin/env bash
# Takes every picture in docs/images from the real program, each on an X server of its own
# (scripts/screenshot/capture.py): on Linux the window at 100 % and 200 % as it first shows, half
# way through a download, and a failure box over it; under Wine, with the Windows program that
# scripts/windows.sh cross-built, the window half way through and the failure box. The fonts the
# style sheets name are not packaged for Debian: Qt substitutes DejaVu Sans on Linux, Wine its own.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/dependencies.sh
install_missing_packages "${BUILD_PACKAGES[@]}" "${SCREENSHOT_PACKAGES[@]}"

build_dir=${BUILD_DIR:-build}
windows_program=${WINDOWS_PROGRAM:-$build_dir-windows/Larkspur Installer.exe}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target larkspur-installer

# capture NAME [capture.py options] -- PROGRAM ARGUMENT...
capture()
{
    local name=$1
    shift
    timeout 180 python3 scripts/screenshot/capture.py --output "docs/images/$name.png" "$@"
    echo "docs/images/$name.png"
}
window='^Installing update'
box='^Larkspur Installer$'
program=("$build_dir/Larkspur Installer" x)

mkdir -p docs/images
capture window --title "$window" -- "${program[@]}" "{server}/silent/Update.zip"
capture window-200 --dpi 192 --title "$window" -- "${program[@]}" "{server}/silent/Update.zip"
capture downloading --title "$window" -- "${program[@]}" "{server}/Update.zip"
capture failure --wait "$box" --title "$window" -- "${program[@]}" "{server}/Missing.zip"

if [ ! -f "$windows_program" ]; then
    echo "No $windows_program (scripts/windows.sh builds it): the pictures under Wine stay."
    exit 0
fi
# A Wine prefix of the script's own, made anew by the first picture under Wine.
prefix=$build_dir/screenshot-wineprefix
rm -rf "$prefix"
capture downloading-windows --wine "$prefix" --title "$window" -- "$windows_program" x \
    "{server}/Update.zip"
capture failure-windows --wine "$prefix" --wait "$box" --title "$window" -- "$windows_program" x \
    "{server}/Missing.zip"
