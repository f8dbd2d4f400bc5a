#!/bin/sh
# Installs what building and testing need, from Debian's (or Ubuntu's) archive, and only what
# is missing, so a second run does nothing. Wine's 32-bit side (wine32, i386 architecture) is
# added only where the kernel executes 32-bit code (scripts/runs-32bit.sh): there the 64-bit
# loader, which every script calls directly, runs the x86 programs too. Elsewhere it is left
# out, since a wine32 that cannot run would take over the generic loader. Also generates the
# locales the tests run under.
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
# npm packs the Unity package into a tarball. Debian's npm, unless an npm is already there: a
# Node.js from elsewhere brings its own and conflicts with Debian's package.
command -v npm >/dev/null || missing="$missing npm"

sudo=""
need_root() {  # what
    if [ "$(id -u)" -ne 0 ] && [ -z "$sudo" ]; then
        command -v sudo >/dev/null || { echo "bootstrap: need root or sudo to $1" >&2; exit 1; }
        sudo=sudo
    fi
}
export DEBIAN_FRONTEND=noninteractive

# The archive's index files can be caught mid-sync ("File has unexpected size ... Mirror sync in
# progress?"), which fails the update while the other indexes arrive whole. Try again a little,
# then go on with what did arrive: the install that follows fails loudly if what it needs is
# really missing.
apt_update() {
    for pause in 5 15; do
        $sudo apt-get update -qq && return 0
        echo "bootstrap: apt-get update failed; trying again in $pause s" >&2
        sleep "$pause"
    done
    $sudo apt-get update -qq ||
        echo "bootstrap: apt-get update still fails; installing from the indexes that arrived" >&2
}

if [ -n "$missing" ]; then
    echo "bootstrap: installing$missing"
    need_root "install$missing"
    apt_update
    $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# x86 Windows programs: wine32 where 32-bit code runs.
# wine32's libraries must be the very versions of their amd64 twins. When one architecture's
# security index did not arrive (a mirror caught mid-sync), the two sides no longer match and
# apt gives up; then the release's own versions (point release and updates) are taken for both
# sides, for this one install only.
install_wine32() {
    $sudo apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null && return 0
    echo "bootstrap: wine32:i386 did not install; trying with the release's own versions on both architectures" >&2
    . /etc/os-release
    pins=$(mktemp -d)
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n\nPackage: *\nPin: release n=%s-updates\nPin-Priority: 1001\n' \
        "$VERSION_CODENAME" "$VERSION_CODENAME" >"$pins/release"
    status=0
    $sudo apt-get install -y -qq --no-install-recommends --allow-downgrades \
        -o Dir::Etc::Preferences="$pins/release" -o Dir::Etc::PreferencesParts="$pins" \
        wine32:i386 >/dev/null || status=$?
    rm -rf "$pins"
    return $status
}

here=$(cd "$(dirname "$0")" && pwd)
if "$here/runs-32bit.sh"; then
    if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
        echo "bootstrap: this machine runs 32-bit code; installing wine32:i386 (about 40 s)"
        need_root "install wine32:i386"
        $sudo dpkg --add-architecture i386
        apt_update
        install_wine32
    fi
else
    echo "bootstrap: this machine does not execute 32-bit code; wine32 left out, x86 tests will be skipped"
fi

# Locales the tests run under: en_US (Wine's code page 1252), de_DE (a decimal comma, for the
# JSON number test), ja_JP (code page 932).
wanted="en_US.UTF-8 de_DE.UTF-8 ja_JP.UTF-8"
absent=""
for l in $wanted; do
    short=$(echo "$l" | sed 's/UTF-8/utf8/')
    locale -a 2>/dev/null | grep -qx "$short" || absent="$absent $l"
done
if [ -n "$absent" ]; then
    echo "bootstrap: generating locales$absent"
    need_root "generate locales$absent"
    for l in $absent; do
        grep -q "^$l UTF-8" /etc/locale.gen 2>/dev/null ||
            echo "$l UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    done
    $sudo locale-gen >/dev/null
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
