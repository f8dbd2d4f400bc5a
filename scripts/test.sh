#!/bin/sh
# The whole test suite: portable modules natively under the sanitizers, both Windows builds
# and their binary checks, the Windows tests under Wine, and the end-to-end tests against the
# local HTTPS collector, all network traffic inside a private network namespace.
#
# scripts/test.sh --quick: the loop for changing the code, a few minutes at most on two cores
# once the build folders exist: the native sanitizer tests, the Windows builds (x86: the DLL
# and its import libraries only) with their binary checks, the static checks, and the x64
# Windows tests. No fuzzing, release package, demo, x86 Windows tests or end-to-end tests:
# the full suite (what CI runs) has them.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

quick=no
case "${1:-}" in
    --quick) quick=yes ;;
    "") ;;
    *) echo "usage: scripts/test.sh [--quick]" >&2; exit 64 ;;
esac

"$root/scripts/bootstrap.sh"

jobs=$(nproc 2>/dev/null || echo 2)

echo "== native build (AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake --preset native >/dev/null
cmake --build build/native -j "$jobs"
ctest --test-dir build/native --output-on-failure

if [ "$quick" = yes ]; then
    echo "== Windows builds (x64; x86: the DLL and its import libraries)"
    cmake --preset windows-x64 >/dev/null
    cmake --build build/windows-x64 -j "$jobs"
    cmake --preset windows-x86 >/dev/null
    cmake --build build/windows-x86 -j "$jobs" --target mirto mirto_msvc_import_lib
    echo "== static checks (clang-tidy, cppcheck)"
    "$root/scripts/lint.sh"
    WINEPREFIX="$root/build/windows-x64/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
    echo "== binary checks and Windows tests, x64 (private network namespace)"
    exec "$root/scripts/netns-run.sh" "$root/scripts/test-in-netns.sh" --quick
fi

echo "== fuzzing (libFuzzer with the sanitizers): every corpus, then a timed session of the JSON target"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DMIRTO_FUZZ=ON -DMIRTO_BUILD_TESTS=OFF \
    >/dev/null
cmake --build build/fuzz -j "$jobs"
ctest --test-dir build/fuzz --output-on-failure

echo "== Windows builds (x64, x86)"
for preset in windows-x64 windows-x86; do
    cmake --preset "$preset" >/dev/null
    cmake --build "build/$preset" -j "$jobs"
done

echo "== release package (both architectures, for the consumer tests)"
"$root/scripts/package.sh"

echo "== static checks (clang-tidy, cppcheck)"
"$root/scripts/lint.sh"

echo "== demo (the README's other command), checked by its summary"
demo_output=$("$root/scripts/demo.sh" 2>&1) || { echo "$demo_output"; exit 1; }
echo "$demo_output" | grep "^summary: "
echo "$demo_output" | grep -q "^summary: 11 reports received: .*; 0 failed validation$" ||
    { echo "demo: unexpected summary of the live session" >&2; exit 1; }
# The outbox part: six reports saved while the collector was away arrive first, marked, then
# the next start's own device identify.
echo "$demo_output" | grep -q "^summary: 7 reports received: .*; 0 failed validation$" &&
    [ "$(echo "$demo_output" | grep -c "^\[saved while the collector was away\] \[.*\] #[1-6] ")" = 6 ] &&
    echo "$demo_output" | grep -q "^\[20[^]]*\] #7 POST /identify  device identify -> 200" ||
    { echo "demo: the saved reports did not arrive first" >&2; exit 1; }
# The consent part: nothing arrives while the player has not answered, then the six held
# reports; after a refusal nothing at all.
echo "$demo_output" | grep -q "^demo: 0 reports arrived before the player agreed$" &&
    echo "$demo_output" | grep -q "^summary: 6 reports received: .*; 0 failed validation$" ||
    { echo "demo: the held reports did not wait for the player's answer" >&2; exit 1; }
echo "$demo_output" | grep -q "^summary: 0 reports received; 0 failed validation$" ||
    { echo "demo: reports arrived after the player refused" >&2; exit 1; }

# Wine's sockets belong to its wineserver, which must therefore run inside the namespace:
# stop one that an earlier run may have left for this prefix.
WINEPREFIX="$root/build/windows-x64/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true

echo "== Windows and end-to-end tests (private network namespace)"
exec "$root/scripts/netns-run.sh" "$root/scripts/test-in-netns.sh"
