#!/usr/bin/env bash
# Builds build-windows/Larkspur Installer.exe: one self-contained 64-bit Windows program, cross-built
# with Debian's MinGW-w64 against static builds of Qt, OpenSSL's SHA-256, zlib and minizip made
# from Debian's own source packages.
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

# The download's digest is SHA-256 from OpenSSL's libcrypto, whose assembly uses the processor's
# SHA instructions. TLS is Windows' own (Qt's Schannel backend), so nothing else of OpenSSL is
# needed: only the five objects that the digest's functions link are built, in seconds rather
# than the minutes of the whole library, with the headers they are called through.
build_digest()
{
    local src
    src=$(find "$cache/src" -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
    say "building OpenSSL's SHA-256 (log: $cache/openssl-build.log)"
    local objects=(crypto/sha/libcrypto-lib-sha256.obj crypto/sha/libcrypto-lib-sha256-x86_64.obj
        crypto/libcrypto-lib-x86_64cpuid.obj crypto/libcrypto-lib-cpuid.obj crypto/libcrypto-lib-ctype.obj)
    (cd "$src" && ./Configure mingw64 no-shared no-tests no-dso no-autoload-config --prefix="$prefix" \
        --libdir=lib --cross-compile-prefix="$cache/bin/x86_64-w64-mingw32-" &&
        make build_generated && make -j "$jobs" "${objects[@]}") >"$cache/openssl-build.log" 2>&1
    mkdir -p "$prefix/include/openssl"
    (cd "$src" && "$cache/bin/x86_64-w64-mingw32-ar" rcs "$prefix/lib/libcrypto.a" "${objects[@]}" &&
        cp include/openssl/*.h "$prefix/include/openssl/")
}

configure_qt()
{
    local src
    src=$(find "$cache/src" -maxdepth 1 -type d -name 'qtbase-opensource-src-*' | head -n 1)
    local work=$cache/work/qtbase
    mkdir -p "$work"
    say "configuring Qt (log: $cache/qt-configure.log)"
    # A static Qt of what the program links (Core, Gui, Widgets, Network, the Windows platform
    # plugin and the Windows Vista style), and of those only the features it reaches: a main window
    # of labels, a progress bar and push buttons under style sheets, message boxes that Ctrl+C
    # copies (the clipboard converts through drag and drop's code), accessibility through Windows'
    # UI Automation, HTTP(S) and FTP through the system's proxies, settings in the registry,
    # processes. The Vista style's own code needs the line edit, spin box, combo box, input dialog,
    # radio button, tab widget and tool bar. A feature no line of ours reaches still costs bytes
    # where Qt reaches it itself: QDialog names the file and colour dialogs, QStyleFactory makes
    # Fusion, QApplication registers the state machine, every text codec is registered, the cookie
    # jar carries the list of top-level domains, QTextDocument reads Markdown. TLS is Windows' own
    # Schannel, zlib the program's own. The configure tests of what a Windows build never has
    # (X11, Linux input, D-Bus, SQL drivers, CUPS) are skipped, and qmake, configure's first
    # minute, is built on every core. Debian's tarball has no src/3rdparty/wintab, which tablet
    # events need.
    (cd "$work" && MAKEFLAGS=-j$jobs "$src/configure" -prefix "$prefix" -xplatform win32-g++ \
        -device-option CROSS_COMPILE="$cache/bin/x86_64-w64-mingw32-" \
        -release -static -optimize-size -opensource -confirm-license -nomake examples -nomake tests \
        -no-opengl -no-vulkan -no-dbus -no-icu -no-fontconfig -no-freetype -no-direct2d \
        -no-gif -no-ico -no-libjpeg -no-libmd4c -qt-pcre -qt-libpng -qt-harfbuzz -system-zlib \
        -schannel -no-openssl -I "$prefix/include" -L "$prefix/lib" \
        -no-feature-concurrent -no-feature-sql -no-feature-testlib -no-feature-xml \
        -no-feature-big_codecs -no-feature-codecs -no-feature-mimetype -no-feature-statemachine \
        -no-feature-timezone -no-feature-jalalicalendar -no-feature-hijricalendar \
        -no-feature-sharedmemory -no-feature-systemsemaphore -no-feature-commandlineparser \
        -no-feature-sha3-fast -no-feature-topleveldomain \
        -no-feature-tabletevent -no-feature-textodfwriter -no-feature-textmarkdownwriter \
        -no-feature-movie -no-feature-picture -no-feature-pdf -no-feature-printer \
        -no-feature-desktopservices -no-feature-systemtrayicon \
        -no-feature-imageformat_ppm -no-feature-imageformat_xbm \
        -no-feature-image_heuristic_mask -no-feature-image_text -no-feature-raster-64bit \
        -no-feature-style-fusion -no-feature-graphicsview \
        -no-feature-filedialog -no-feature-colordialog -no-feature-fontdialog \
        -no-feature-progressdialog -no-feature-errormessage -no-feature-wizard \
        -no-feature-calendarwidget -no-feature-fontcombobox -no-feature-completer \
        -no-feature-dockwidget -no-feature-statusbar -no-feature-sizegrip \
        -no-feature-mdiarea -no-feature-listwidget -no-feature-treewidget -no-feature-tablewidget \
        -no-feature-columnview -no-feature-undocommand -no-feature-datawidgetmapper \
        -no-feature-filesystemmodel -no-feature-splitter -no-feature-splashscreen \
        -no-feature-lcdnumber -no-feature-dial -no-feature-toolbox -no-feature-buttongroup \
        -no-feature-commandlinkbutton -no-feature-keysequenceedit -no-feature-gestures \
        -no-feature-scroller -no-feature-rubberband -no-feature-effects -no-feature-statustip \
        -no-feature-contextmenu -no-feature-formlayout \
        -no-feature-bearermanagement -no-feature-udpsocket -no-feature-dnslookup \
        -no-feature-localserver -no-feature-networkdiskcache \
        -no-feature-getifaddrs -no-feature-ipv6ifname \
        -no-eventfd -no-glib -no-inotify -no-journald -no-slog2 -no-kms -no-gbm -no-evdev \
        -no-linuxfb -no-mtdev -no-tslib -no-libinput -no-xcb -no-xkbcommon -no-eglfs -no-directfb \
        -no-openvg -no-libudev -no-zstd -no-cups -no-sql-db2 -no-sql-ibase -no-sql-mysql \
        -no-sql-oci -no-sql-odbc -no-sql-psql -no-sql-sqlite -no-sql-sqlite2 -no-sql-tds \
        >"$cache/qt-configure.log" 2>&1)
}

build_qt()
{
    local work=$cache/work/qtbase
    say "building Qt, the longest step (log: $cache/qt-build.log)"
    make -C "$work" -j "$jobs" >"$cache/qt-build.log" 2>&1
    make -C "$work" install >>"$cache/qt-build.log" 2>&1
    # Qt's network module names Windows' libraries as Windows spells them; MinGW's are in lower
    # case, which a Linux file system tells apart.
    local library
    for library in Secur32 Crypt32; do
        ln -sf "/usr/x86_64-w64-mingw32/lib/lib${library,,}.a" "$prefix/lib/lib$library.a"
    done
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
recipe=$(declare -f make_toolchain_links fetch_sources build_zlib_and_minizip build_digest configure_qt build_qt |
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
    stage "OpenSSL's SHA-256" build_digest
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
    else
        say "warning: no LARKSPUR_TIMESTAMP_URL: the signature ends when the certificate expires;" \
            "time-stamp every release"
    fi
    osslsigncode sign "${options[@]}" -readpass <(printf %s "${LARKSPUR_SIGNING_PASSWORD:-}") \
        -in "$program" -out "$program.signed" >/dev/null
    mv -f "$program.signed" "$program"
fi
say "built $program"
