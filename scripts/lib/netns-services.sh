# Starting and stopping what runs inside the private network namespace: the wineserver of a
# prefix and the local HTTPS collector. Sourced (". scripts/lib/netns-services.sh") by the
# inside halves of the test, demo and benchmark scripts; POSIX sh. Set WINEPREFIX (and
# MIRTO_BUILD_DIR for wine-run.sh) before calling wine_start, and set the exit trap
# (services_stop) only once it has succeeded: a wineserver that refused to start here belongs
# to someone else.

mirto_root=${mirto_root:-$(cd "$(dirname "$0")/.." && pwd)}
collector_pid=""

# One wineserver for the whole run, started here so that every Wine socket is opened inside
# this namespace; -p keeps it up between programs. It refuses to start when one already runs
# for the prefix (outside, where the collector cannot be reached). Then boots the prefix, which
# also starts Wine's own background processes with their output going nowhere: started later
# by a test program, they would hold on to that program's output pipes.
wine_start() {
    mkdir -p "$WINEPREFIX"
    if ! /usr/lib/wine/wineserver -p; then
        echo "could not start a wineserver for $WINEPREFIX here; if one already runs outside" \
             "this namespace, stop it (WINEPREFIX=$WINEPREFIX wineserver -k) and run again" >&2
        return 1
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating the Wine prefix $WINEPREFIX (about 10 s, once)"
    fi
    "$mirto_root/scripts/wine-run.sh" wineboot --init >/dev/null 2>&1 </dev/null || {
        wine_stop
        return 1
    }
}

wine_stop() {
    /usr/lib/wine/wineserver -k 2>/dev/null || true
}

# collector_start OUTPUT ARGUMENT...: the collector with these arguments, its output in OUTPUT;
# returns once it listens.
collector_start() {
    output=$1
    shift
    /usr/bin/python3 "$mirto_root/tools/collector/collector.py" "$@" >"$output" 2>&1 &
    collector_pid=$!
    tries=0
    until grep -q "^collector: listening" "$output"; do
        tries=$((tries + 1))
        if [ "$tries" -gt 100 ] || ! kill -0 "$collector_pid" 2>/dev/null; then
            echo "the collector did not start:" >&2
            cat "$output" >&2
            return 1
        fi
        sleep 0.1
    done
}

collector_stop() {
    if [ -n "$collector_pid" ]; then
        kill -TERM "$collector_pid" 2>/dev/null || true
        wait "$collector_pid" 2>/dev/null || true
        collector_pid=""
    fi
}

services_stop() {
    collector_stop
    wine_stop
}
