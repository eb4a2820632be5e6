#!/usr/bin/env bash
# Builds build-windows/Larkspur Installer.exe: one self-contained 64-bit Windows program, cross-built
# with Debian's MinGW-w64 against static builds of Qt, OpenSSL, zlib and minizip made from Debian's
# own source packages.
#
# Those builds are kept in a cache outside the work tree, one folder per set of versions
# (LARKSPUR_WINDOWS_CACHE, default /var/cache/larkspur-windows), so only the first run pays for
# them: most of an hour on two cores, three quarters of it Qt.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/dependencies.sh
install_missing_packages "${BUILD_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"

say()
{
    echo "windows.sh: $*"
}

cache_root=${LARKSPUR_WINDOWS_CACHE:-/var/cache/larkspur-windows}
sources=(qtbase-opensource-src openssl zlib)
jobs=$(nproc)

# Debian's source packages through a private sources list and lists folder, so the machine's apt
# setup stays as it is. Only the main archive serves source packages here, not the security one.
apt_dir=$cache_root/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/parts"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$apt_dir/sources.list" <<EOF
deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm main
deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm-updates main
EOF
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
    -o "Dir::State::Lists=$apt_dir/lists" -o "APT::Sandbox::User=root")
say "looking up Debian's source packages"
if ! apt-get "${apt_options[@]}" update -qq; then
    # Offline, the lists of an earlier run still name the versions the cache was built from.
    ls "$apt_dir"/lists/*Sources* >/dev/null 2>&1 || exit 1
    say "could not reach Debian's archive; using the package lists of an earlier run"
fi

# The version apt would fetch, read from the name of its .dsc file.
source_version()
{
    apt-get "${apt_options[@]}" --print-uris source "$1" 2>/dev/null |
        sed -n "s/^'[^']*' $1_\(.*\)\.dsc .*/\1/p"
}

versions=""
for package in "${sources[@]}"; do
    version=$(source_version "$package")
    if [ -z "$version" ]; then
        say "Debian's archive offers no source package $package"
        exit 1
    fi
    versions+="${package%%-*}-${version}_"
done
cache=$cache_root/${versions}mingw-$(x86_64-w64-mingw32-gcc-posix -dumpversion)
prefix=$cache/prefix

fetch_sources()
{
    mkdir -p "$cache/src"
    say "fetching ${sources[*]}"
    (cd "$cache/src" && apt-get "${apt_options[@]}" source -qq "${sources[@]}")
}

# Qt's build names its compilers by a prefix; this one leads to the posix thread model, which
# std::thread and Qt's own threads need.
make_toolchain_links()
{
    mkdir -p "$cache/bin"
    local tool
    for tool in gcc g++; do
        ln -sf "/usr/bin/x86_64-w64-mingw32-$tool-posix" "$cache/bin/x86_64-w64-mingw32-$tool"
    done
    for tool in ar ranlib windres strip objcopy nm ld; do
        ln -sf "/usr/bin/x86_64-w64-mingw32-$tool" "$cache/bin/x86_64-w64-mingw32-$tool"
    done
}

build_zlib_and_minizip()
{
    local src
    src=$(find "$cache/src" -maxdepth 1 -type d -name 'zlib-*' | head -n 1)
    local work=$cache/work/zlib
    mkdir -p "$work" "$prefix/lib/pkgconfig" "$prefix/include/minizip"
    say "building zlib and minizip"
    # Debian's tarball has no win32/ makefile: the sources are compiled directly.
    local cc=(x86_64-w64-mingw32-gcc-posix -O2 -I"$src")
    local file
    for file in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
        inflate inftrees trees uncompr zutil; do
        "${cc[@]}" -c "$src/$file.c" -o "$work/$file.o"
    done
    x86_64-w64-mingw32-ar rcs "$prefix/lib/libz.a" "$work"/*.o
    cp "$src/zlib.h" "$src/zconf.h" "$prefix/include/"
    for file in ioapi unzip zip; do
        "${cc[@]}" -c "$src/contrib/minizip/$file.c" -o "$work/minizip-$file.o"
        cp "$src/contrib/minizip/$file.h" "$prefix/include/minizip/"
    done
    cp "$src/contrib/minizip/crypt.h" "$prefix/include/minizip/"
    x86_64-w64-mingw32-ar rcs "$prefix/lib/libminizip.a" "$work"/minizip-*.o
    cat >"$prefix/lib/pkgconfig/minizip.pc" <<EOF
prefix=$prefix
Name: minizip
Description: zip and unzip on top of zlib (MinGW-w64, static)
Version: 1.1
Cflags: -I\${prefix}/include/minizip -I\${prefix}/include
Libs: -L\${prefix}/lib -lminizip -lz
EOF
}

build_openssl()
{
    local src
    src=$(find "$cache/src" -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
    say "configuring OpenSSL"
    (cd "$src" && ./Configure mingw64 no-shared no-tests --prefix="$prefix" --libdir=lib \
        --cross-compile-prefix="$cache/bin/x86_64-w64-mingw32-" >"$cache/openssl-configure.log")
    say "building OpenSSL (log: $cache/openssl-build.log)"
    make -C "$src" -j "$jobs" build_libs >"$cache/openssl-build.log" 2>&1
    make -C "$src" install_dev >>"$cache/openssl-build.log" 2>&1
}

build_qt()
{
    local src
    src=$(find "$cache/src" -maxdepth 1 -type d -name 'qtbase-opensource-src-*' | head -n 1)
    local work=$cache/work/qtbase
    mkdir -p "$work"
    say "configuring Qt (log: $cache/qt-configure.log)"
    # Debian's tarball has no src/3rdparty/wintab, which tablet events need.
    (cd "$work" && "$src/configure" -prefix "$prefix" -xplatform win32-g++ \
        -device-option CROSS_COMPILE="$cache/bin/x86_64-w64-mingw32-" \
        -release -static -opensource -confirm-license -nomake examples -nomake tests \
        -no-opengl -no-dbus -no-icu -no-fontconfig -no-feature-tabletevent -no-feature-sql \
        -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz \
        -openssl-linked -I "$prefix/include" -L "$prefix/lib" \
        OPENSSL_LIBS="-lssl -lcrypto -lws2_32 -lcrypt32 -lgdi32 -luser32 -ladvapi32" \
        >"$cache/qt-configure.log" 2>&1)
    say "building Qt: the longest step, about 20 minutes on two cores (log: $cache/qt-build.log)"
    make -C "$work" -j "$jobs" >"$cache/qt-build.log" 2>&1
    make -C "$work" install >>"$cache/qt-build.log" 2>&1
}

if [ -f "$cache/complete" ]; then
    say "using the Windows builds of Qt, OpenSSL, zlib and minizip in $cache"
else
    say "building Qt, OpenSSL, zlib and minizip for Windows once, into $cache"
    started=$SECONDS
    rm -rf "$cache"
    mkdir -p "$cache"
    make_toolchain_links
    fetch_sources
    build_zlib_and_minizip
    build_openssl
    build_qt
    rm -rf "$cache/work" "$cache/src"
    touch "$cache/complete"
    say "the Windows builds took $((SECONDS - started)) s"
fi

build_dir=${BUILD_DIR:-build-windows}
say "building the program in $build_dir"
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DLARKSPUR_WINDOWS_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
    -DLARKSPUR_WERROR=ON -DLARKSPUR_TESTS=OFF -DLARKSPUR_BENCHMARKS=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs" --target larkspur-installer
say "built $(realpath "$build_dir")/Larkspur Installer.exe"
