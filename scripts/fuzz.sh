#!/usr/bin/env bash
# Fuzzes the archive extractor with libFuzzer (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# for SECONDS (default 600). It starts from the seed corpus in tests/fuzz/corpus and keeps what
# it learns in build-fuzz/corpus; an input that crashes the extractor or breaks its promise is
# written to tests/fuzz/regressions/, which the ordinary tests replay. Further arguments go to
# libFuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/dependencies.sh
install_missing_packages "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"

seconds=${1:-600}
shift || true
build_dir=build-fuzz

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DLARKSPUR_FUZZ=ON -DLARKSPUR_TESTS=OFF \
    -DLARKSPUR_BENCHMARKS=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target fuzz_unzipper

mkdir -p "$build_dir/corpus" tests/fuzz/regressions
"$build_dir/tests/fuzz/fuzz_unzipper" -max_total_time="$seconds" -max_len=4096 -timeout=20 \
    -rss_limit_mb=2048 -dict=tests/fuzz/zip.dict -artifact_prefix=tests/fuzz/regressions/ \
    -print_final_stats=1 "$@" "$build_dir/corpus" tests/fuzz/corpus
