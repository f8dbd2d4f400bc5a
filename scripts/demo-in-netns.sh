#!/bin/sh
# The demo's part inside the private network namespace (started by demo.sh).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$MIRTO_BUILD_DIR"
demo="$build/demo"
export WINEPREFIX="$MIRTO_WINEPREFIX"
expected=11  # device, user and user-count identify, 3 levels, a server, 2 x 2 charges

mirto_root=$root
. "$root/scripts/lib/netns-services.sh"
wine_start
trap services_stop EXIT

"$root/scripts/wine-run.sh" "$build/trust_ca.exe" "$demo/certs/ca.pem" >/dev/null

log="$demo/reports.jsonl"
rm -f "$log"
/usr/bin/python3 "$root/tools/collector/collector.py" --port 443 \
    --cert "$demo/certs/server.pem" --key "$demo/certs/server.key" --log "$log" --pretty &
collector_pid=$!
while ! [ -f "$log" ]; do sleep 0.1; done

# The game waits for Enter; it gets it once every report has arrived (or after 60 s).
(
    waited=0
    while [ "$(wc -l <"$log")" -lt "$expected" ] && [ "$waited" -lt 600 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    sleep 0.5
    echo
) | "$root/scripts/wine-run.sh" "$build/demo_game.exe"

collector_stop
echo "reports logged in $log"
