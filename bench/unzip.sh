#!/usr/bin/env bash
# Extraction speed: the installer's Unzipper against Info-ZIP unzip and Python's zipfile, on one
# archive holding a single deflated entry, half random bytes and half text. The three take turns
# for each round; the script prints every round, the medians, the ratios, and our peak resident
# memory against the same program's idle size.
#   UNZIP_BENCH_MIB     size of the entry in MiB (default 1024)
#   UNZIP_BENCH_ROUNDS  rounds (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

size_mib=${UNZIP_BENCH_MIB:-1024}
rounds=${UNZIP_BENCH_ROUNDS:-5}
build_dir=build-bench
work="$build_dir/unzip"

build_release "$build_dir" benchunzip
driver="$build_dir/bench/benchunzip"

mkdir -p "$work"
archive="$work/payload-${size_mib}MiB.zip"
if [ ! -f "$archive" ]; then
    echo "Generating $archive"
    python3 - "$archive" "$size_mib" <<'EOF'
import os, random, sys, zipfile
path, size_mib = sys.argv[1], int(sys.argv[2])
text = b"".join(b"%08d installer payload line, compressible as text is\n" % i for i in range(20000))
generator = random.Random(20240601)
with zipfile.ZipFile(path + ".partial", "w", zipfile.ZIP_DEFLATED) as archive:
    with archive.open("payload.bin", "w") as entry:
        # 1 MiB blocks taking turns, so the entry is half random and half text all the way.
        for block in range(size_mib):
            if block % 2 == 0:
                entry.write(generator.randbytes(1 << 20))
            else:
                entry.write(text[: 1 << 20])
os.replace(path + ".partial", path)
EOF
fi
expected_size=$((size_mib * 1024 * 1024))


run_ours() { "$driver" "$archive" payload.bin "$1" >"$work/peak.txt"; }
run_unzip() { unzip -o -q "$archive" payload.bin -d "$1"; }
run_python() {
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extract("payload.bin", sys.argv[2])' \
        "$archive" "$1"
}

declare -A times
peak_kib=0
for round in $(seq 1 "$rounds"); do
    line="round $round:"
    # The tools take turns at going first, so that none always runs right after the same other.
    tools=(ours unzip python)
    shift_by=$(((round - 1) % 3))
    order=("${tools[@]:shift_by}" "${tools[@]:0:shift_by}")
    for tool in "${order[@]}"; do
        out="$work/out-$tool"
        rm -rf "$out"
        mkdir -p "$out"
        start=$(seconds_now)
        "run_$tool" "$out"
        end=$(seconds_now)
        size=$(stat -c %s "$out/payload.bin")
        if [ "$size" -ne "$expected_size" ]; then
            echo "$tool wrote $size bytes, expected $expected_size" >&2
            exit 1
        fi
        rm -rf "$out"
        elapsed=$(calculate "$end - $start")
        times[$tool]+="$elapsed "
        line+=$(printf '  %s %.3f s' "$tool" "$elapsed")
        if [ "$tool" = ours ]; then
            kib=$(awk '{print $2}' "$work/peak.txt")
            if [ "$kib" -gt "$peak_kib" ]; then
                peak_kib=$kib
            fi
        fi
    done
    echo "$line"
done

ours=$(median "${times[ours]}")
unzip_median=$(median "${times[unzip]}")
python_median=$(median "${times[python]}")
idle_kib=$("$driver" --idle | awk '{print $2}')

echo "entry: ${size_mib} MiB, rounds: $rounds"
printf 'median: ours %.3f s, unzip %.3f s, python %.3f s\n' "$ours" "$unzip_median" "$python_median"
printf 'ratio ours/unzip: %.2f (goal <= 0.5)\n' "$(calculate "$ours / $unzip_median")"
printf 'ratio ours/python: %.2f (goal <= 1.0)\n' "$(calculate "$ours / $python_median")"
printf 'peak resident: %d KiB, idle %d KiB, above idle %.1f MiB (goal <= 16)\n' \
    "$peak_kib" "$idle_kib" "$(calculate "($peak_kib - $idle_kib) / 1024")"
