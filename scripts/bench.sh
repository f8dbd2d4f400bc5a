#!/bin/sh
# All benchmarks with one command, ending with a summary (docs/performance.md explains them):
#   - natively, Release flags: the report pipeline against nlohmann::json (Google Benchmark);
#   - cross-built for 64-bit Windows and run under Wine, inside a private network namespace
#     with the local HTTPS collector on port 443: the game-thread cost of each exported call
#     against a bare PostThreadMessageW, the delivery rate against a bare WinINet loop, and the
#     memory of a full queue;
#   - the outbox, under Wine: the cost of storing a report (the outbox's file calls, with the
#     bare system calls beside them), the delivery rate with the outbox on against off and the
#     bare loop, and the memory of a process whose outbox is full;
#   - the exported calls, the delivery rate and the outbox's store cost and delivery rate once
#     more for 32-bit Windows, where the machine runs 32-bit code (WoW64 Wine, same prefix and
#     collector).
# MIRTO_BENCH_ONLY=outbox runs the outbox's benchmarks alone (x64 and x86), with their summary.
# Build folders: build/bench-native, build/bench-windows and build/bench-windows-x86, or the
# folders named by MIRTO_BENCH_NATIVE_DIR, MIRTO_BENCH_WINDOWS_DIR and
# MIRTO_BENCH_WINDOWS_X86_DIR (the Wine prefix lives in the x64 one).
# Raw results are left in <windows folder>/bench-results and <native folder>/pipeline.*.
# Takes about 5 minutes on two cores; the outbox alone 2 to 4.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
native=${MIRTO_BENCH_NATIVE_DIR:-$root/build/bench-native}
win=${MIRTO_BENCH_WINDOWS_DIR:-$root/build/bench-windows}
win86=${MIRTO_BENCH_WINDOWS_X86_DIR:-$root/build/bench-windows-x86}
results="$win/bench-results"
only=${MIRTO_BENCH_ONLY:-}
case "$only" in
    "" | outbox) ;;
    *) echo "bench: MIRTO_BENCH_ONLY is empty or outbox, not '$only'" >&2; exit 2 ;;
esac
certs="$win/bench-certs"
python=/usr/bin/python3

# ---- inside the private network namespace: everything that runs under Wine ----------------
if [ "${MIRTO_BENCH_STAGE:-}" = inside ]; then
    unset MIRTO_BENCH_STAGE
    export MIRTO_BUILD_DIR="$win"
    export WINEPREFIX="$win/wineprefix"
    run() { "$root/scripts/wine-run.sh" "$@"; }
    mirto_root=$root
    . "$root/scripts/lib/netns-services.sh"
    # Answers every request with $1; output in $2. Returns once it listens.
    start_collector() {
        collector_start "$2" --port 443 --cert "$certs/server.pem" --key "$certs/server.key" \
            --script "$1" || exit 1
    }
    wine_start || exit 1
    trap services_stop EXIT
    run "$win/trust_ca.exe" "$certs/ca.pem" >/dev/null

    # Runs a Windows program, its output saved in $1 and shown; stops the run when it fails.
    record() {
        out=$1
        shift
        if ! run "$@" >"$out.part"; then
            cat "$out.part"
            echo "bench: $(basename "$1") failed" >&2
            exit 1
        fi
        tee -a "$out" <"$out.part"
        rm -f "$out.part"
    }
    if [ "$only" = outbox ]; then
        rm -f "$results"/outbox_*.txt "$results"/collector-200-outbox*.txt
    else
        rm -f "$results"/*.txt
    fi

    # The outbox: store cost, delivery with it off and on against the bare loop, memory full.
    outbox_benchmarks() {
        echo "== outbox: the cost of storing a report (Wine, files in the prefix)"
        record "$results/outbox_store.txt" "$win/outbox_store_bench.exe" 2000
        echo "== outbox: delivery with the outbox off and on against the bare loop (Wine)"
        start_collector 200 "$results/collector-200-outbox.txt"
        record "$results/outbox_delivery.txt" "$win/delivery_bench.exe" outbox collector.test
        collector_stop
        tail -n 1 "$results/collector-200-outbox.txt" | tee -a "$results/outbox_delivery.txt"
        echo "== outbox: memory with the outbox full (Wine, collector away)"
        for kind in level purchase; do
            record "$results/outbox_memory.txt" "$win/delivery_bench.exe" outbox-memory "$kind" \
                collector.test
        done
        if [ -f "$win86/outbox_store_bench.exe" ]; then
            echo "== x86: outbox: the cost of storing a report (WoW64 Wine)"
            record "$results/outbox_store_x86.txt" "$win86/outbox_store_bench.exe" 2000
            echo "== x86: outbox: delivery with the outbox off and on against the bare loop"
            start_collector 200 "$results/collector-200-outbox-x86.txt"
            record "$results/outbox_delivery_x86.txt" "$win86/delivery_bench.exe" outbox \
                collector.test
            collector_stop
            tail -n 1 "$results/collector-200-outbox-x86.txt" |
                tee -a "$results/outbox_delivery_x86.txt"
        fi
    }
    if [ "$only" = outbox ]; then
        outbox_benchmarks
        exit 0
    fi

    echo "== exported calls against PostThreadMessageW (Wine)"
    record "$results/call_cost.txt" "$win/call_cost_bench.exe"

    echo "== delivery through the library against a bare WinINet loop (Wine, local collector)"
    start_collector 200 "$results/collector-200.txt"
    record "$results/delivery.txt" "$win/delivery_bench.exe" throughput collector.test
    collector_stop
    tail -n 1 "$results/collector-200.txt" | tee -a "$results/delivery.txt"

    echo "== memory of 500 pending operations (Wine, collector answering 500)"
    start_collector 500 "$results/collector-500.txt"
    for kind in level charge charge-max; do
        for _ in 1 2 3; do
            record "$results/memory.txt" "$win/delivery_bench.exe" memory "$kind" collector.test
        done
    done
    collector_stop

    if [ -f "$win86/call_cost_bench.exe" ]; then
        echo "== x86: exported calls against PostThreadMessageW (WoW64 Wine)"
        record "$results/call_cost_x86.txt" "$win86/call_cost_bench.exe"
        echo "== x86: delivery through the library against a bare WinINet loop"
        start_collector 200 "$results/collector-200-x86.txt"
        record "$results/delivery_x86.txt" "$win86/delivery_bench.exe" throughput collector.test
        collector_stop
    fi

    outbox_benchmarks
    exit 0
fi

# ---- outside: prerequisites, builds, the native run, then the namespace, then the summary --
cd "$root"
"$root/scripts/bootstrap.sh"
for package in libbenchmark-dev nlohmann-json3-dev; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        echo "bench: $package is missing (scripts/bootstrap.sh installs it)" >&2
        exit 1
    fi
done
if ! grep -q "add_subdirectory(bench)" "$root/CMakeLists.txt"; then
    echo "bench: the top-level CMakeLists.txt does not include bench/" >&2
    exit 1
fi
jobs=$(nproc 2>/dev/null || echo 2)
started=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

if [ -z "$only" ]; then
    echo "== native build (Release)"
    cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRTO_BUILD_TESTS=OFF \
        -DMIRTO_SANITIZE=OFF -DMIRTO_BUILD_BENCHMARKS=ON >/dev/null
    cmake --build "$native" -j "$jobs" --target pipeline_bench
fi

echo "== Windows build (x64)"
cmake --preset windows-x64 -B "$win" -DMIRTO_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$win" -j "$jobs" --target mirto call_cost_bench delivery_bench \
    outbox_store_bench trust_ca
rm -f "$win86/call_cost_bench.exe" "$win86/outbox_store_bench.exe"
if "$root/scripts/runs-32bit.sh"; then
    echo "== Windows build (x86)"
    cmake --preset windows-x86 -B "$win86" -DMIRTO_BUILD_BENCHMARKS=ON >/dev/null
    cmake --build "$win86" -j "$jobs" --target mirto call_cost_bench delivery_bench \
        outbox_store_bench
else
    echo "bench: x86 skipped: this machine does not execute 32-bit code"
fi
mkdir -p "$results"
"$root/tools/collector/make_certs.sh" "$certs" >/dev/null

if [ -z "$only" ]; then
    echo "== report pipeline against nlohmann::json (native, about 40 s)"
    rm -f "$native/pipeline.json"
    if ! "$native/bench/pipeline_bench" --benchmark_repetitions=10 --benchmark_min_time=0.1 \
        --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
        --benchmark_out="$native/pipeline.json" --benchmark_out_format=json \
        >"$native/pipeline.txt" 2>&1; then
        cat "$native/pipeline.txt"
        echo "bench: pipeline_bench failed" >&2
        exit 1
    fi
    echo "(every repetition's statistics: $native/pipeline.txt; the medians are in the summary)"
fi

# Wine's sockets belong to its wineserver, which must run inside the namespace: stop one that
# an earlier run may have left for this prefix.
WINEPREFIX="$win/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
MIRTO_BENCH_STAGE=inside MIRTO_BENCH_NATIVE_DIR="$native" MIRTO_BENCH_WINDOWS_DIR="$win" MIRTO_BENCH_WINDOWS_X86_DIR="$win86" \
    MIRTO_BENCH_ONLY="$only" "$root/scripts/netns-run.sh" sh "$root/scripts/bench.sh"

load_after=$(cut -d' ' -f1-3 /proc/loadavg)
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
wine=$(/usr/lib/wine/wine64 --version 2>/dev/null || echo "wine ?")

"$python" - "$native/pipeline.json" "$results" "$jobs" "$cpu" "$wine" "$load_before" \
    "$load_after" "$(($(date +%s) - started))" "$only" <<'EOF'
import json, os, re, statistics, sys
pipeline, results, cores, cpu, wine, load_before, load_after, seconds, only = sys.argv[1:]

print()
print("== summary (%s s)" % seconds)
print("machine: %s cores, %s; %s; load average %s before, %s after"
      % (cores, cpu, wine, load_before, load_after))


def outbox_summary():
    """Prints the outbox's figures; returns the x64 on/off ratio of the delivery rates."""
    for suffix, label in (("", "Wine"), ("_x86", "x86, WoW64 Wine")):
        path = results + "/outbox_store%s.txt" % suffix
        if not os.path.exists(path):
            continue
        print()
        print("outbox: cost per call, microseconds (%s, 2000 stores)" % label)
        for line in open(path):
            print("  " + line.rstrip())
    ratio = None
    for suffix, label in (("", "Wine"), ("_x86", "x86, WoW64 Wine")):
        path = results + "/outbox_delivery%s.txt" % suffix
        if not os.path.exists(path):
            continue
        print()
        print("outbox: delivery, outbox off and on against the bare loop (%s)" % label)
        for line in open(path):
            print("  " + line.rstrip())
            m = re.match(r"outbox on/off: ([0-9.]+) overall", line)
            if m and suffix == "":
                ratio = float(m.group(1))
    path = results + "/outbox_memory.txt"
    if os.path.exists(path):
        print()
        print("outbox: memory with the outbox full (Wine, collector away)")
        for line in open(path):
            f = dict(x.split("=", 1) for x in line.split()[1:])
            print("  %-8s %5s reports stored (%s dropped), %.2f MiB on disk; private bytes "
                  "%+d since the start, %.1f per report; heap %+d, %.1f per report; "
                  "%.2f MiB private (%.2f before the session)"
                  % (f["kind"], f["stored"], f["dropped"], int(f["disk_bytes"]) / 2**20,
                     int(f["private_full"]) - int(f["private_started"]),
                     float(f["private_per_report"]),
                     int(f["heap_full"]) - int(f["heap_started"]),
                     float(f["heap_per_report"]), int(f["private_full"]) / 2**20,
                     int(f["private_before"]) / 2**20))
    return ratio


def outbox_target(ratio):
    if ratio is None:
        print("  delivery with the outbox at least 80% of without: not measured")
    else:
        print("  delivery with the outbox at least 80%% of without: %s, %.0f%%"
              % ("met" if ratio >= 0.8 else "MISSED", ratio * 100))


if only == "outbox":
    ratio = outbox_summary()
    print()
    print("targets")
    outbox_target(ratio)
    sys.exit(0)

medians = {}
for b in json.load(open(pipeline))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        medians[b["run_name"]] = b
print()
print("report pipeline, ns per body (CPU time, median of 10 interleaved repetitions)")
print("  %-22s %6s %9s %9s %15s" % ("report", "bytes", "mirto", "nlohmann", "nlohmann/mirto"))
speedups = []
for name in ["device_identify", "user_identify", "user_count_identify", "level", "server",
             "device_charge", "user_charge"]:
    ours = medians["pipeline/%s/mirto" % name]
    theirs = medians["pipeline/%s/nlohmann" % name]
    speedups.append(theirs["cpu_time"] / ours["cpu_time"])
    print("  %-22s %6.0f %9.0f %9.0f %15.2f" % (
        name, ours["body_bytes"], ours["cpu_time"], theirs["cpu_time"], speedups[-1]))

print()
print("exported calls, game-thread ns per call (Wine)")
call_ratios = []
for line in open(results + "/call_cost.txt"):
    print("  " + line.rstrip())
    m = re.match(r"\s*(\d+)\s+(.+?)\s+\d+\s+[\d.]+\s+[\d.]+\s+([\d.]+)\s+[\d.]+\s*$", line)
    if m and "floor" not in m.group(2):
        call_ratios.append((float(m.group(3)), m.group(1), m.group(2)))

print()
print("delivery (Wine, local collector)")
delivery = None
for line in open(results + "/delivery.txt"):
    print("  " + line.rstrip())
    m = re.match(r"library/bare: ([0-9.]+) overall", line)
    if m:
        delivery = float(m.group(1))

if os.path.exists(results + "/call_cost_x86.txt"):
    print()
    print("x86: exported calls, game-thread ns per call (WoW64 Wine)")
    for line in open(results + "/call_cost_x86.txt"):
        print("  " + line.rstrip())
    print()
    print("x86: delivery (WoW64 Wine, local collector)")
    for line in open(results + "/delivery_x86.txt"):
        print("  " + line.rstrip())

print()
print("memory with 500 pending (Wine, private bytes; median of 3 processes)")
runs = {}
for line in open(results + "/memory.txt"):
    fields = dict(f.split("=", 1) for f in line.split()[1:])
    runs.setdefault(fields["kind"], []).append(fields)
for kind, fields in runs.items():
    per_op = statistics.median(float(f["per_op"]) for f in fields)
    delta = statistics.median(int(f["delta"]) for f in fields)
    after = statistics.median(int(f["after"]) for f in fields)
    print("  %-10s %5.0f bytes per queued operation; 499 queued +%d bytes; %.2f MiB private "
          "with 500 pending" % (kind, per_op, delta, after / 2**20))

outbox_ratio = outbox_summary()

print()
print("targets")
worst = max(call_ratios)
print("  exported calls within 2x of the floor (median): %s, worst %.2fx (%s, threads=%s)"
      % ("met" if worst[0] <= 2 else "MISSED", worst[0], worst[2], worst[1]))
print("  pipeline faster than nlohmann::json: %s, %.2fx to %.2fx"
      % ("met" if min(speedups) > 1 else "MISSED", min(speedups), max(speedups)))
print("  delivery at least 80%% of the bare loop: %s, %.0f%%"
      % ("met" if delivery >= 0.8 else "MISSED", delivery * 100))
outbox_target(outbox_ratio)
EOF
