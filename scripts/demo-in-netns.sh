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

# The same library for a game that keeps its reports on disk: a session while the collector is
# away, then the next start with the collector back, where the saved reports go out first.
echo
echo "== with the outbox: a short session while the collector is away"
outbox=$(printf '%s\n' "$WINEPREFIX"/drive_c/users/*/AppData/Local | grep -v /Public/ | head -1)
outbox="$outbox/mirto/demo-outbox/outbox"
rm -rf "$outbox"  # a fresh start: nothing left from an earlier demo
away_output="$demo/outbox-away.txt"
"$root/scripts/wine-run.sh" "$build/demo_game.exe" outbox-away | tee "$away_output"
# The game's own counters say how many reports wait in the outbox (the reports of calls made
# together share a file, so the files are fewer).
saved=$(sed -n 's/.*, \([0-9]*\) waiting in the outbox,.*/\1/p' "$away_output" | tail -1)
saved=${saved:-0}
echo "$saved reports are saved in the outbox, in $(find "$outbox" -name '*.rpt' | wc -l) file(s)"
echo
echo "== the game starts again, the collector is back: the saved reports arrive first"
log2="$demo/outbox-reports.jsonl"
rm -f "$log2"
/usr/bin/python3 "$root/tools/collector/collector.py" --port 443 \
    --cert "$demo/certs/server.pem" --key "$demo/certs/server.key" --log "$log2" --pretty \
    --mark-first "$saved" --mark "saved while the collector was away" &
collector_pid=$!
while ! [ -f "$log2" ]; do sleep 0.1; done
(
    waited=0
    while [ "$(wc -l <"$log2")" -lt $((saved + 1)) ] && [ "$waited" -lt 600 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    sleep 0.5
    echo
) | "$root/scripts/wine-run.sh" "$build/demo_game.exe" outbox-back
collector_stop
echo "reports logged in $log2"
