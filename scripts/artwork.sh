#!/usr/bin/env bash
# Redraws the logo images and the program icon into resources/ from the vector drawing in
# scripts/artwork/drawartwork.cpp. The output is the same on every run, so a redraw that
# changes nothing leaves git with nothing to commit.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/dependencies.sh
install_missing_packages "${BUILD_PACKAGES[@]}"

build_dir=${BUILD_DIR:-build}

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir" -j "$(nproc)" --target artwork
"$build_dir/scripts/artwork/artwork" resources
