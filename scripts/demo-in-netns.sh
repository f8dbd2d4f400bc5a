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

# demo_collector LOG [ARGUMENT...]: the collector, printing what it receives and logging it to
# LOG (emptied first); returns once it has opened the log.
demo_collector() {
    log_file=$1
    shift
    rm -f "$log_file"
    /usr/bin/python3 "$root/tools/collector/collector.py" --port 443 \
        --cert "$demo/certs/server.pem" --key "$demo/certs/server.key" --log "$log_file" \
        --pretty "$@" &
    collector_pid=$!
    while ! [ -f "$log_file" ]; do sleep 0.1; done
}

# enter_once LOG COUNT: gives the game its Enter once LOG has COUNT reports (or after 60 s).
enter_once() {
    waited=0
    while [ "$(wc -l <"$1")" -lt "$2" ] && [ "$waited" -lt 600 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    sleep 0.5
    echo
}

log="$demo/reports.jsonl"
demo_collector "$log"
# The game waits for Enter; it gets it once every report has arrived.
enter_once "$log" "$expected" | "$root/scripts/wine-run.sh" "$build/demo_game.exe"

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
demo_collector "$log2" --mark-first "$saved" --mark "saved while the collector was away"
enter_once "$log2" $((saved + 1)) | "$root/scripts/wine-run.sh" "$build/demo_game.exe" outbox-back
collector_stop
echo "reports logged in $log2"

# The same library for a game that asks the player first: a session whose reports are held
# until the player agrees, then one where the player says no.
echo
echo "== consent: the game asks the player before anything leaves"
roaming=$(printf '%s\n' "$WINEPREFIX"/drive_c/users/*/AppData/Roaming | grep -v /Public/ | head -1)
rm -rf "$roaming/mirto/demo-consent" "$roaming/mirto/demo-refuse"  # no answer from an earlier demo
log3="$demo/consent-reports.jsonl"
asked="$demo/consent-ask.txt"
rm -f "$asked"
demo_collector "$log3"
(
    # The player answers a moment after the question; what arrived before is counted first.
    waited=0
    until grep -q "waiting for the answer" "$asked" 2>/dev/null || [ "$waited" -ge 600 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    sleep 2
    echo "demo: $(wc -l <"$log3") reports arrived before the player agreed" >&2
    echo
    enter_once "$log3" 6
) | "$root/scripts/wine-run.sh" "$build/demo_game.exe" consent-ask | tee "$asked"
collector_stop
echo
echo "== consent refused: the player says no, and nothing arrives"
log4="$demo/refused-reports.jsonl"
demo_collector "$log4"
"$root/scripts/wine-run.sh" "$build/demo_game.exe" consent-refuse
sleep 1
collector_stop
