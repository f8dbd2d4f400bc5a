#!/bin/sh
# The part of the suite that runs Wine and the collector; started by test.sh inside a private
# network namespace. With arguments, runs only pytest with those arguments (for working on a
# few tests: scripts/netns-run.sh scripts/test-in-netns.sh tests/e2e/test_pipeline.py); with
# --quick, only the x64 Windows tests and the binary checks (test.sh --quick).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/windows-x64"
build_x86="$root/build/windows-x86"
export MIRTO_BUILD_DIR="$build"
export WINEPREFIX="$build/wineprefix"
# Both architectures share the x64 build's prefix (x86 programs run there through WoW64).
export MIRTO_WINEPREFIX="$WINEPREFIX"
x86_runs=yes
"$root/scripts/runs-32bit.sh" || x86_runs=no
export PYTHONDONTWRITEBYTECODE=1  # no __pycache__ in the source tree (nor in the Unity package)

mirto_root=$root
. "$root/scripts/lib/netns-services.sh"
wine_start
trap wine_stop EXIT
# A prefix made before wine32 was installed lacks its 32-bit system folder: update it once.
if [ "$x86_runs" = yes ] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    echo "adding the 32-bit side to the Wine prefix (once)"
    "$root/scripts/wine-run.sh" wineboot --update >/dev/null 2>&1 </dev/null
fi

if [ "${1:-}" = --quick ]; then
    status=0
    echo "== Windows tests, x64"
    ctest --test-dir "$build" --output-on-failure -j 2 || status=1
    echo "== binary checks (export names, imports, import libraries, an MSVC-ABI caller)"
    MIRTO_BUILD_X64="$build" MIRTO_BUILD_X86="$build_x86" \
        /usr/bin/python3 -m pytest -q -p no:cacheprovider "$root/tests/build" || status=1
    exit $status
fi

if [ $# -gt 0 ]; then
    MIRTO_BUILD_X64="$build" MIRTO_BUILD_X86="$build_x86" \
        /usr/bin/python3 -m pytest -p no:cacheprovider "$@"
    exit
fi

status=0
echo "== Windows tests, x64"
ctest --test-dir "$build" --output-on-failure -j 2 || status=1
if [ "$x86_runs" = yes ]; then
    echo "== Windows tests, x86"
    ctest --test-dir "$build_x86" --output-on-failure -j 2 || status=1
else
    echo "x86: Windows tests skipped: this machine does not execute 32-bit code"
fi

suites="$root/tools/collector $root/bindings/unity/tests $root/tests/build $root/tests/e2e"
# The test CA and certificates, made once before both halves look for them.
"$root/tools/collector/make_certs.sh" "$build/e2e-certs" >/dev/null
x86_log="$build_x86/e2e-x86.log"
if [ "$x86_runs" = yes ]; then
    # The x86 half runs at the same time, in a namespace and prefix of its own: most tests
    # spend their time waiting out pauses and time-outs, not on the two cores.
    echo "== end-to-end tests: x64 (and the rest) here, x86 alongside in a namespace of its own"
    # A network namespace of its own inside this one (which already maps the test names in
    # /etc/hosts): its own loopback, so its own port 443.
    # shellcheck disable=SC2086  # one word per folder
    unshare --net -- sh -c 'ip link set lo up && exec "$0" "$@"' \
        "$root/scripts/e2e-x86-in-netns.sh" -k x86 $suites >"$x86_log" 2>&1 &
    x86_pid=$!
else
    echo "== end-to-end tests (x64)"
fi
# Where x86 cannot run, its tests stay in this half, where each is skipped and the run says
# so in one line.
only="not x86"
[ "$x86_runs" = yes ] || only=""
# shellcheck disable=SC2086
MIRTO_BUILD_X64="$build" MIRTO_BUILD_X86="$build_x86" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider -k "$only" $suites || status=1
if [ "$x86_runs" = yes ]; then
    wait "$x86_pid" || status=1
    echo "== end-to-end tests, x86 (ran alongside)"
    cat "$x86_log"
fi
exit $status
