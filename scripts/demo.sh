#!/bin/sh
# The library's main job, end to end: builds the DLL and the demo game, starts the local
# collector on port 443 in a private network namespace, trusts its test CA in the demo's own
# Wine prefix, runs the demo game under Wine (reporting to the built-in host, localhost) and
# shows every report as the collector received it, then a one-line summary. Then the same for a
# game with the outbox (a session while the collector is away, then the next start), and for a
# game that asks for the player's consent (its reports held until the player agrees; then a
# player who refuses, and nothing arrives).
#
#   scripts/demo.sh [--arch x64|x86]     (x64 by default; x86 needs a machine that runs
#                                         32-bit code, where bootstrap adds wine32)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

arch=x64
while [ $# -gt 0 ]; do
    case "$1" in
        --arch) arch=${2:-}; shift 2 || { echo "demo: --arch needs x64 or x86" >&2; exit 64; } ;;
        --arch=*) arch=${1#--arch=}; shift ;;
        *) echo "usage: $0 [--arch x64|x86]" >&2; exit 64 ;;
    esac
done
case "$arch" in
    x64|x86) ;;
    *) echo "demo: unknown architecture '$arch' (x64 or x86)" >&2; exit 64 ;;
esac

"$root/scripts/bootstrap.sh"
if [ "$arch" = x86 ] && ! "$root/scripts/runs-32bit.sh"; then
    echo "demo: this machine does not execute 32-bit code; the x86 demo cannot run here" >&2
    exit 2
fi

echo "== building mirto.dll and the demo game ($arch)"
cmake --preset "windows-$arch" >/dev/null
cmake --build "build/windows-$arch" --target mirto demo_game trust_ca >/dev/null

demo="$root/build/windows-$arch/demo"
mkdir -p "$demo"
"$root/tools/collector/make_certs.sh" "$demo/certs" >/dev/null

export MIRTO_BUILD_DIR="$root/build/windows-$arch"
export MIRTO_WINEPREFIX="$demo/wineprefix"
WINEPREFIX="$MIRTO_WINEPREFIX" /usr/lib/wine/wineserver -k 2>/dev/null || true

echo "== running the demo in a private network namespace"
exec "$root/scripts/netns-run.sh" "$root/scripts/demo-in-netns.sh"
