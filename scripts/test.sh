#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test: once in a
# normal build, once more under AddressSanitizer and UndefinedBehaviorSanitizer. The normal run
# also runs the Windows program, cross-built by scripts/windows.sh, under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/dependencies.sh
install_missing_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

build_dir=${BUILD_DIR:-build}
jobs=$(nproc)

# Builds Qt, OpenSSL, zlib and minizip for Windows first when its cache lacks them, which takes
# tens of minutes once; it says so.
BUILD_DIR="$build_dir-windows" scripts/windows.sh
windows_program=$(realpath "$build_dir-windows/Larkspur Installer.exe")

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLARKSPUR_WERROR=ON \
    -DLARKSPUR_WINDOWS_INSTALLER="$windows_program"
cmake --build "$build_dir" -j "$jobs"
ctest --test-dir "$build_dir" --output-on-failure

# The Windows program has no sanitizers; its run under Wine belongs to the first build only.
cmake -S . -B "$build_dir-sanitize" -DCMAKE_BUILD_TYPE=Debug -DLARKSPUR_WERROR=ON \
    -DLARKSPUR_SANITIZE=ON -DLARKSPUR_BENCHMARKS=OFF -DLARKSPUR_WINDOWS_INSTALLER=
cmake --build "$build_dir-sanitize" -j "$jobs"
ctest --test-dir "$build_dir-sanitize" --output-on-failure
