#!/bin/bash
# Rehearses an update on twins of real boards before it ships: seeds a simulated board from
# each board's folder (sim/seed-board), runs IMAGE on each in a sandbox of its own, several at
# a time, the module's line at 0 baud, and reports what the update did on each board and how
# long it would take there: the program rehearse of the build reads the runs, groups the
# boards that the image treats alike and writes the text, the page and the JSON.
#   scripts/rehearse.sh [OPTIONS] [--board DIR]... [--fleet DIR]... [--compare OLD_IMAGE] IMAGE
# Each board's run is kept in OUT/NAME/ (NAME: the folder's name), which the report reads:
#   seed.txt      the seeding's lines, one per piece taken from the sample board
#   before/       the seeded state (state/) and /etc (etc/), as the update found them
#   state/        the simulated devices' state after the run (module.psr, module.firmware,
#                 flash.bin, module.log, module.btsnoop)
#   tmp/          the board's /tmp after the run: peer.txt, update.log, daemon.err, etc-after/
#   run.err       what the sandbox and the run said on standard error
#   outcome       OK, NOK, "none" (no final notice came) or "seeding" (the folder is wrong)
#   timeline.svg  the update's timeline
# With --compare, the old image's runs are kept in OUT/compared/NAME.
set -euo pipefail

usage() {
    cat <<'TXT'
Usage: rehearse.sh [OPTIONS] [--board DIR]... [--fleet DIR]... [--compare OLD_IMAGE] IMAGE
Runs the update IMAGE on a simulated board seeded from each board folder (see
sim/seed-board --help), each in a sandbox of its own, many at a time, the module's line at
0 baud and the board's clock 10 times faster than real time. The boards that the image treats
alike (the same outcome, failures and changes) form a group; each group is shown once: the
pieces taken from the sample board, the outcome (after NOK, each failed step's reasons), the
version table's decisions, the PS-Keys (the image's apart from those the daemon sets by
itself), firmware, flash sectors and /etc lines the update changed (the board's own records
it removed marked as lost), the board's trust (its update keys before and after, who
signed the image and the daemon's verdict, its security version before and after), and the
duration predicted at the board's speed (module line at
115200 baud, the flash's typical times, the firmware's download), step by step; then a table
over all boards. Each board's timeline goes to OUT/NAME/timeline.svg, the whole on one page
to OUT/plan.html.

Options:
  --board DIR     a board's folder; may be given many times (default: sim/boards/sample)
  --fleet DIR     every folder in DIR is a board's folder; may be given many times
  --compare OLD   also rehearse the image OLD on the same boards and show, board by board,
                  what IMAGE does differently
  --at-speed      run at the board's speed instead (115200 baud, the flash's real times) and
                  measure the durations: slow, but what a board would show
  --json FILE     also write the report as JSON to FILE ("-": standard output, and no text);
                  its format: tools/rehearse/rehearsal.schema.json
  --page FILE     where the page goes (default OUT/plan.html)
  --out DIR       where each board's run is kept, in DIR/NAME (default: build/rehearsal)
  --build DIR     the build with update_process_sim, aipeer and rehearse, inside the project
                  or the working folder (default: build/host)
  --emulator CMD  run the build's programs under CMD (a cross build)
  --jobs N        boards rehearsed at a time (default: 4 for each processor: the runs
                  mostly wait)
  -h, --help      show this help
  -V, --version   show the version
Exit status: 0 every board ended OK, 1 a board did not, 2 usage error or a board folder that
is wrong (its file and line are named), 3 a run broke (no final notice came).
TXT
}

usage_error() { echo "rehearse.sh: $*" >&2; exit 2; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
case "${1:-}" in -V|--version) exec "$root/scripts/project-version" rehearse.sh ;; esac
# How many times faster than real time the board's clock runs in a quick run.
quick_clock_speed=10
# A quick run waits most of its time (the daemon's pauses, the module's answers): a processor
# keeps several busy. More at a time finish no sooner on a loaded machine, and the runs that
# wait for a processor stretch the waits that the prediction counts.
jobs_per_processor=4
boards=() out="$root/build/rehearsal" build="$root/build/host" emulator=""
jobs=$((jobs_per_processor * $(nproc))) at_speed="" json="" page="" compare=""
value() { [ $# -ge 2 ] || usage_error "$1 needs a value (see --help)"; }
while [ $# -gt 0 ]; do
    case "$1" in
        --board) value "$@"; boards+=("$2"); shift 2 ;;
        --fleet)
            value "$@"
            [ -d "$2" ] || usage_error "no fleet folder $2"
            fleet=()
            for board in "$2"/*/; do [ ! -d "$board" ] || fleet+=("${board%/}"); done
            [ ${#fleet[@]} -gt 0 ] || usage_error "no board folder in $2"
            boards+=("${fleet[@]}")
            shift 2 ;;
        --compare) value "$@"; compare=$2; shift 2 ;;
        --out) value "$@"; out=$2; shift 2 ;;
        --at-speed) at_speed=--at-speed; shift ;;
        --json) value "$@"; json=$2; shift 2 ;;
        --page) value "$@"; page=$2; shift 2 ;;
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
for file in "$image" ${compare:+"$compare"}; do [ -f "$file" ] || usage_error "no image $file"; done
[[ $jobs =~ ^[1-9][0-9]*$ ]] || usage_error "--jobs takes a count, not '$jobs'"
for program in update_process_sim aipeer rehearse; do
    [ -x "$build/$program" ] ||
        usage_error "$build/$program not found (cmake --build --preset host)"
done
[ ${#boards[@]} -gt 0 ] || boards=("$root/sim/boards/sample")
names=()
declare -A seen
for board in "${boards[@]}"; do
    [ -d "$board" ] || usage_error "no board folder $board"
    name=$(basename "$(cd "$board" && pwd)")
    [ -z "${seen[$name]:-}" ] || usage_error "two boards named $name"
    # The old image's runs are kept in OUT/compared/.
    [ -z "$compare" ] || [ "$name" != compared ] || usage_error "a board named compared"
    seen[$name]=1
    names+=("$name")
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
build=$(cd "$build" && pwd)
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
image=$(absolute "$image")
[ -z "$compare" ] || compare=$(absolute "$compare")
[ -n "$page" ] || page=$out/plan.html

# One board: seed it, run the update IMAGE, note the outcome. Its output goes to its folder
# only.
rehearse_board() {
    local board=$1 dir=$2 image=$3 status=0
    rm -rf "$dir"
    mkdir -p "$dir/tmp"
    if ! "$root/sim/seed-board" "$board" "$dir/before/state" "$dir/before/etc" \
            > "$dir/seed.txt" 2> "$dir/seed.err"; then
        echo seeding > "$dir/outcome"
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
}

# Every board with IMAGE (and with the old image into OUT/compared/), many at a time.
runs=()
for i in "${!boards[@]}"; do
    runs+=("$image" "$out/${names[$i]}" "${boards[$i]}")
    [ -z "$compare" ] || runs+=("$compare" "$out/compared/${names[$i]}" "${boards[$i]}")
done
running=0 done_runs=0 total=$((${#runs[@]} / 3))
# On a terminal, how far the runs are, on one line.
progress() { [ ! -t 2 ] || printf '\rrehearse.sh: %d of %d runs done' "$1" "$total" >&2; }
for ((r = 0; r < ${#runs[@]}; r += 3)); do
    if [ $running -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1)) done_runs=$((done_runs + 1))
        progress "$done_runs"
    fi
    rehearse_board "${runs[r + 2]}" "${runs[r + 1]}" "${runs[r]}" &
    running=$((running + 1))
done
wait
progress "$total"
[ ! -t 2 ] || echo >&2

report=(--image "$image" --page "$page")
[ -z "$at_speed" ] || report+=(--at-speed)
[ -z "$json" ] || report+=(--json "$json")
[ -z "$compare" ] || report+=(--compare-image "$compare" --compare-runs "$out/compared")
read -ra emulator_words <<< "$emulator"
status=0
"${emulator_words[@]}" "$build/rehearse" "${report[@]}" "$out" "${boards[@]}" || status=$?
[ "$json" = - ] || echo "page: $page"
exit $status
