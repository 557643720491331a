#!/bin/bash
# The kill test: the whole sample update on the simulated board, with the daemon killed
# (SIGKILL) at a random moment of it, or asked to stop there, then started again on the same
# board (no reboot: the module's firmware, its PS-Keys, the BCSP driver, the flash, /etc and
# whatever the killed run left running stay as they are) and the same image run again. Every
# rerun must end OK with the module's keys and firmware, the flash and /etc as a run left alone
# leaves them. One row per kill; the seeds are printed, so that a row can be run again.
#   scripts/kill-check.sh [--rows N] [--stop-rows N] [--seed S] [--clock-speed K] [--build DIR]
#                         [--emulator CMD]
set -euo pipefail

usage() {
    cat <<'TXT'
Usage: scripts/kill-check.sh [OPTIONS]
Runs the sample update on the simulated board, kills the daemon at random moments of it
(one board per row), starts it again and reruns the image; checks that every rerun ends OK
with the module's keys and firmware, the flash and /etc as an update left alone leaves them.

Options:
  --rows N         rows that kill the daemon with SIGKILL (default 20)
  --stop-rows N    rows that send it a stop request instead (default 10)
  --seed S         the first row's seed (default: from the clock); row i takes S+i
  --clock-speed K  the board's clock runs K times faster (default 1: the board's speed)
  --build DIR      the host build with update_process_sim, aipeer and mkupdate
                   (default build/host, built if needed)
  --emulator CMD   run the build's programs under CMD: a cross build, e.g. --build
                   build/ppc --emulator "qemu-ppc -L /usr/powerpc-linux-gnu" (its image
                   is made by build/host's mkupdate, built if needed)
  -h, --help       show this help
Exit status 0 when every row ended right, 1 otherwise, 2 for usage errors.
TXT
}

# --- inside the board: one row ---------------------------------------------------------------
# kill-check.sh --row MODE DELAY_MS BUILD IMAGE EMULATOR: MODE "none" (the reference run),
# "kill" or "stop". The daemon's output and the reports go to /sim/state, where the host reads
# them.
run_row() {
    local mode=$1 delay_ms=$2 build=$3 image=$4 state=/sim/state speed limit run_under project
    read -ra run_under <<< "$5"
    speed=$(cat $state/clock.speed 2>/dev/null || echo 1)
    # Per answer: the whole update's time at the board's speed, and some.
    limit=$((900 / speed + 60))
    project=$(dirname "$0")/..
    grep -v '^//' "$project/sim/module/default-store.psr" > $state/module.psr
    echo "1958 16.4.0" > $state/module.firmware
    start_daemon() {
        (cd / && exec "${run_under[@]}" "$build/update_process_sim" >> $state/daemon.out \
            2>> $state/daemon.err) &
        daemon=$!
    }
    local daemon peer status
    "${run_under[@]}" "$build/aipeer" --timeout "$limit" notice start "$image" \
        > $state/peer-1.out 2>&1 &
    peer=$!
    "$project/sim/await-peer" "$peer" "$limit" || true
    start_daemon
    if [ "$mode" != none ]; then
        sleep "$((delay_ms / 1000)).$(printf '%03d' $((delay_ms % 1000)))"
        cp /tmp/update.log $state/report-1.txt 2>/dev/null || : > $state/report-1.txt
        kill -KILL "$peer" 2>/dev/null || true
        wait "$peer" 2>/dev/null || true
        # The killed peer's socket stays behind; gone, the wait below sees the new peer's
        # own, so that the daemon's start-up notice can't go to a socket nobody reads.
        rm -f /rb_ai_sock2ad
        if [ "$mode" = kill ]; then
            kill -KILL "$daemon"
        else
            "${run_under[@]}" "$build/aipeer" --timeout "$limit" stop > $state/peer-stop.out \
                2>&1 || true
        fi
        wait "$daemon" 2>/dev/null || true
        echo "--- started again ---" >> $state/daemon.err
        "${run_under[@]}" "$build/aipeer" --timeout "$limit" notice start "$image" \
            > $state/peer-2.out 2>&1 &
        peer=$!
        "$project/sim/await-peer" "$peer" "$limit" || true
        start_daemon
    fi
    status=0
    wait "$peer" || status=$?
    kill -KILL "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
    cp /tmp/update.log $state/report.txt 2>/dev/null || true
    mkdir -p $state/etc
    for file in /etc/*; do [ -f "$file" ] && cp "$file" $state/etc/; done
    echo "$status" > $state/peer.status
}

if [ "${1:-}" = --row ]; then
    shift
    run_row "$@"
    exit 0
fi

# --- on the host -----------------------------------------------------------------------------
cd "$(dirname "$0")/.."
rows=20
stop_rows=10
seed=""
speed=1
build=""
emulator=""
while [ $# -gt 0 ]; do
    case "$1" in
        --rows) rows=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
        --stop-rows) stop_rows=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
        --seed) seed=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
        --clock-speed) speed=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
        --build) build=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
        --emulator) emulator=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
        -h|--help) usage; exit 0 ;;
        *) echo "kill-check.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done
[ -n "$seed" ] || seed=$(( $(date +%s) % 100000 ))
for value in "$rows" "$stop_rows" "$seed" "$speed"; do
    case "$value" in
        ''|*[!0-9]*) echo "kill-check.sh: '$value' is not a whole number (see --help)" >&2; exit 2 ;;
    esac
done
[ "$speed" -ge 1 ] || { echo "kill-check.sh: the clock speed must be 1 or more" >&2; exit 2; }
if [ -z "$build" ]; then
    scripts/configure-preset.sh host > /dev/null
    cmake --build --preset host -j2 --target update_process_sim aipeer mkupdate > /dev/null
    build=build/host
fi
build=$(cd "$build" && pwd)
out=$PWD/build/kill-check
rm -rf "$out"
mkdir -p "$out"
image=$out/sample-update.img
# The image is the same bytes from any build of mkupdate; a cross build has none (the board
# doesn't make images), so the host's makes it there.
image_tool=$build/mkupdate
if [ -n "$emulator" ]; then
    scripts/configure-preset.sh host > /dev/null
    cmake --build --preset host -j2 --target mkupdate > /dev/null
    image_tool=$PWD/build/host/mkupdate
fi
sim/sample-update/build-image "$image_tool" "$image"

board() {  # STATE_DIR MODE DELAY_MS
    mkdir -p "$1"
    sim/board-run --state "$1" --clock-speed "$speed" -- \
        "$PWD/scripts/kill-check.sh" --row "$2" "$3" "$build" "$image" "$emulator" \
        > "$1/row.log" 2>&1
}

echo "=== the reference: the sample update left alone (clock speed $speed) ==="
started=$(date +%s%N)
board "$out/reference" none 0
duration_ms=$((($(date +%s%N) - started) / 1000000))
if [ "$(cat "$out/reference/peer.status")" != 0 ]; then
    echo "kill-check.sh: the sample update left alone did not end OK ($out/reference)" >&2
    exit 1
fi
echo "took ${duration_ms} ms; kills fall within its time and a tenth after it"
echo "seeds: $seed to $((seed + rows + stop_rows - 1))"

# The row's verdict: the rerun's final notice, then each part of the board against the
# reference.
verdict() {  # STATE_DIR
    local dir=$1 part bad=""
    [ "$(cat "$dir/peer.status" 2>/dev/null)" = 0 ] || bad="rerun NOK"
    for part in module.psr module.firmware flash.bin; do
        cmp -s "$out/reference/$part" "$dir/$part" || bad="$bad $part"
    done
    diff -rq "$out/reference/etc" "$dir/etc" > /dev/null || bad="$bad /etc"
    if [ -z "$bad" ]; then echo "OK (keys, firmware, flash, /etc right)"; else echo "FAILED:$bad"; fi
}

# Where the killed run was: its report's last line.
killed_in() {  # STATE_DIR
    local last
    last=$(tr '\r' '\n' < "$1/report-1.txt" | tail -n 1)
    echo "${last:-(no report yet)}"
}

failed=0
row=0
for mode in kill stop; do
    count=$rows
    [ $mode = kill ] || count=$stop_rows
    [ "$count" -gt 0 ] || continue
    echo "=== $count rows: $mode, restart, rerun ==="
    printf '%-4s %-6s %-5s %9s  %-50s %s\n' row seed mode "at (ms)" "the killed run's last report line" rerun
    for ((i = 0; i < count; i++)); do
        row_seed=$((seed + row))
        # The seed gives the moment as a share of the update's time, so that it names the same
        # moment of the update at any clock speed.
        RANDOM=$row_seed
        delay=$(((duration_ms + duration_ms / 10) * (RANDOM % 1000) / 1000))
        dir=$out/row-$row
        board "$dir" $mode "$delay"
        result=$(verdict "$dir")
        [[ $result == OK* ]] || failed=$((failed + 1))
        printf '%-4s %-6s %-5s %9s  %-50.50s %s\n' "$row" "$row_seed" $mode "$delay" \
            "$(killed_in "$dir")" "$result"
        row=$((row + 1))
    done
done
echo "=== $((row - failed)) of $row rows ended right; the boards' states: $out ==="
[ $failed -eq 0 ]
