#!/bin/sh
# Runs a Windows program under Wine in the build folder's own prefix (MIRTO_WINEPREFIX, when
# set, names a prefix to share: the x86 tests use the x64 build's).
# Only the 64-bit loader is called: it starts 32-bit programs itself through WoW64 where
# wine32 is installed (scripts/bootstrap.sh adds it where the machine runs 32-bit code), and
# the generic wine wrapper may pick the 32-bit loader.
set -eu
build_dir=${MIRTO_BUILD_DIR:-$(dirname "$1")}
export WINEPREFIX="${MIRTO_WINEPREFIX:-$build_dir/wineprefix}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
export WINELOADER=/usr/lib/wine/wine64
# Wine's WinINet obeys a proxy setting even for HTTPS; tests talk to the local collector only.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
exec /usr/lib/wine/wine64 "$@"
