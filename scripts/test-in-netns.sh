#!/bin/sh
# The part of the suite that runs Wine and the collector; started by test.sh inside a private
# network namespace. With arguments, runs only pytest with those arguments (for working on a
# few tests: scripts/netns-run.sh scripts/test-in-netns.sh tests/e2e/test_pipeline.py).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/windows-x64"
export MIRTO_BUILD_DIR="$build"
export WINEPREFIX="$build/wineprefix"
export PYTHONDONTWRITEBYTECODE=1  # no __pycache__ in the source tree (nor in the Unity package)

# One wineserver for the whole run, started here so that every Wine socket is opened inside
# this namespace; -p keeps it up between programs. It refuses to start when one already runs
# for the prefix (outside, where the collector cannot be reached).
mkdir -p "$WINEPREFIX"
if ! /usr/lib/wine/wineserver -p; then
    echo "could not start a wineserver for $WINEPREFIX here; if one already runs outside" \
         "this namespace, stop it (WINEPREFIX=$WINEPREFIX wineserver -k) and run again" >&2
    exit 1
fi
stop_wine() { /usr/lib/wine/wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix (once per build folder)"
fi
# Also starts Wine's own background processes now, with their output going nowhere: started
# later by a test program, they would hold on to that program's output pipes.
"$root/scripts/wine-run.sh" wineboot --init >/dev/null 2>&1 </dev/null

if [ $# -gt 0 ]; then
    MIRTO_BUILD_X64="$build" MIRTO_BUILD_X86="$root/build/windows-x86" \
        /usr/bin/python3 -m pytest -p no:cacheprovider "$@"
    exit
fi

status=0
ctest --test-dir "$build" --output-on-failure -j 2 || status=1

MIRTO_BUILD_X64="$build" MIRTO_BUILD_X86="$root/build/windows-x86" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider "$root/tools/collector" \
    "$root/bindings/unity/tests" "$root/tests/build" "$root/tests/e2e" || status=1
exit $status
