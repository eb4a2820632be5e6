#!/usr/bin/env bash
# A large update continued by a later start: the program downloads an installer served by nginx
# at a fixed rate, is killed once half of it has arrived, and is started again, which continues
# the download and installs. Against curl, killed at the same point and continued with -C -.
# Prints every round and the medians of: the bytes the second start received over the bytes
# still missing when the first was killed (goal: at most 1.02), the second start's time over half
# of a full download's (goal: at most 1.1), and how fast the second start hashed the part it kept
# (its URL carries the digest), against sha256sum of the same bytes.
#   RESUME_BENCH_MIB     size of the installer, in MiB (default 1024)
#   RESUME_BENCH_RATE    nginx's rate per connection (default 50m, 50 MB/s)
#   RESUME_BENCH_ROUNDS  rounds (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

size_mib=${RESUME_BENCH_MIB:-1024}
rate=${RESUME_BENCH_RATE:-50m}
rounds=${RESUME_BENCH_ROUNDS:-5}
build_dir=build-bench-resume
work=$(realpath -m "$build_dir/resume")

build_release "$build_dir" larkspur-installer fakeinstaller

# The fake installer followed by random bytes up to the size, which a program never loads. Kept
# between runs.
served="$work/served"
installer="$served/Update.exe"
size=$((size_mib * 1024 * 1024))
mkdir -p "$served"
if [ "$(stat -c %s "$installer" 2>/dev/null || echo 0)" -ne "$size" ]; then
    echo "Generating $installer"
    cp "$build_dir/tests/fakeinstaller/fakeinstaller" "$installer.partial"
    head -c $((size - $(stat -c %s "$installer.partial"))) /dev/urandom >>"$installer.partial"
    mv "$installer.partial" "$installer"
fi
digest=$(sha256sum "$installer" | cut -d ' ' -f 1)

start_nginx "$served" "$work/nginx" "limit_rate $rate;" "access_log $work/nginx/access.log timed;"
url="$nginx_url/Update.exe"

# Waits until the file $1 holds half of the update, then kills the process $2 at once, or what
# it runs when it is timeout.
kill_at_half()
{
    while [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -lt $((size / 2)) ]; do
        kill -0 "$2" 2>/dev/null || { echo "ended before half of the update had come" >&2; exit 1; }
        sleep 0.01
    done
    pkill -KILL -P "$2" || kill -KILL "$2"
    wait "$2" 2>/dev/null || true
}

# Runs the program in a fresh folder of its own; sets run_ms. With "kill", kills it at half.
folder="$work/program"
run_program()
{
    local status=0 start end
    cp "$build_dir/Larkspur Installer" "$folder/"
    start=$(nanoseconds_now)
    QT_QPA_PLATFORM=offscreen timeout 600 "$folder/Larkspur Installer" x "$url#sha256=$digest" \
        >/dev/null 2>&1 &
    local program=$!
    if [ "${1:-}" = kill ]; then
        kill_at_half "$folder/Update.exe.part" "$program"
        return
    fi
    wait "$program" || status=$?
    end=$(nanoseconds_now)
    if [ "$status" -ne 0 ] || [ "$(ls "$folder")" != "Larkspur Installer" ]; then
        echo "The update did not go through (status $status): $(ls "$folder" | tr '\n' ' ')" >&2
        exit 1
    fi
    run_ms=$(((end - start) / 1000000))
    second_start=$start
}

# The last request nginx logged: sets request_start_ns, request_range_from and request_bytes.
last_request()
{
    local msec duration range
    read -r msec duration range request_bytes < <(tail -n 1 "$work/nginx/access.log")
    request_start_ns=$(awk "BEGIN { printf \"%.0f\", ($msec - $duration) * 1000000000 }")
    range=${range//\"/}
    range=${range#bytes=}
    request_range_from=${range%-}
    request_range_from=${request_range_from:-0}
}

received_ratios=()
time_ratios=()
hash_speeds=()
curl_received_ratios=()
curl_time_ratios=()
sha256sum_speeds=()
echo "Update of $size_mib MiB at $rate/s, killed at half and started again, $rounds rounds"
for round in $(seq 1 "$rounds"); do
    rm -rf "$folder"
    mkdir -p "$folder"
    run_program
    full_ms=$run_ms

    run_program kill
    missing=$((size - $(stat -c %s "$folder/Update.exe.part")))
    run_program
    last_request
    received=$request_bytes
    received_ratios+=("$(ratio "$received" "$missing")")
    time_ratios+=("$(ratio "$run_ms" "$((full_ms / 2))")")
    # From the second start to its request: start-up, the kept part read back and hashed.
    hash_ms=$(((request_start_ns - second_start) / 1000000))
    hash_speeds+=("$(ratio "$request_range_from" "$((hash_ms * 1000000))")")

    # curl, killed at the same point, continued where its file ends.
    curl_file="$work/curl/Update.exe"
    rm -rf "$work/curl"
    mkdir -p "$work/curl"
    start=$(nanoseconds_now)
    curl -s -o "$curl_file" "$url"
    curl_full_ms=$((($(nanoseconds_now) - start) / 1000000))
    rm -f "$curl_file"
    curl -s -o "$curl_file" "$url" &
    kill_at_half "$curl_file" $!
    curl_missing=$((size - $(stat -c %s "$curl_file")))
    kept=$((size - curl_missing))
    start=$(nanoseconds_now)
    curl -s -C - -o "$curl_file" "$url"
    curl_ms=$((($(nanoseconds_now) - start) / 1000000))
    last_request
    curl_received_ratios+=("$(ratio "$request_bytes" "$curl_missing")")
    curl_time_ratios+=("$(ratio "$curl_ms" "$((curl_full_ms / 2))")")
    cmp -s "$curl_file" "$installer" || { echo "curl's file is not the served one" >&2; exit 1; }
    start=$(nanoseconds_now)
    head -c "$kept" "$curl_file" | sha256sum >/dev/null
    sha256sum_speeds+=("$(ratio "$kept" "$(($(nanoseconds_now) - start))")")

    echo "round $round: full $full_ms ms, second start $run_ms ms (time ratio ${time_ratios[-1]})," \
        "received $received of $missing missing bytes (${received_ratios[-1]})," \
        "kept part hashed at ${hash_speeds[-1]} GB/s; curl: time ratio ${curl_time_ratios[-1]}," \
        "received ratio ${curl_received_ratios[-1]}, sha256sum ${sha256sum_speeds[-1]} GB/s"
done

echo "median bytes received / missing: $(median "${received_ratios[*]}") (goal: at most 1.02);" \
    "curl -C -: $(median "${curl_received_ratios[*]}")"
echo "median second start / half a download: $(median "${time_ratios[*]}") (goal: at most 1.1);" \
    "curl -C -: $(median "${curl_time_ratios[*]}")"
echo "median hash of the kept part: $(median "${hash_speeds[*]}") GB/s (start-up included);" \
    "sha256sum: $(median "${sha256sum_speeds[*]}") GB/s"
