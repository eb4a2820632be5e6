#!/usr/bin/env bash
# Renders the installer window into docs/images/window.png, the picture in the README. The
# window is drawn by the program's own code under Qt's offscreen platform, so no display is
# needed. The fonts the style sheets name are not packaged for Debian; Qt substitutes DejaVu
# Sans for them, as it would on any machine without them.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/dependencies.sh
install_missing_packages "${BUILD_PACKAGES[@]}" fonts-dejavu-core

build_dir=${BUILD_DIR:-build}

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir" -j "$(nproc)" --target screenshot
mkdir -p docs/images
QT_QPA_PLATFORM=offscreen timeout 60 "$build_dir/scripts/screenshot/screenshot" docs/images/window.png
