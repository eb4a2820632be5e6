#!/usr/bin/env bash
# The Windows build as a fresh machine meets it: scripts/windows.sh with an empty cache of its
# own (fetching the sources included), then the program once more with a link map. Prints the
# time of each stage as the script reported it, against the 15 minutes the libraries may take;
# the program's size, against its 10 MiB; and the libraries and object files it is made of, the
# largest first. The cache and the builds are removed at the end.
#
# WINDOWS_BENCH_WORK names the folder to build in (default: a new one under /var/tmp), and
# WINDOWS_BENCH_ROWS how many contributors are listed (default 15).
set -euo pipefail
cd "$(dirname "$0")/.."
work=${WINDOWS_BENCH_WORK:-$(mktemp -d /var/tmp/larkspur-windows-bench.XXXXXX)}
rows=${WINDOWS_BENCH_ROWS:-15}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
started=$SECONDS
LARKSPUR_WINDOWS_CACHE=$work/cache BUILD_DIR=$work/program scripts/windows.sh 2>&1 |
    tee "$work/windows.log" | grep '^windows\.sh: '
total=$((SECONDS - started))
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "stage times:"
sed -n 's/^windows\.sh: \(.*\) took \([0-9]*\) s$/  \2 s  \1/p' "$work/windows.log"
libraries=$(sed -n 's/^windows\.sh: the Windows builds took \([0-9]*\) s$/\1/p' "$work/windows.log")
awk -v s="$libraries" 'BEGIN { printf "  the libraries: %d s, %.3f of the 900 s they may take\n", s, s / 900 }'
echo "  the whole run: $total s"

program="$work/program/Larkspur Installer.exe"
size=$(stat -c %s "$program")
awk -v b="$size" 'BEGIN { printf "\nprogram: %d bytes (%.2f MiB), %.3f of the 10 MiB it may take\n",
    b, b / 1048576, b / 10485760 }'

# The same program linked again with a map of where each byte comes from.
prefix=$(sed -n 's/^LARKSPUR_WINDOWS_PREFIX:[A-Z]*=//p' "$work/program/CMakeCache.txt")
cmake -S . -B "$work/mapped" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DLARKSPUR_WINDOWS_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DLARKSPUR_TESTS=OFF \
    -DLARKSPUR_BENCHMARKS=OFF "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-Map=$work/program.map" >/dev/null
cmake --build "$work/mapped" -j "$(nproc)" --target larkspur-installer >/dev/null
echo
/usr/bin/python3 bench/linkmap.py "$work/program.map" "$rows"
