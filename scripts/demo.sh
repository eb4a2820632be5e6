#!/usr/bin/env bash
# The installer at work, in one command. Builds the program and a small native demo installer,
# serves an update holding that installer from an HTTP server on 127.0.0.1, slowly enough that
# the progress bar is seen moving, runs the program against it and prints what the installer
# received. Runs on the desktop, or under Xvfb when there is no display.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/dependencies.sh
install_missing_packages "${BUILD_PACKAGES[@]}" "${DEMO_PACKAGES[@]}"

build_dir=${BUILD_DIR:-build-demo}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DLARKSPUR_BENCHMARKS=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target larkspur-installer fakeinstaller

demo_dir=$(realpath "$build_dir")/demo
rm -rf "$demo_dir"
mkdir -p "$demo_dir/program" "$demo_dir/served"
# The program downloads into its own folder: this copy's folder.
cp "$build_dir/Larkspur Installer" "$demo_dir/program/"
python3 scripts/demo/makeupdate.py "$build_dir/tests/fakeinstaller/fakeinstaller" \
    "$demo_dir/served/Update.zip"

pids=()
stop_helpers()
{
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}
trap stop_helpers EXIT

wait_for_line()
{
    local file=$1
    for _ in $(seq 100); do
        if [ -s "$file" ]; then
            return 0
        fi
        sleep 0.1
    done
    echo "$2 did not start" >&2
    return 1
}

# About 4 MiB at 1 MiB a second: the download takes a few seconds.
python3 scripts/demo/updateserver.py "$demo_dir/served" --rate 1048576 --lifetime 120 \
    >"$demo_dir/port" &
pids+=($!)
wait_for_line "$demo_dir/port" "The update server"
# The digest the product would take from its update feed, checked by the program before it
# extracts anything.
digest=$(sha256sum "$demo_dir/served/Update.zip" | cut -d ' ' -f 1)
url="http://127.0.0.1:$(cat "$demo_dir/port")/Update.zip#sha256=$digest"

if [ -z "${DISPLAY:-}" ]; then
    # Without an Xft.dpi resource Qt scales the window by the DPI the server reports, which for
    # Xvfb is 100 unless told: 96 shows it at 100 %.
    Xvfb -displayfd 3 -screen 0 800x400x24 -dpi 96 -nolisten tcp 3>"$demo_dir/display" 2>/dev/null &
    pids+=($!)
    wait_for_line "$demo_dir/display" "Xvfb"
    DISPLAY=":$(cat "$demo_dir/display")"
    export DISPLAY
    echo "No display: the window is shown on Xvfb ($DISPLAY), where nobody sees it."
    if command -v import >/dev/null; then
        # A picture of the window halfway through instead.
        (sleep 2 && import -window root -trim +repage "$demo_dir/window.png" 2>/dev/null &&
            echo "A screenshot mid-download: $demo_dir/window.png") &
        pids+=($!)
    fi
fi

echo "Running: \"Larkspur Installer\" x $url"
status=0
LARKSPUR_FAKE_INSTALLER_LOG="$demo_dir/installer.log" QT_QPA_PLATFORM=xcb \
    timeout 120 "$demo_dir/program/Larkspur Installer" x "$url" || status=$?
echo "The program ended with exit code $status."

# The installer runs on after the program has ended.
for _ in $(seq 100); do
    if grep -q '^finished$' "$demo_dir/installer.log" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
if [ ! -s "$demo_dir/installer.log" ]; then
    echo "The installer was not started." >&2
    exit 1
fi
echo "The installer's record of its arguments:$(sed -n 's/^argument / /p' "$demo_dir/installer.log" | tr -d '\n')"
echo "Left in the program's folder: $(ls "$demo_dir/program" | tr '\n' ' ')"
