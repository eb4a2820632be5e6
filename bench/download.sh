#!/usr/bin/env bash
# Download speed and memory: the installer's FileDownloader against curl, both fetching one file
# of random bytes from nginx on 127.0.0.1 (started here with its own configuration and stopped
# at the end). The two take turns for each round; the script prints every round, the medians,
# their ratio, and our peak resident memory for this file and for a 16 MiB one. Then both fetch
# the file through a proxy that cuts the first connection at a random point, the same for both
# in a round: ours resumes by itself, curl with --retry 3 --retry-all-errors -C -.
#   DOWNLOAD_BENCH_MIB     size of the file in MiB (default 1024)
#   DOWNLOAD_BENCH_ROUNDS  rounds (default 5)
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source bench/common.sh

size_mib=${DOWNLOAD_BENCH_MIB:-1024}
rounds=${DOWNLOAD_BENCH_ROUNDS:-5}
small_mib=16
build_dir=build-bench
work="$PWD/$build_dir/download"

build_release "$build_dir" benchdownload
driver="$build_dir/bench/benchdownload"

mkdir -p "$work/www"
for mib in "$size_mib" "$small_mib"; do
    file="$work/www/random-${mib}MiB.bin"
    if [ ! -f "$file" ]; then
        echo "Generating $file"
        head -c $((mib * 1024 * 1024)) /dev/urandom >"$file.partial"
        mv "$file.partial" "$file"
    fi
done

start_nginx "$work/www" "$work"

run_ours() { "$driver" "$1" "$2" >"$work/peak.txt"; }
run_curl() { curl -s -f -o "$2/$(basename "$1")" "$1"; }
run_ours_cut() { run_ours "$@"; }
run_curl_cut() { curl -s -f --retry 3 --retry-all-errors -C - -o "$2/$(basename "$1")" "$1"; }

# Downloads with one tool into a fresh folder from $3 (default nginx), checks the size, and the
# bytes too for a download through the cutting proxy, and prints the seconds taken.
timed_download() {
    local tool=$1 mib=$2 base=${3:-$nginx_url}
    local url="$base/random-${mib}MiB.bin"
    local out="$work/out-$tool"
    rm -rf "$out"
    mkdir -p "$out"
    local start end size
    start=$(seconds_now)
    "run_$tool" "$url" "$out"
    end=$(seconds_now)
    size=$(stat -c %s "$out/random-${mib}MiB.bin")
    if [ "$size" -ne $((mib * 1024 * 1024)) ] ||
        { [ "$base" != "$nginx_url" ] && ! cmp -s "$out/random-${mib}MiB.bin" "$work/www/random-${mib}MiB.bin"; }; then
        echo "$tool wrote $size bytes, expected the $((mib * 1024 * 1024)) of the file" >&2
        exit 1
    fi
    rm -rf "$out"
    calculate "$end - $start"
}

declare -A times
peak_kib=0
peaks=""
for round in $(seq 1 "$rounds"); do
    line="round $round:"
    # Each tool goes first in every other round, so neither always follows the other's clean-up.
    order="ours curl"
    if [ $((round % 2)) -eq 0 ]; then
        order="curl ours"
    fi
    for tool in $order; do
        elapsed=$(timed_download "$tool" "$size_mib")
        times[$tool]+="$elapsed "
        line+=$(printf '  %s %.3f s' "$tool" "$elapsed")
        if [ "$tool" = ours ]; then
            kib=$(awk '{print $2}' "$work/peak.txt")
            line+=" (${kib} KiB)"
            peaks+="$kib "
            if [ "$kib" -gt "$peak_kib" ]; then
                peak_kib=$kib
            fi
        fi
    done
    echo "$line"
done

# The small download's peak varies from run to run as much as the large one's, so both sides
# of the comparison are medians over the same number of runs.
small_peaks=""
for _ in $(seq 1 "$rounds"); do
    timed_download ours "$small_mib" >/dev/null
    small_peaks+="$(awk '{print $2}' "$work/peak.txt") "
done

ours=$(median "${times[ours]}")
curl_median=$(median "${times[curl]}")

echo "file: ${size_mib} MiB, rounds: $rounds"
printf 'median: ours %.3f s, curl %.3f s\n' "$ours" "$curl_median"
printf 'ratio ours/curl: %.2f (goal <= 0.5)\n' "$(calculate "$ours / $curl_median")"
median_peak=$(median "$peaks")
small_kib=$(median "$small_peaks")
printf 'peak resident: at most %d KiB (goal <= 49152), median %d KiB\n' "$peak_kib" "$median_peak"
printf 'median peak for %d MiB: %d KiB; the large file needs %.1f MiB more (goal <= 8)\n' \
    "$small_mib" "$small_kib" "$(calculate "($median_peak - $small_kib) / 1024")"

# The cut download: a proxy of our own drops the first connection after a random share of the
# file (between a tenth and nine tenths), then lets the retry through.
cut_times_ours=""
cut_times_curl=""
size_bytes=$((size_mib * 1024 * 1024))
for round in $(seq 1 "$rounds"); do
    cut=$(((RANDOM * 32768 + RANDOM) % (size_bytes * 8 / 10) + size_bytes / 10))
    line="cut round $round at $cut bytes:"
    order="ours curl"
    if [ $((round % 2)) -eq 0 ]; then
        order="curl ours"
    fi
    for tool in $order; do
        rm -f "$work/proxy-port"
        timeout 900 python3 bench/cutproxy.py "${nginx_url##*:}" "$cut" >"$work/proxy-port" &
        proxy_pid=$!
        for _ in $(seq 100); do
            [ -s "$work/proxy-port" ] && break
            sleep 0.1
        done
        elapsed=$(timed_download "${tool}_cut" "$size_mib" "http://127.0.0.1:$(cat "$work/proxy-port")")
        kill "$proxy_pid" 2>/dev/null || true
        wait "$proxy_pid" 2>/dev/null || true
        if [ "$tool" = ours ]; then
            cut_times_ours+="$elapsed "
        else
            cut_times_curl+="$elapsed "
        fi
        line+=$(printf '  %s %.3f s' "$tool" "$elapsed")
    done
    echo "$line"
done
cut_ours=$(median "$cut_times_ours")
cut_curl=$(median "$cut_times_curl")
printf 'cut once: median ours %.3f s, curl --retry 3 --retry-all-errors -C - %.3f s, ratio %.2f\n' \
    "$cut_ours" "$cut_curl" "$(calculate "$cut_ours / $cut_curl")"
