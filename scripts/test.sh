#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test: once in a
# normal build, once more under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/dependencies.sh
install_missing_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

build_dir=${BUILD_DIR:-build}
jobs=$(nproc)

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLARKSPUR_WERROR=ON
cmake --build "$build_dir" -j "$jobs"
ctest --test-dir "$build_dir" --output-on-failure

cmake -S . -B "$build_dir-sanitize" -DCMAKE_BUILD_TYPE=Debug -DLARKSPUR_WERROR=ON \
    -DLARKSPUR_SANITIZE=ON -DLARKSPUR_BENCHMARKS=OFF
cmake --build "$build_dir-sanitize" -j "$jobs"
ctest --test-dir "$build_dir-sanitize" --output-on-failure
