# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix):
#
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DLARKSPUR_WINDOWS_PREFIX=/opt/larkspur-windows
#
# LARKSPUR_WINDOWS_PREFIX holds the static Windows builds of Qt 5.15, OpenSSL's libcrypto, zlib and
# minizip made with the same compiler (scripts/windows.sh makes them). Headers, libraries, CMake
# packages and pkg-config files are looked up there and in MinGW's own tree only, never among the
# build machine's Linux libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix thread model, which the Qt build uses: its threads and std::thread need winpthread.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# try_compile projects read this file again without the cache; they are handed the prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LARKSPUR_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${LARKSPUR_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (minizip) would otherwise describe the build machine's libraries.
if(LARKSPUR_WINDOWS_PREFIX)
    set(ENV{PKG_CONFIG_LIBDIR} "${LARKSPUR_WINDOWS_PREFIX}/lib/pkgconfig")
    set(ENV{PKG_CONFIG_PATH} "")
    # FindOpenSSL then takes the static libraries and adds the system libraries they need.
    set(OPENSSL_ROOT_DIR "${LARKSPUR_WINDOWS_PREFIX}")
    set(OPENSSL_USE_STATIC_LIBS TRUE)
endif()
