#!/usr/bin/env bash
# Builds build-windows/Larkspur Installer.exe: one self-contained 64-bit Windows program, cross-built
# with Debian's MinGW-w64 against static builds of Qt, OpenSSL, zlib and minizip made from Debian's
# own source packages.
#
# Those builds are kept in a cache outside the work tree, one folder per set of versions and build
# options (LARKSPUR_WINDOWS_CACHE; by default /var/cache/larkspur-windows for root, else
# ~/.cache/larkspur-windows), so only the first run pays for them. Runs take turns on the cache.
# LARKSPUR_SIGNING_PFX, LARKSPUR_SIGNING_PASSWORD and LARKSPUR_TIMESTAMP_URL sign the program.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/dependencies.sh
install_missing_packages "${BUILD_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"

say()
{
    echo "windows.sh: $*"
}

# Shared by every checkout on the machine; a user without root keeps one in their own cache.
if [ "$(id -u)" -eq 0 ]; then
    cache_root=${LARKSPUR_WINDOWS_CACHE:-/var/cache/larkspur-windows}
else
    cache_root=${LARKSPUR_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/larkspur-windows}
fi
sources=(qtbase-opensource-src openssl zlib)
jobs=$(nproc)
mkdir -p "$cache_root"

# One run at a time: a second run (a test run beside a benchmark, two CI jobs) waits here rather
# than rebuild or read a cache the first is writing, or build the program into the same folder.
exec {cache_lock}>"$cache_root/lock"
if ! flock --nonblock "$cache_lock"; then
    say "waiting for another windows.sh run to finish with $cache_root"
    flock "$cache_lock"
fi

# Debian's source packages through private sources lists and lists folders, so the machine's apt
# setup stays as it is. The security archive comes first: the OpenSSL in the shipped program
# should carry its fixes whenever that archive serves them.
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
declare -A archive_lines=(
    [security]="deb-src [signed-by=$keyring] http://deb.debian.org/debian-security bookworm-security main"
    [main]="deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm main
deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm-updates main"
)
archives=(security main)

# apt-get or apt-cache against one archive's private setup: apt_in ARCHIVE COMMAND ARGUMENTS...
apt_in()
{
    local dir=$cache_root/apt/$1
    local command=$2
    shift 2
    "$command" -o "Dir::Etc::SourceList=$dir/sources.list" -o "Dir::Etc::SourceParts=$dir/parts" \
        -o "Dir::State::Lists=$dir/lists" -o "APT::Sandbox::User=root" "$@"
}

say "looking up Debian's source packages"
online=true
for archive in "${archives[@]}"; do
    dir=$cache_root/apt/$archive
    mkdir -p "$dir/lists/partial" "$dir/parts"
    echo "${archive_lines[$archive]}" >"$dir/sources.list"
    if ! apt_in "$archive" apt-get update -qq --error-on=any 2>/dev/null; then
        online=false
    fi
done

# The newest version an archive's lists name, epoch included; empty when they name none.
listed_version()
{
    local newest="" version
    while read -r version; do
        if [ -z "$newest" ] || dpkg --compare-versions "$version" gt "$newest"; then
            newest=$version
        fi
    done < <({ apt_in "$1" apt-cache showsrc --only-source "$2" 2>/dev/null || true; } |
        sed -n 's/^Version: //p')
    echo "$newest"
}

# Whether an archive really serves a package: an index can list a version whose files are not
# (yet) on the mirror. Only the small .dsc is fetched to find out.
serves()
{
    local probe
    probe=$(mktemp -d)
    (cd "$probe" && apt_in "$1" apt-get source --dsc-only -qq "$2=$3" >/dev/null 2>&1)
    local served=$?
    rm -rf "$probe"
    return $served
}

# Online, each package comes from the first archive that serves it, and the choice is kept.
# Offline, the choice of the last run stands, which names the cache that run built.
declare -A source_archive source_version
versions=""
for package in "${sources[@]}"; do
    choice=$cache_root/apt/$package.choice
    reason=""
    if $online; then
        chosen=""
        for archive in "${archives[@]}"; do
            listed=$(listed_version "$archive" "$package")
            if [ -z "$listed" ]; then
                reason+="the $archive archive lists no $package; "
            elif ! serves "$archive" "$package" "$listed"; then
                reason+="the $archive archive lists $package $listed but does not serve it; "
            else
                chosen="$archive $listed"
                break
            fi
        done
        if [ -z "$chosen" ]; then
            say "Debian's archive offers no source package $package (${reason%; })"
            exit 1
        fi
        echo "$chosen" >"$choice"
    elif [ -s "$choice" ]; then
        reason="Debian's archive can't be reached; the last run's choice"
    else
        say "Debian's archive can't be reached, and no earlier run chose a version of $package"
        exit 1
    fi
    read -r archive version <"$choice"
    source_archive[$package]=$archive
    source_version[$package]=$version
    say "using $package $version from the $archive archive${reason:+ (${reason%; })}"
    # make can't work in a path holding a colon, so the name leaves out the version's epoch.
    versions+="${package%%-*}-${version#*:}_"
done

fetch_sources()
{
    mkdir -p "$cache/src"
    say "fetching ${sources[*]}"
    local package
    for package in "${sources[@]}"; do
        (cd "$cache/src" &&
            apt_in "${source_archive[$package]}" apt-get source -qq "$package=${source_version[$package]}" >/dev/null)
    done
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

configure_qt()
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
        -no-opengl -no-vulkan -no-dbus -no-icu -no-fontconfig -no-freetype \
        -no-feature-tabletevent -no-feature-sql -no-feature-testlib -no-feature-concurrent \
        -no-feature-xml -no-feature-printer -no-feature-bearermanagement \
        -no-feature-graphicsview -no-feature-mdiarea -no-feature-calendarwidget \
        -no-feature-textodfwriter -no-feature-tuiotouch -no-direct2d -no-gif -no-ico -no-libjpeg \
        -qt-zlib -qt-pcre -qt-libpng -qt-harfbuzz \
        -openssl-linked -I "$prefix/include" -L "$prefix/lib" \
        OPENSSL_LIBS="-lssl -lcrypto -lws2_32 -lcrypt32 -lgdi32 -luser32 -ladvapi32" \
        >"$cache/qt-configure.log" 2>&1)
}

build_qt()
{
    local work=$cache/work/qtbase
    say "building Qt, the longest step (log: $cache/qt-build.log)"
    make -C "$work" -j "$jobs" >"$cache/qt-build.log" 2>&1
    make -C "$work" install >>"$cache/qt-build.log" 2>&1
}

# Runs one stage of the build and says how long it took, so that every first run shows where its
# minutes go.
stage()
{
    local name=$1 started=$SECONDS
    shift
    "$@"
    say "$name took $((SECONDS - started)) s"
}

# The cache is named by everything that shapes it: the source versions, the compiler and MinGW's
# own runtime, and the build steps with their options (bash prints them without comments, so a
# reworded comment rebuilds nothing).
mingw=$(x86_64-w64-mingw32-gcc-posix -dumpversion)-$(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev)
recipe=$(declare -f make_toolchain_links fetch_sources build_zlib_and_minizip build_openssl configure_qt build_qt |
    sha256sum | cut -c1-12)
cache=$cache_root/${versions}mingw-${mingw}_$recipe
prefix=$cache/prefix

if [ -f "$cache/complete" ]; then
    say "using the Windows builds of Qt, OpenSSL, zlib and minizip in $cache"
else
    say "building Qt, OpenSSL, zlib and minizip for Windows once, into $cache"
    started=$SECONDS
    rm -rf "$cache"
    mkdir -p "$cache"
    make_toolchain_links
    stage "fetching the sources" fetch_sources
    stage "zlib and minizip" build_zlib_and_minizip
    stage "OpenSSL" build_openssl
    stage "Qt's configure" configure_qt
    stage "Qt's build" build_qt
    rm -rf "$cache/work" "$cache/src"
    touch "$cache/complete"
    say "the Windows builds took $((SECONDS - started)) s"
fi

build_dir=${BUILD_DIR:-build-windows}
# CMake keeps where it found Qt and the rest: a build folder configured against another cache is
# configured anew, or it would go on linking that cache's libraries.
if [ -f "$build_dir/CMakeCache.txt" ] &&
    [ "$(sed -n 's/^Qt5_DIR:PATH=//p' "$build_dir/CMakeCache.txt")" != "$prefix/lib/cmake/Qt5" ]; then
    say "configuring $build_dir anew for this cache"
    rm -rf "$build_dir/CMakeCache.txt" "$build_dir/CMakeFiles"
fi
build_program()
{
    say "building the program in $build_dir"
    cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DLARKSPUR_WINDOWS_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DLARKSPUR_WERROR=ON -DLARKSPUR_TESTS=OFF -DLARKSPUR_BENCHMARKS=OFF >/dev/null
    cmake --build "$build_dir" -j "$jobs" --target larkspur-installer
}
stage "the program" build_program
program=$(realpath "$build_dir")/"Larkspur Installer.exe"

# A release is signed: the program then starts only installers signed by the same subject. The
# password is handed over in a file of the shell's own, never on a command line.
if [ -n "${LARKSPUR_SIGNING_PFX:-}" ]; then
    install_missing_packages osslsigncode
    say "signing the program with $LARKSPUR_SIGNING_PFX${LARKSPUR_TIMESTAMP_URL:+, time-stamped by $LARKSPUR_TIMESTAMP_URL}"
    options=(-pkcs12 "$LARKSPUR_SIGNING_PFX" -h sha256 -n "Larkspur Installer")
    if [ -n "${LARKSPUR_TIMESTAMP_URL:-}" ]; then
        options+=(-ts "$LARKSPUR_TIMESTAMP_URL")
    fi
    osslsigncode sign "${options[@]}" -readpass <(printf %s "${LARKSPUR_SIGNING_PASSWORD:-}") \
        -in "$program" -out "$program.signed" >/dev/null
    mv -f "$program.signed" "$program"
fi
say "built $program"
