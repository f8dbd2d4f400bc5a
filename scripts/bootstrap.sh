#!/bin/sh
# Installs what building and testing need, from Debian's (or Ubuntu's) archive, and only what
# is missing, so a second run does nothing. Never installs wine32: once present, 32-bit Wine
# takes over the generic loader and even 64-bit programs stop running.
set -eu

packages="cmake ninja-build g++ clang clang-tidy cppcheck lld llvm mingw-w64 wine64
          googletest libgtest-dev python3 python3-pytest openssl iproute2 util-linux locales
          mono-mcs mono-utils libbenchmark-dev nlohmann-json3-dev libclang-rt-14-dev"

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done

if [ -n "$missing" ]; then
    echo "bootstrap: installing$missing"
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "bootstrap: need root or sudo to install$missing" >&2; exit 1; }
        sudo=sudo
    fi
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# mingw-w64 has two thread models; the build needs the win32 one (the Debian default) so
# that the DLL links its runtime statically without extra DLLs.
for triple in x86_64-w64-mingw32 i686-w64-mingw32; do
    if ! "$triple-g++" -v 2>&1 | grep -q "Thread model: win32"; then
        echo "bootstrap: $triple-g++ must use the win32 thread model" \
             "(update-alternatives --set $triple-g++ /usr/bin/$triple-g++-win32)" >&2
        exit 1
    fi
done
