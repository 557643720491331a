#!/bin/bash
# Rehearses an update on twins of real boards before it ships: seeds a simulated board from
# each board's folder (sim/seed-board), runs IMAGE on each in a sandbox of its own, several at
# a time, the module's line at 0 baud, and reports what the update did on each board and how
# long it would take there (sim/rehearse-facts).
#   scripts/rehearse.sh [OPTIONS] [--board DIR]... IMAGE
# Each board's run is kept in OUT/NAME/ (NAME: the folder's name), which the report reads:
#   seed.txt      the seeding's lines, one per piece taken from the sample board
#   before/       the seeded state (state/) and /etc (etc/), as the update found them
#   state/        the simulated devices' state after the run (module.psr, module.firmware,
#                 flash.bin, module.log, module.btsnoop)
#   tmp/          the board's /tmp after the run: peer.txt, update.log, daemon.err, etc-after/
#   run.err       what the sandbox and the run said on standard error
#   outcome       OK, NOK, "none" (no final notice came) or "seeding" (the folder is wrong)
#   facts.tsv     what sim/rehearse-facts found; timeline.svg, the update's timeline
set -euo pipefail

usage() {
    cat <<'TXT'
Usage: rehearse.sh [OPTIONS] [--board DIR]... IMAGE
Runs the update IMAGE on a simulated board seeded from each board folder (see
sim/seed-board --help), each in a sandbox of its own, several at a time, the module's line
at 0 baud and the board's clock 10 times faster than real time. For each board: the pieces taken from the sample board, the outcome the peer got
(after NOK, the report's lines that tell why), the version table's decisions, the PS-Keys,
firmware, flash sectors and /etc lines the update changed, and the duration predicted at the
board's speed (module line at 115200 baud, the flash's typical erase and program times), step
by step, drawn in OUT/NAME/timeline.svg; then a table over all boards.

Options:
  --board DIR     a board's folder; may be given many times (default: sim/boards/sample)
  --at-speed      run at the board's speed instead (115200 baud, the flash's real times) and
                  measure the durations: slow, but what a board would show
  --json FILE     also write the report as JSON to FILE ("-": standard output, and no text)
  --out DIR       where each board's run is kept, in DIR/NAME (default: build/rehearsal)
  --build DIR     the build with update_process_sim and aipeer, inside the project or
                  the working folder (default: build/host)
  --emulator CMD  run the build's programs under CMD (a cross build)
  --jobs N        boards rehearsed at a time (default: the number of processors)
  -h, --help      show this help
Exit status: 0 every board ended OK, 1 a board did not, 2 usage error.
TXT
}

usage_error() { echo "rehearse.sh: $*" >&2; exit 2; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# How many times faster than real time the board's clock runs in a quick run.
quick_clock_speed=10
boards=() out="$root/build/rehearsal" build="$root/build/host" emulator="" jobs=$(nproc)
at_speed="" json=""
value() { [ $# -ge 2 ] || usage_error "$1 needs a value (see --help)"; }
while [ $# -gt 0 ]; do
    case "$1" in
        --board) value "$@"; boards+=("$2"); shift 2 ;;
        --out) value "$@"; out=$2; shift 2 ;;
        --at-speed) at_speed=--at-speed; shift ;;
        --json) value "$@"; json=$2; shift 2 ;;
        --build) value "$@"; build=$2; shift 2 ;;
        --emulator) value "$@"; emulator=$2; shift 2 ;;
        --jobs) value "$@"; jobs=$2; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        --) shift; break ;;
        -*) usage_error "unknown option $1 (see --help)" ;;
        *) break ;;
    esac
done
[ $# -eq 1 ] || usage_error "expected one IMAGE (see --help)"
image=$1
[ -f "$image" ] || usage_error "no image $image"
[[ $jobs =~ ^[1-9][0-9]*$ ]] || usage_error "--jobs takes a count, not '$jobs'"
for program in update_process_sim aipeer; do
    [ -x "$build/$program" ] ||
        usage_error "$build/$program not found (cmake --build --preset host)"
done
[ ${#boards[@]} -gt 0 ] || boards=("$root/sim/boards/sample")
names=()
for board in "${boards[@]}"; do
    [ -d "$board" ] || usage_error "no board folder $board"
    name=$(basename "$(cd "$board" && pwd)")
    for seen in "${names[@]}"; do
        [ "$seen" != "$name" ] || usage_error "two boards named $name"
    done
    names+=("$name")
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
build=$(cd "$build" && pwd)
image=$(cd "$(dirname "$image")" && pwd)/$(basename "$image")

# One board: seed it, run the update, note the outcome. Its output goes to its folder only.
rehearse_board() {
    local board=$1 dir=$2 status=0
    rm -rf "$dir"
    mkdir -p "$dir/tmp"
    if ! "$root/sim/seed-board" "$board" "$dir/before/state" "$dir/before/etc" \
            > "$dir/seed.txt" 2> "$dir/seed.err"; then
        echo seeding > "$dir/outcome"
        "$root/sim/rehearse-facts" "$dir" > "$dir/facts.tsv"
        return
    fi
    cp -R "$dir/before/state" "$dir/state"
    # At speed: the module's line at its default, the board's speed, and the flash's times.
    local clock_speed=$quick_clock_speed
    if [ -n "$at_speed" ]; then
        clock_speed=1
        echo real > "$dir/state/flash.timing"
    else
        echo 0 > "$dir/state/module.baud"
    fi
    # Placed as the peer places it: the sandbox sees nothing of this machine's folders but
    # the project's and the working folder.
    cp "$image" "$dir/tmp/image"
    # Quick: the board's clock runs fast, and its waits are counted back at the board's pace.
    "$root/sim/board-run" --etc "$dir/before/etc" --state "$dir/state" --tmp "$dir/tmp" \
        --clock-speed "$clock_speed" -- \
        "$root/sim/rehearse-run" --emulator "$emulator" "$build" 2> "$dir/run.err" || status=$?
    case $status in
        0) echo OK ;;
        1) echo NOK ;;
        *) echo none ;;
    esac > "$dir/outcome"
    "$root/sim/rehearse-facts" $at_speed "$dir" > "$dir/facts.tsv"
    if grep -q '^phase' "$dir/facts.tsv"; then
        "$root/sim/rehearse-timeline" "$(basename "$image") on ${dir##*/}" "$dir/facts.tsv" \
            > "$dir/timeline.svg"
    fi
}

running=0
for i in "${!boards[@]}"; do
    if [ $running -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    rehearse_board "${boards[$i]}" "$out/${names[$i]}" &
    running=$((running + 1))
done
wait

# The text report goes to standard output, unless the JSON does.
if [ "$json" = - ]; then exec 3> /dev/null; else exec 3>&1; fi
ok=0
for i in "${!boards[@]}"; do
    dir="$out/${names[$i]}"
    outcome=$(cat "$dir/outcome")
    [ "$outcome" != OK ] || ok=$((ok + 1))
    echo "=== board ${names[$i]} (${boards[$i]}) ==="
    "$root/sim/rehearse-render" text "$dir/facts.tsv"
    [ "$outcome" != seeding ] || sed 's/^/  /' "$dir/seed.err"
    [ "$outcome" != none ] ||
        cat "$dir/tmp/peer.txt" "$dir/run.err" 2>/dev/null | tail -n 3 | sed 's/^/  /'
    [ ! -f "$dir/timeline.svg" ] || echo "timeline: $dir/timeline.svg"
done >&3

width=5
for name in "${names[@]}"; do [ ${#name} -le $width ] || width=${#name}; done
kind=predicted
[ -z "$at_speed" ] || kind=measured
{
    echo "=== all boards ==="
    printf "%-${width}s  %-7s  %7s  %-14s  %4s  %7s  %4s  %8s  %s\n" board outcome assumed \
        firmware keys sectors /etc "$kind" "failed steps"
    for i in "${!boards[@]}"; do
        "$root/sim/rehearse-render" row "${names[$i]}" $width "$out/${names[$i]}/facts.tsv"
    done
    echo "$ok of ${#boards[@]} boards ended OK"
} >&3

if [ -n "$json" ]; then
    [ "$json" = - ] || exec > "$json"
    printf '{"image": "%s", "durations": "%s", "boards": [\n' \
        "$(basename "$image" | sed 's/[\\"]/\\&/g')" "$kind"
    for i in "${!boards[@]}"; do
        [ "$i" -eq 0 ] || printf ',\n'
        "$root/sim/rehearse-render" json "${names[$i]}" "${boards[$i]}" \
            "$out/${names[$i]}/facts.tsv"
    done
    printf '\n], "ok": %d, "boards_total": %d}\n' "$ok" ${#boards[@]}
fi
[ "$ok" -eq ${#boards[@]} ]
