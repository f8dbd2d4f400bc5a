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

mirto_root=$root
. "$root/scripts/lib/netns-services.sh"
wine_start
trap wine_stop EXIT

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
