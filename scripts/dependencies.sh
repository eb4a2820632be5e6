# Debian packages the project needs, and a function that installs the missing ones.
# Sourced by the scripts that build, test, benchmark and demonstrate the program.

BUILD_PACKAGES=(cmake g++ make pkg-config qtbase5-dev libminizip-dev zlib1g-dev libssl-dev)
TEST_PACKAGES=(python3 python3-pefile binutils-mingw-w64-x86-64 xvfb xdotool xclip nginx-light
    zip p7zip-full libarchive-tools
    g++-mingw-w64-x86-64-posix wine wine64
    imagemagick libxcb1-dev util-linux openssl osslsigncode x11-xserver-utils
    python3-pyatspi at-spi2-core dbus-daemon x11-utils)
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    dpkg-dev perl xz-utils)
DEMO_PACKAGES=(python3 xvfb libxcb1-dev imagemagick)
SCREENSHOT_PACKAGES=(python3 xvfb x11-xserver-utils xdotool imagemagick fonts-dejavu-core wine wine64)
BENCH_PACKAGES=(nginx-light curl unzip python3 time)
# bench/signature.sh: the Windows program and fake installer under Wine, signed.
SIGNATURE_BENCH_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 xvfb openssl osslsigncode)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

install_missing_packages()
{
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
        "${missing[@]}"
}
