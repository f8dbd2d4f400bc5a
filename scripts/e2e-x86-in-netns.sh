#!/bin/sh
# The x86 half of the end-to-end tests, in a network namespace and Wine prefix of its own, so
# that it runs at the same time as the x64 half (test-in-netns.sh starts it in a network
# namespace nested in its own). Its own namespace has its own port 443 for the collector, and
# its own prefix its own wineserver (inside this namespace). Arguments are passed on to pytest.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/windows-x64"
build_x86="$root/build/windows-x86"
export WINEPREFIX="$build_x86/wineprefix-e2e"
export MIRTO_WINEPREFIX="$WINEPREFIX"
export MIRTO_BUILD_DIR="$build_x86"
export PYTHONDONTWRITEBYTECODE=1

mirto_root=$root
. "$root/scripts/lib/netns-services.sh"
wine_start
trap wine_stop EXIT
if [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    "$root/scripts/wine-run.sh" wineboot --update >/dev/null 2>&1 </dev/null
fi

MIRTO_BUILD_X64="$build" MIRTO_BUILD_X86="$build_x86" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@"
