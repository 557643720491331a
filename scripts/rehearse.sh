#!/bin/bash
# Rehearses an update on twins of real boards before it ships: the processes and folders. The
# build's program rehearse decides: it deals the boards out (--deal: which run, which are twins,
# which part), checks and makes OUT, and reports on the runs (rehearse --help). Each board's run
# is OUT/NAME/ (the old image's OUT/compared/NAME/), as FILES in man/rehearse.sh.1 says.
set -euo pipefail

usage() {
    cat <<'TXT'
Usage: rehearse.sh [OPTIONS] [--board DIR]... [--fleet DIR]... [--boards-from FILE]...
                   [--compare OLD_IMAGE] IMAGE
       rehearse.sh [--json FILE] [--page FILE] [--out DIR] --merge PART.json...
Runs the update IMAGE on a simulated board seeded from each board folder (see
sim/seed-board --help), each in a sandbox of its own, many at a time, the module's line at 0
baud and the board's clock 10 times faster than real time (--clock-speed), and reports what
the update did on each board and how long it would take there (what the report shows:
rehearse --help), each board's timeline in OUT/NAME/timeline.svg, the whole on one page in
OUT/plan.html. Twins, boards whose folders differ only in what no step of the image reads or
writes (data.txt's serial number, the module's address &0001), are rehearsed once.

Options:
  --board DIR     a board's folder; may be given many times (default: sim/boards/sample)
  --fleet DIR     every folder in DIR that holds a board's piece (etc/, module.psr, flash
                  or flash.bin) is a board's folder; may be given many times
  --boards-from FILE  board folders, one a line ("-": standard input); may be given many times
  --compare OLD   also rehearse the image OLD on the same boards and show, board by board,
                  what IMAGE does differently
  --shard K/N     rehearse only part K of N of the boards (1 <= K <= N) and report on it;
                  with --json, the part's plan for --merge. The distinct boards are dealt to
                  the parts in turn, twins with the first (rehearse --help, --deal)
  --merge PART.json...  join the parts' plans (each --shard K/N --json) into the whole
                  fleet's, as one run gives; other images' or missing parts are refused
  --at-speed      run at the board's speed (115200 baud, the flash's real times): slow, measured
  --clock-speed N the board's clock in a quick run, N times faster than real time (default
                  10); lower on a busy machine, for delays not to outlast the daemon's waits
  --json FILE     also write the report as JSON to FILE ("-": standard output, and no text);
                  its format: tools/rehearse/rehearsal.schema.json
  --page FILE     where the page goes (default OUT/plan.html)
  --keep-runs     keep all of each run (the devices' state, the image, the board's /tmp),
                  not only what the report reads
  --out DIR       where each board's run is kept, in DIR/NAME (default: build/rehearsal);
                  refused when it holds anything but rehearsals' runs, pages and JSON, or
                  lies in a board's or fleet's folder: nothing else in it is ever removed
  --build DIR     the build with update_process_sim, aipeer and rehearse, inside the project
                  or the working folder (default: build/host)
  --emulator CMD  run the build's programs under CMD (a cross build)
  --jobs N        boards rehearsed at a time (default: 4 a processor: the runs mostly wait)
  -h, --help      show this help
  -V, --version   show the version
Exit status: 0 every board ended OK, 1 a board did not, 2 usage error, a board folder that
is wrong (its file and line are named) or a part that --merge can't take (named), 3 a run
broke (no final notice came).
TXT
}

usage_error() { echo "rehearse.sh: $*" >&2; exit 2; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
case "${1:-}" in -V|--version) exec "$root/scripts/project-version" rehearse.sh ;; esac
# A quick run waits most of its time (the daemon's pauses, the module's answers): a processor
# keeps 4 busy. More finish no sooner on a loaded machine, and stretch the waits predicted.
boards=() out="$root/build/rehearsal" build="$root/build/host" keep_runs="" clock_speed=10
emulator="" jobs=$((4 * $(nproc))) at_speed="" json="" page="" compare="" shard="" merge=""
while [ $# -gt 0 ]; do
    case "$1" in
        --board|--fleet|--boards-from|--compare|--out|--shard|--clock-speed|--json|--page|\
        --build|--emulator|--jobs)
            [ $# -ge 2 ] || usage_error "$1 needs a value (see --help)"
            # The board folders, in the order given: rehearse --deal lists and checks them.
            case "$1" in
                --board|--fleet|--boards-from) boards+=("$1" "$2") ;;
                *) option=${1#--}; printf -v "${option/-/_}" '%s' "$2" ;;
            esac
            shift 2 ;;
        --merge) merge=1; shift; break ;;
        --at-speed) at_speed=1; shift ;;
        --keep-runs) keep_runs=1; shift ;;
        -h|--help) usage; exit 0 ;;
        --) shift; break ;;
        -*) usage_error "unknown option $1 (see --help)" ;;
        *) break ;;
    esac
done
[[ $clock_speed =~ ^[1-9][0-9]*$ ]] || usage_error "--clock-speed takes a whole number from 1, not '$clock_speed'"
if [ -n "$merge" ]; then
    [ $# -ge 1 ] || usage_error "--merge needs the parts' JSON files (see --help)"
    [ -z "${boards[*]}$shard$compare$at_speed$keep_runs" ] ||
        usage_error "--merge takes the parts' plans only (with --json, --page, --out)"
else
    [ $# -eq 1 ] || usage_error "expected one IMAGE (see --help)"
    image=$1
    for file in "$image" ${compare:+"$compare"}; do [ -f "$file" ] || usage_error "no image $file"; done
fi
[[ $jobs =~ ^[1-9][0-9]*$ ]] || usage_error "--jobs takes a count, not '$jobs'"
for program in update_process_sim aipeer rehearse; do
    [ -x "$build/$program" ] || usage_error "$build/$program not found (cmake --build --preset host)"
done
[ ${#boards[@]} -gt 0 ] || boards=(--board "$root/sim/boards/sample")
build=$(cd "$build" && pwd)
read -ra emulator_words <<< "$emulator"
rehearse_program() { "${emulator_words[@]}" "$build/rehearse" "$@"; }
if [ -n "$merge" ]; then
    exec "${emulator_words[@]}" "$build/rehearse" --as rehearse.sh --out "$out" --merge \
        ${json:+--json "$json"} --page "${page:-$out/plan.html}" "$@"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
image=$(absolute "$image")
[ -z "$compare" ] || compare=$(absolute "$compare")

# shellcheck disable=SC2317  # seed_board and run_board are called through in_parallel
# One board's folder seeded into its run's folder; one that can't be is noted so, not run.
seed_board() {
    local board=$1 dir=$2
    rm -rf "$dir"
    mkdir -p "$dir/tmp"
    "$root/sim/seed-board" "$board" "$dir/before/state" "$dir/before/etc" > "$dir/seed.txt" \
        2> "$dir/seed.err" || echo seeding > "$dir/outcome"
}

# shellcheck disable=SC2317  # called through in_parallel
# One seeded board: run the update IMAGE on it, note the outcome.
run_board() {
    local dir=$1 image=$2 status=0
    cp -R "$dir/before/state" "$dir/state"
    # At speed: the module's line at its default, the board's speed, and the flash's times.
    # Quick: the board's clock runs fast, and its waits are counted back at the board's pace.
    local speed=$clock_speed
    if [ -n "$at_speed" ]; then
        speed=1
        echo real > "$dir/state/flash.timing"
    else
        echo 0 > "$dir/state/module.baud"
    fi
    # Placed as the peer places it: the sandbox sees only the project's and working folders.
    cp "$image" "$dir/tmp/image"
    "$root/sim/board-run" --etc "$dir/before/etc" --state "$dir/state" --tmp "$dir/tmp" \
        --clock-speed "$speed" -- \
        "$root/sim/rehearse-run" --emulator "$emulator" "$build" 2> "$dir/run.err" || status=$?
    case $status in 0) echo OK ;; 1) echo NOK ;; *) echo none ;; esac > "$dir/outcome"
    [ -n "$keep_runs" ] || keep_read_only "$dir"
}

# shellcheck disable=SC2317  # called through run_board
# Of a run, only what the report reads (FILES in man/rehearse.sh.1): a fleet's runs are many.
keep_read_only() {
    find "$1/state" "$1/tmp" -mindepth 1 -maxdepth 1 ! \( -name etc-after -o -name update.d \
        -o -name '*.log' -o -name module.psr -o -name module.firmware -o -name clock.speed \
        -o -name '*-times.txt' \) -exec rm -rf {} +
    [ ! -d "$1/tmp/update.d" ] || find "$1/tmp/update.d" -mindepth 1 -maxdepth 1 \
        ! -name updatetodo.txt ! -name pskeyorig.psr -exec rm -rf {} +
}

# Runs "FUNCTION ARG1 ARG2" for each pair of ARGS, JOBS at a time; on a terminal, how far
# they are, on one line, after WHAT.
in_parallel() {
    local function=$1 what=$2 running=0 finished=0 total
    shift 2
    total=$(($# / 2))
    progress() { [ ! -t 2 ] || printf '\rrehearse.sh: %s: %d of %d done' "$what" "$1" "$total" >&2; }
    while [ $# -gt 0 ]; do
        if [ $running -ge "$jobs" ]; then
            wait -n || true
            running=$((running - 1)) finished=$((finished + 1))
            progress "$finished"
        fi
        "$function" "$1" "$2" &
        running=$((running + 1))
        shift 2
    done
    wait
    progress "$total"
    [ ! -t 2 ] || echo >&2
}

# The fleet's count of boards, then the boards (of part K with --shard K/N), each with its
# place, its name, the board whose run stands for its own ("-": none) and its folder, in one
# process for the whole fleet, which makes OUT and the twins' runs (OUT/NAME/twin-of).
rehearse_program --deal --as rehearse.sh --image "$image" ${compare:+--compare-image "$compare"} \
    ${shard:+--shard "$shard"} "${boards[@]}" "$out" > "$work/dealt" || exit $?
out=$(cd "$out" && pwd -P)
names=() folders=() seeded=() twins=() i=0
while IFS=$'\t' read -r _ "names[i]" stand_in "folders[i]"; do
    if [ "$stand_in" = - ]; then seeded+=("$i"); else twins+=("$i:$stand_in"); fi
    i=$((i + 1))
done < <(tail -n +2 "$work/dealt")

# Every board's run with IMAGE (and the old image's into OUT/compared/).
sets=("$out" "$image")
[ -z "$compare" ] || sets+=("$out/compared" "$compare")
# Seeds the boards (their indices) into each set's runs, or runs those seeded on its image.
for_sets() {
    local function=$1 what=$2 pairs=() i s dir
    shift 2
    for ((s = 0; s < ${#sets[@]}; s += 2)); do
        for i in "$@"; do
            dir=${sets[$s]}/${names[$i]}
            if [ "$function" = seed_board ]; then pairs+=("${folders[$i]}" "$dir")
            elif [ ! -f "$dir/outcome" ]; then pairs+=("$dir" "${sets[$((s + 1))]}"); fi
        done
    done
    in_parallel "$function" "$what" "${pairs[@]}"
}
for_sets seed_board seeding "${seeded[@]}"
# A twin whose stand-in's folder proved wrong is seeded itself, for seeding to name its files.
alone=()
for twin in "${twins[@]}"; do [ ! -f "$out/${twin#*:}/outcome" ] || alone+=("${twin%%:*}"); done
for_sets seed_board seeding "${alone[@]}"
for_sets run_board runs "${seeded[@]}" "${alone[@]}"

rehearse_program --image "$image" --page "${page:-$out/plan.html}" --dealt "$work/dealt" \
    ${shard:+--shard "$shard"} ${at_speed:+--at-speed} ${json:+--json "$json"} \
    ${compare:+--compare-image "$compare" --compare-runs "$out/compared"} "$out"
