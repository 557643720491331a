#!/bin/bash
# Rehearses an update on twins of real boards before it ships: seeds a simulated board from
# each board's folder (sim/seed-board), runs IMAGE on each in a sandbox of its own, several at
# a time, the module's line at 0 baud, and reports what the update did on each board and how
# long it would take there: the program rehearse of the build reads the runs, groups the
# boards that the image treats alike and writes the text, the page and the JSON.
#   scripts/rehearse.sh [OPTIONS] [--board DIR]... [--fleet DIR]... [--boards-from FILE]...
#                       [--compare OLD_IMAGE] IMAGE
#   scripts/rehearse.sh [--json FILE] [--page FILE] --merge PART.json...
# Each board's run is kept in OUT/NAME/ (NAME: the folder's name), which the report reads;
# without --keep-runs only what it reads is kept (marked *):
#   seed.txt      the seeding's lines, one per piece taken from the sample board
#   before/       the seeded state (state/) and /etc (etc/), as the update found them
#   state/        the simulated devices' state after the run (module.psr*, module.firmware*,
#                 the logs *.log*, clock.speed*, flash.bin, module.btsnoop)
#   tmp/          the board's /tmp after the run: update.log*, *-times.txt*, etc-after/*,
#                 update.d/ (updatetodo.txt* and pskeyorig.psr*), peer.txt, daemon.err,
#                 the image
#   run.err       what the sandbox and the run said on standard error
#   outcome       OK, NOK, "none" (no final notice came) or "seeding" (the folder is wrong)
#   timeline.svg  the update's timeline
#   twin-of       for a board whose folder is another's but for values that no step of the
#                 image reads or writes (rehearse --deal decides): that board's NAME, whose run
#                 stands for its own (it is not seeded nor run, and has nothing else)
# With --compare, the old image's runs are kept in OUT/compared/NAME.
set -euo pipefail

usage() {
    cat <<'TXT'
Usage: rehearse.sh [OPTIONS] [--board DIR]... [--fleet DIR]... [--boards-from FILE]...
                   [--compare OLD_IMAGE] IMAGE
       rehearse.sh [--json FILE] [--page FILE] [--out DIR] --merge PART.json...
Runs the update IMAGE on a simulated board seeded from each board folder (see
sim/seed-board --help), each in a sandbox of its own, many at a time, the module's line at
0 baud and the board's clock 10 times faster than real time (--clock-speed). The boards
that the image treats alike (the same outcome, failures and changes) form a group, named
for what the update does to it, failures first; each group is shown once: where its boards
differ, the pieces taken from the sample board, the outcome (after NOK, each failed step's
reasons), the version table's decisions, the PS-Keys (the image's apart from those the
daemon sets by itself), firmware, flash sectors and /etc lines the update changed (the
board's own records it removed marked as lost), the board's trust (its update keys before
and after with their roles, who signed the image and the daemon's verdict, its security
version and key-set version before and after; a key set that the board's keys refused names
its group: NOK at Update keys, key set refused), and the duration predicted at the board's
speed (module line at 115200 baud, the flash's typical times, the firmware's download),
step by step; then a table over all boards. Each board's timeline goes to
OUT/NAME/timeline.svg, the whole on one page to OUT/plan.html. Boards whose folders differ
only in values that no step of the image reads or writes (data.txt's serial number, the
unread fields of CSRMODULINFO, the module's keys that neither the image's PS-Key file names
nor the daemon presets, such as its address &0001) are twins: rehearsed once and reported
each under its own name, each group saying what its twins differed in. A plan costs a run
for each distinct board, not for each board.

Options:
  --board DIR     a board's folder; may be given many times (default: sim/boards/sample)
  --fleet DIR     every folder in DIR that holds a board's piece (etc/, module.psr, flash
                  or flash.bin) is a board's folder; may be given many times
  --boards-from FILE  board folders, one a line ("-": standard input), as many as a fleet
                  has; may be given many times
  --compare OLD   also rehearse the image OLD on the same boards and show, board by board,
                  what IMAGE does differently
  --shard K/N     rehearse only part K of N of the boards (1 <= K <= N) and report on it;
                  with --json, the part's plan for --merge. Twins are one board; the distinct
                  boards, in the order their first boards come, are dealt out to the parts in
                  turn (the first to part 1, the second to part 2, ...), so the same boards
                  give the same parts, twins stay in one, and each part has about as many runs
  --merge PART.json...  join the parts' plans (each --shard K/N --json) into the plan of the
                  whole fleet, as one run over it gives: its text, page and (--json) JSON;
                  parts of other images, overlapping or missing parts are refused
  --at-speed      run at the board's speed instead (115200 baud, the flash's real times) and
                  measure the durations: slow, but what a board would show
  --clock-speed N the board's clock in a quick run, N times faster than real time (default
                  10); on a busy machine a lower N keeps its delays from outlasting the
                  daemon's waits for the module and the DFU program
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
  --jobs N        boards rehearsed at a time (default: 4 for each processor: the runs
                  mostly wait)
  -h, --help      show this help
  -V, --version   show the version
Exit status: 0 every board ended OK, 1 a board did not, 2 usage error, a board folder that
is wrong (its file and line are named) or a part that --merge can't take (named), 3 a run
broke (no final notice came).
TXT
}

usage_error() { echo "rehearse.sh: $*" >&2; exit 2; }

# A board's folder holds at least one of a board's pieces (see sim/seed-board --help).
looks_like_board() {
    [ -d "$1/etc" ] || [ -e "$1/module.psr" ] || [ -e "$1/flash" ] || [ -e "$1/flash.bin" ]
}
# What a board's run leaves in OUT/NAME, and nothing else: such a folder is the rehearsal's
# own (this run's or an earlier one's) and may be made anew.
run_entries=" seed.txt seed.err before state tmp run.err outcome timeline.svg twin-of "
is_run_folder() {
    local entry
    [ -d "$1" ] && [ ! -L "$1" ] || return 1
    for entry in "$1"/* "$1"/.[!.]*; do
        [ -e "$entry" ] || [ -L "$entry" ] || continue
        [[ $run_entries == *" ${entry##*/} "* ]] || return 1
    done
}
# OUT holds only what rehearsals write there: the boards' runs, compared/ with the old image's
# runs, the page and the JSON; anything else (a board's folder above all) is not ours to
# remove or write over.
check_out_folder() {
    local entry name
    for entry in "$1"/* "$1"/.[!.]*; do
        [ -e "$entry" ] || [ -L "$entry" ] || continue
        name=${entry##*/}
        if [ -f "$entry" ] && [ ! -L "$entry" ] && [[ $name == *.html || $name == *.json ]]; then
            continue
        fi
        if [ "$name" = compared ] && [ -d "$entry" ] && [ ! -L "$entry" ]; then
            check_compared_folder "$entry"
            continue
        fi
        is_run_folder "$entry" ||
            usage_error "--out $1 holds $entry, which is no rehearsal's run: choose another folder"
    done
}
check_compared_folder() {
    local entry
    for entry in "$1"/* "$1"/.[!.]*; do
        [ -e "$entry" ] || [ -L "$entry" ] || continue
        is_run_folder "$entry" ||
            usage_error "--out holds $entry, which is no rehearsal's run: choose another folder"
    done
}

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
case "${1:-}" in -V|--version) exec "$root/scripts/project-version" rehearse.sh ;; esac
# How many times faster than real time the board's clock runs in a quick run.
quick_clock_speed=10
# A quick run waits most of its time (the daemon's pauses, the module's answers): a processor
# keeps several busy. More at a time finish no sooner on a loaded machine, and the runs that
# wait for a processor stretch the waits that the prediction counts.
jobs_per_processor=4
fleets=() out="$root/build/rehearsal" build="$root/build/host" keep_runs=""
emulator="" jobs=$((jobs_per_processor * $(nproc))) at_speed="" json="" page="" compare=""
shard="" merge=""
value() { [ $# -ge 2 ] || usage_error "$1 needs a value (see --help)"; }
# The board folders, one a line, in the order given: a fleet may hold more than a command
# line takes.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
list=$work/boards
: > "$list"
while [ $# -gt 0 ]; do
    case "$1" in
        --board)
            value "$@"
            [ -d "$2" ] || usage_error "no board folder $2"
            printf '%s\n' "$2" >> "$list"
            shift 2 ;;
        --fleet)
            value "$@"
            [ -d "$2" ] || usage_error "no fleet folder $2"
            found=0
            for board in "$2"/*/; do
                # Only what looks like a board's folder is one: a rehearsal's own output (an
                # --out inside the fleet) or a stray folder is no board to rehearse.
                if [ -d "$board" ] && looks_like_board "$board"; then
                    printf '%s\n' "${board%/}"
                    found=$((found + 1))
                fi
            done >> "$list"
            [ $found -gt 0 ] || usage_error "no board folder in $2"
            fleets+=("$(cd "$2" && pwd -P)")
            shift 2 ;;
        --boards-from)
            value "$@"
            { [ "$2" = - ] || [ -f "$2" ]; } || usage_error "no list of board folders $2"
            cat -- "$2" >> "$list"
            shift 2 ;;
        --compare) value "$@"; compare=$2; shift 2 ;;
        --out) value "$@"; out=$2; shift 2 ;;
        --shard)
            value "$@"
            { [[ $2 =~ ^([1-9][0-9]*)/([1-9][0-9]*)$ ]] &&
                [ "${BASH_REMATCH[1]}" -le "${BASH_REMATCH[2]}" ]; } ||
                usage_error "--shard takes K/N, 1 <= K <= N, not '$2'"
            shard=$2
            shift 2 ;;
        --merge) merge=1; shift; break ;;
        --at-speed) at_speed=--at-speed; shift ;;
        --keep-runs) keep_runs=1; shift ;;
        --clock-speed)
            value "$@"
            [[ $2 =~ ^[1-9][0-9]*$ ]] ||
                usage_error "--clock-speed takes a whole number from 1, not '$2'"
            quick_clock_speed=$2; shift 2 ;;
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
if [ -n "$merge" ]; then
    [ $# -ge 1 ] || usage_error "--merge needs the parts' JSON files (see --help)"
    { [ ! -s "$list" ] && [ -z "$shard$compare$at_speed$keep_runs" ]; } ||
        usage_error "--merge takes the parts' plans only (with --json, --page, --out)"
    parts=("$@")
else
    [ $# -eq 1 ] || usage_error "expected one IMAGE (see --help)"
    image=$1
    for file in "$image" ${compare:+"$compare"}; do [ -f "$file" ] || usage_error "no image $file"; done
fi
[[ $jobs =~ ^[1-9][0-9]*$ ]] || usage_error "--jobs takes a count, not '$jobs'"
for program in update_process_sim aipeer rehearse; do
    [ -x "$build/$program" ] ||
        usage_error "$build/$program not found (cmake --build --preset host)"
done
[ -n "$merge" ] || [ -s "$list" ] || printf '%s\n' "$root/sim/boards/sample" > "$list"
[ ! -L "$out" ] || usage_error "--out $out is a link: name the folder itself"
[ ! -e "$out" ] || [ -d "$out" ] || usage_error "--out $out is not a folder"
mkdir -p "$out"
out=$(cd "$out" && pwd -P)
check_out_folder "$out"
for fleet_dir in "${fleets[@]}"; do
    case "$out/" in "$fleet_dir"/*) usage_error "--out $out lies in the fleet folder $fleet_dir" ;; esac
done
build=$(cd "$build" && pwd)
[ -n "$page" ] || page=$out/plan.html
read -ra emulator_words <<< "$emulator"
rehearse_program() { "${emulator_words[@]}" "$build/rehearse" "$@"; }
if [ -n "$merge" ]; then
    # The page is named when the merge wrote it: parts it refused leave none.
    marker=$work/marker
    : > "$marker"
    status=0
    rehearse_program --merge ${json:+--json "$json"} --page "$page" "${parts[@]}" || status=$?
    [ "$json" = - ] || [ ! "$page" -nt "$marker" ] || echo "page: $page"
    exit $status
fi
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
image=$(absolute "$image")
[ -z "$compare" ] || compare=$(absolute "$compare")

# shellcheck disable=SC2317  # seed_board and run_board are called through in_parallel
# One board's folder seeded into its run's folder; a folder that can't be seeded is noted as
# such and not run. Its output goes to its folder only.
seed_board() {
    local board=$1 dir=$2
    rm -rf "$dir"
    mkdir -p "$dir/tmp"
    if ! "$root/sim/seed-board" "$board" "$dir/before/state" "$dir/before/etc" \
            > "$dir/seed.txt" 2> "$dir/seed.err"; then
        echo seeding > "$dir/outcome"
    fi
}

# shellcheck disable=SC2317  # called through in_parallel
# One seeded board: run the update IMAGE on it, note the outcome.
run_board() {
    local dir=$1 image=$2 status=0
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
    [ -n "$keep_runs" ] || keep_read_only "$dir"
}

# shellcheck disable=SC2317  # called through run_board
# Of a run, only what the report reads (see the top of this file): a fleet's runs are many.
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

# The boards (of part K with --shard K/N), each with its place, its name, the board whose run
# stands for its own ("-": none) and its folder, in one process for the whole fleet.
rehearse_program --deal --image "$image" ${compare:+--compare-image "$compare"} \
    ${shard:+--shard "$shard"} --boards-from "$list" "$out" > "$work/dealt" || exit $?
positions=() folders=() names=() stand_ins=()
while IFS=$'\t' read -r position name stand_in folder; do
    positions+=("$position") names+=("$name") stand_ins+=("$stand_in") folders+=("$folder")
done < "$work/dealt"

# Every board's run with IMAGE (and the old image's into OUT/compared/): the boards that run
# are seeded, the twins only note their stand-in (OUT/NAME/twin-of); unless the stand-in's
# folder proves wrong: then each is seeded, for the seeding to name its own files.
sets=("$out" "$image")
[ -z "$compare" ] || sets+=("$out/compared" "$compare")
# Seeds the boards (their indices) into each set's runs.
seed_boards() {
    local seeds=() i s
    for i in "$@"; do
        for ((s = 0; s < ${#sets[@]}; s += 2)); do
            seeds+=("${folders[$i]}" "${sets[$s]}/${names[$i]}")
        done
    done
    in_parallel seed_board seeding "${seeds[@]}"
}
seeded=() twins=()
for i in "${!names[@]}"; do
    if [ "${stand_ins[$i]}" = - ]; then seeded+=("$i"); else twins+=("$i"); fi
done
seed_boards "${seeded[@]}"
twin_dirs=() twin_names=() seeded_alone=()
for i in "${twins[@]}"; do
    if [ -f "$out/${stand_ins[$i]}/outcome" ]; then
        seeded_alone+=("$i")
        continue
    fi
    for ((s = 0; s < ${#sets[@]}; s += 2)); do
        twin_dirs+=("${sets[$s]}/${names[$i]}") twin_names+=("${stand_ins[$i]}")
    done
done
seed_boards "${seeded_alone[@]}"
if [ ${#twin_dirs[@]} -gt 0 ]; then
    printf '%s\0' "${twin_dirs[@]}" | xargs -0 rm -rf
    printf '%s\0' "${twin_dirs[@]}" | xargs -0 mkdir -p
    for i in "${!twin_dirs[@]}"; do echo "${twin_names[$i]}" > "${twin_dirs[$i]}/twin-of"; done
fi
runs=()
for ((s = 0; s < ${#sets[@]}; s += 2)); do
    for i in "${seeded[@]}" "${seeded_alone[@]}"; do
        dir=${sets[$s]}/${names[$i]}
        [ -f "$dir/outcome" ] || runs+=("$dir" "${sets[$((s + 1))]}")
    done
done
in_parallel run_board runs "${runs[@]}"

report=(--image "$image" --page "$page")
[ -z "$at_speed" ] || report+=(--at-speed)
[ -z "$json" ] || report+=(--json "$json")
[ -z "$compare" ] || report+=(--compare-image "$compare" --compare-runs "$out/compared")
printf '%s\n' "${folders[@]}" > "$work/part"
if [ -n "$shard" ]; then
    printf '%s\n' "${positions[@]}" > "$work/positions"
    report+=(--shard "$shard" --fleet-size "$(grep -c . "$list")" --positions "$work/positions")
fi
status=0
rehearse_program "${report[@]}" --boards-from "$work/part" "$out" || status=$?
[ "$json" = - ] || echo "page: $page"
exit $status
