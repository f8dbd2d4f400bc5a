#!/bin/sh
# The library's main job, end to end: builds the x64 DLL and the demo game, starts the local
# collector on port 443 in a private network namespace, trusts its test CA in the demo's own
# Wine prefix, runs the demo game under Wine (reporting to the built-in host, localhost) and
# shows every report as the collector received it, then a one-line summary.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/bootstrap.sh"

echo "== building mirto.dll and the demo game (x64)"
cmake --preset windows-x64 >/dev/null
cmake --build build/windows-x64 --target mirto demo_game trust_ca >/dev/null

demo="$root/build/windows-x64/demo"
mkdir -p "$demo"
"$root/tools/collector/make_certs.sh" "$demo/certs" >/dev/null

export MIRTO_BUILD_DIR="$root/build/windows-x64"
export MIRTO_WINEPREFIX="$demo/wineprefix"
WINEPREFIX="$MIRTO_WINEPREFIX" /usr/lib/wine/wineserver -k 2>/dev/null || true

echo "== running the demo in a private network namespace"
exec "$root/scripts/netns-run.sh" "$root/scripts/demo-in-netns.sh"
