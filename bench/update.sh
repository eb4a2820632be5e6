#!/usr/bin/env bash
# The whole update: the program's wall time from start to exit for an update archive served by
# nginx on 127.0.0.1, against curl -o followed by unzip of the same archive. The two take turns,
# starting alternately; the script prints every round, the median ratio, and the program's peak
# resident memory for this update against its peak for a 1 KiB update on the same (offscreen)
# platform. In the same rounds the program also runs with the archive's SHA-256 in the URL, and
# the script prints the ratio with digest / without and that run's peak memory.
#   UPDATE_BENCH_MIB     size of the installer in the archive, in MiB (default 1024)
#   UPDATE_BENCH_ROUNDS  rounds (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

size_mib=${UPDATE_BENCH_MIB:-1024}
rounds=${UPDATE_BENCH_ROUNDS:-5}
build_dir=build-bench-update
work=$(realpath -m "$build_dir/update")

build_release "$build_dir" larkspur-installer fakeinstaller

served="$work/served"
mkdir -p "$served/${size_mib}MiB" "$served/1KiB"
# The installer is the fake one followed by random bytes up to the size (a program's trailing
# bytes are never loaded), so that the program really starts it. Kept between runs.
archive="$served/${size_mib}MiB/Update.zip"
if [ ! -f "$archive" ]; then
    echo "Generating $archive"
    python3 - "$build_dir/tests/fakeinstaller/fakeinstaller" "$archive" \
        $((size_mib * 1024 * 1024)) <<'PYTHON'
import os, random, sys, zipfile
installer, path, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
head = open(installer, "rb").read()
generator = random.Random(20240601)
with zipfile.ZipFile(path + ".partial", "w", zipfile.ZIP_DEFLATED) as archive:
    with archive.open("Update.exe", "w") as entry:
        entry.write(head)
        left = size - len(head)
        while left > 0:
            block = min(left, 1 << 20)
            entry.write(generator.randbytes(block))
            left -= block
os.replace(path + ".partial", path)
PYTHON
fi
# The 1 KiB update starts /bin/true through its first line; /bin/true never opens the file, so
# its removal right after the start does no harm.
python3 - "$served/1KiB/Update.zip" <<'PYTHON'
import sys, zipfile
installer = b"#!/bin/true\n".ljust(1024, b"#")
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as archive:
    archive.writestr("Update.exe", installer)
PYTHON

start_nginx "$served" "$work/nginx"
base_url=$nginx_url

# Runs a fresh copy of the program against one archive and sets program_ms and peak_kib. The
# program downloads into its own folder, so the copy sits where the download should land.
run_program()
{
    local path=$1 folder="$work/program"
    rm -rf "$folder"
    mkdir -p "$folder"
    cp "$build_dir/Larkspur Installer" "$folder/"
    local start end status=0
    start=$(nanoseconds_now)
    # A failure would wait for a click on its message box: the time limit ends it.
    QT_QPA_PLATFORM=offscreen timeout 600 /usr/bin/time -f %M -o "$work/peak.txt" \
        "$folder/Larkspur Installer" x "$base_url/$path" >/dev/null 2>&1 || status=$?
    end=$(nanoseconds_now)
    if [ "$status" -ne 0 ] || [ "$(ls "$folder")" != "Larkspur Installer" ]; then
        echo "The update $path did not go through (status $status):" \
            "$(ls "$folder" | tr '\n' ' ')" >&2
        exit 1
    fi
    program_ms=$(((end - start) / 1000000))
    peak_kib=$(tail -n 1 "$work/peak.txt")
}

run_baseline()
{
    local folder="$work/baseline"
    rm -rf "$folder"
    mkdir -p "$folder"
    local start end
    start=$(nanoseconds_now)
    curl -s -o "$folder/Update.zip" "$base_url/${size_mib}MiB/Update.zip"
    unzip -o -q "$folder/Update.zip" -d "$folder"
    end=$(nanoseconds_now)
    rm -rf "$folder"
    baseline_ms=$(((end - start) / 1000000))
}

digest=$(sha256sum "$archive" | cut -d ' ' -f 1)

run_without_digest()
{
    run_program "${size_mib}MiB/Update.zip"
    update_ms=$program_ms
    update_peak_kib=$peak_kib
}

run_with_digest()
{
    run_program "${size_mib}MiB/Update.zip#sha256=$digest"
    digest_ms=$program_ms
    digest_peak_kib=$peak_kib
}

ratios=()
peaks=()
small_peaks=()
digest_ratios=()
digest_peaks=()
echo "Update of ${size_mib} MiB, $rounds rounds (milliseconds)"
for round in $(seq 1 "$rounds"); do
    if ((round % 2)); then
        run_without_digest
        run_with_digest
        run_baseline
    else
        run_baseline
        run_with_digest
        run_without_digest
    fi
    digest_ratio=$(ratio "$digest_ms" "$update_ms")
    digest_ratios+=("$digest_ratio")
    digest_peaks+=("$digest_peak_kib")
    echo "round $round: with digest $digest_ms, ratio with / without $digest_ratio," \
        "peak ${digest_peak_kib} KiB"
    run_program 1KiB/Update.zip
    small_peak_kib=$peak_kib
    update_ratio=$(ratio "$update_ms" "$baseline_ms")
    ratios+=("$update_ratio")
    peaks+=("$update_peak_kib")
    small_peaks+=("$small_peak_kib")
    echo "round $round: program $update_ms, curl + unzip $baseline_ms, ratio $update_ratio," \
        "peak ${update_peak_kib} KiB (1 KiB update: ${small_peak_kib} KiB)"
done

update_ratio=$(median "${ratios[*]}")
peak=$(median "${peaks[*]}")
small_peak=$(median "${small_peaks[*]}")
echo "median ratio program / (curl + unzip): $update_ratio (goal: at most 0.5)"
echo "median ratio with digest / without: $(median "${digest_ratios[*]}") (goal: at most 1.1)," \
    "median peak with digest $(median "${digest_peaks[*]}") KiB"
awk "BEGIN { printf \"median peak memory: %.1f MiB, 1 KiB update %.1f MiB, difference %.1f MiB (goal: at most 16)\n\", $peak / 1024, $small_peak / 1024, ($peak - $small_peak) / 1024 }"
