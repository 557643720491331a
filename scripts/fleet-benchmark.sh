#!/bin/bash
# How long a large fleet's plan takes on this machine, and how much memory: a fleet made by
# sim/make-fleet (10,000 boards as captured, 200 distinct) planned by scripts/rehearse.sh with
# the sample update. Not part of the tests (it takes minutes); its figures go in the notes.
#   scripts/fleet-benchmark.sh [--boards N]... [--jobs N] [--shards N] [--build DIR] [--work DIR]
set -euo pipefail

usage() {
    cat <<'TXT'
Usage: fleet-benchmark.sh [--boards N]... [--jobs N] [--shards N] [--build DIR] [--work DIR]
Makes a fleet of N boards (default 10000; --boards may be given several times, each fleet in
turn) with sim/make-fleet, plans it with scripts/rehearse.sh (--json) and the sample update,
and reports for each: the boards, the runs (distinct boards) and the twins (boards that took
another's run), the wall time of making the fleet and of the plan, the size of the runs'
folders it keeps (MB, as du counts them), the largest memory (maximum resident set) of any
one process of the plan, and the time and memory of the program rehearse alone as it reads
all the runs and writes the text, JSON and page (run again over the same runs), and its
memory without the page.

Options:
  --boards N    the fleet's size (default 10000)
  --jobs N      boards rehearsed at a time (rehearse.sh --jobs; default its own)
  --shards N    plan each fleet again in N shards (--shard K/N, one after the other), merge
                them (--merge), and check that the merged plan's text and JSON are the one
                run's, board by board, but for the times measured; the merge's wall time is
                reported
  --build DIR   the build with update_process_sim, aipeer, rehearse and mkupdate
                (default: build/host)
  --work DIR    where the fleets and runs go, emptied first (default: a new temporary
                folder, removed at the end)
  -h, --help    show this help
  -V, --version show the version
Exit status: 0 measured, 1 a step failed or the merged shards differ from the one run,
2 usage error.
TXT
}
usage_error() { echo "fleet-benchmark.sh: $*" >&2; exit 2; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sizes=() build=$root/build/host work="" jobs=() shards=0
while [ $# -gt 0 ]; do
    case "$1" in
        --boards) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage_error "--boards takes a count"
                  sizes+=("$2"); shift 2 ;;
        --jobs) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage_error "--jobs takes a count"
                jobs=(--jobs "$2"); shift 2 ;;
        --shards) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage_error "--shards takes a count"
                  shards=$2; shift 2 ;;
        --build) [ -n "${2:-}" ] || usage_error "--build needs a folder"; build=$2; shift 2 ;;
        --work) [ -n "${2:-}" ] || usage_error "--work needs a folder"; work=$2; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        -V|--version) exec "$root/scripts/project-version" fleet-benchmark.sh ;;
        *) usage_error "unknown argument $1 (see --help)" ;;
    esac
done
[ ${#sizes[@]} -gt 0 ] || sizes=(10000)
[ -x /usr/bin/time ] || usage_error "/usr/bin/time not found (Debian's package time)"
if [ -z "$work" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
else
    rm -rf "$work"
    mkdir -p "$work"
fi
image=$work/sample-update.img
"$root/sim/sample-update/build-image" "$build/mkupdate" "$image" > /dev/null

# A field of /usr/bin/time -v's report: "Maximum resident set size (kbytes)", ...
field() { sed -n "s/^\t$2: //p" "$1"; }
# KiB as MiB, with a tenth.
mib() { local tenths=$(($1 * 10 / 1024)); echo "$((tenths / 10)).$((tenths % 10))"; }
# A plan's text or JSON without the times measured, which differ from run to run, and without
# the line that names its page.
untimed() {
    sed -E -e '/^page: /d' -e 's/-?[0-9]+\.[0-9]+(e[-+]?[0-9]+)?(-[0-9]+\.[0-9]+)?/#/g' "$1"
}
# Seconds since $1 (date +%s%N), with a tenth.
since() { local ms=$((($(date +%s%N) - $1) / 1000000)); echo "$((ms / 1000)).$((ms % 1000 / 100))"; }
# The fleet of size $1 planned again in $shards shards and merged: its text and JSON must be the
# one run's. Said in $work/shards, shown after the table.
shard_check() {
    local size=$1 k parts=() start merged
    start=$(date +%s%N)
    for ((k = 1; k <= shards; k++)); do
        "$root/scripts/rehearse.sh" --build "$build" "${jobs[@]}" --out "$work/out-$size-$k" \
            --shard "$k/$shards" --json "$work/part-$size-$k.json" --fleet "$work/fleet-$size" \
            "$image" > /dev/null 2> "$work/part-$size-$k.err" || [ $? -le 1 ] ||
            { cat "$work/part-$size-$k.err" >&2; exit 1; }
        parts+=("$work/part-$size-$k.json")
    done
    local took
    took=$(since "$start") merged=$(date +%s%N)
    "$root/scripts/rehearse.sh" --build "$build" --json "$work/merged-$size.json" \
        --page "$work/merged-$size.html" --merge "${parts[@]}" > "$work/merged-$size.txt" 2> "$work/merged-$size.err" ||
        [ $? -le 1 ] || { cat "$work/merged-$size.err" >&2; exit 1; }
    local what
    for what in txt json; do
        local one=$work/plan-$size.txt
        [ "$what" = txt ] || one=$work/out-$size/plan.json
        if ! cmp -s <(untimed "$one") <(untimed "$work/merged-$size.$what"); then
            echo "fleet-benchmark.sh: $size boards: the $shards shards' merged $what differs" \
                "from the one run's:" >&2
            diff <(untimed "$one") <(untimed "$work/merged-$size.$what") | head -20 >&2
            exit 1
        fi
    done
    printf '%d boards in %d shards: %s s, merged in %s s; text and JSON the one run'"'"'s, board by board\n' \
        "$size" "$shards" "$took" "$(since "$merged")" >> "$work/shards"
}
wall="Elapsed (wall clock) time (h:mm:ss or m:ss)" rss="Maximum resident set size (kbytes)"
echo "fleet-benchmark.sh: $(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%8s %6s %6s %8s %10s %8s %9s %12s %11s %13s\n' boards runs twins "fleet s" \
    "plan time" "runs MB" "plan MiB" "report time" "report MiB" "w/o page MiB"
for size in "${sizes[@]}"; do
    fleet=$work/fleet-$size out=$work/out-$size
    start=$(date +%s%N)
    "$root/sim/make-fleet" "$fleet" "$size" > /dev/null
    made=$(date +%s%N)
    # The plan's status is 1 when a board ends NOK (the fleet has some): measured all the same.
    /usr/bin/time -v -o "$work/plan-$size.time" "$root/scripts/rehearse.sh" --build "$build" \
        "${jobs[@]}" --out "$out" --json "$out/plan.json" --fleet "$fleet" "$image" \
        > "$work/plan-$size.txt" 2> "$work/plan-$size.err" || [ $? -le 1 ] ||
        { cat "$work/plan-$size.err" >&2; exit 1; }
    runs=$(find "$out" -mindepth 2 -maxdepth 2 -name outcome | wc -l)
    # A board the seeding refused, or a run that broke, measures the wrong thing: every board
    # of a made fleet seeds, and every run ends OK or NOK.
    broken=$(find "$out" -mindepth 2 -maxdepth 2 -name outcome -exec cat {} + |
        grep -cvx 'OK\|NOK' || true)
    [ "$broken" -eq 0 ] || {
        echo "fleet-benchmark.sh: $size boards: $broken runs neither OK nor NOK (OUT/NAME/outcome)" >&2
        exit 1
    }
    twins=$(find "$out" -mindepth 2 -maxdepth 2 -name twin-of | wc -l)
    runs_mb=$(du -sm "$out" | cut -f1)
    # The report alone, again over the runs kept: the program whose memory holds every board.
    find "$fleet" -mindepth 1 -maxdepth 1 -type d | LC_ALL=C sort > "$work/boards-$size"
    /usr/bin/time -v -o "$work/report-$size.time" "$build/rehearse" --image "$image" \
        --json "$work/report-$size.json" --page "$work/report-$size.html" \
        --boards-from "$work/boards-$size" "$out" > /dev/null || [ $? -le 1 ] || exit 1
    /usr/bin/time -v -o "$work/json-$size.time" "$build/rehearse" --image "$image" \
        --json "$work/report-$size.json" --boards-from "$work/boards-$size" "$out" \
        > /dev/null || [ $? -le 1 ] || exit 1
    made_ms=$(((made - start) / 1000000))
    printf '%8d %6d %6d %8s %10s %8s %9s %12s %11s %13s\n' "$size" "$runs" "$twins" \
        "$((made_ms / 1000)).$((made_ms % 1000 / 100))" "$(field "$work/plan-$size.time" "$wall")" \
        "$runs_mb" \
        "$(mib "$(field "$work/plan-$size.time" "$rss")")" \
        "$(field "$work/report-$size.time" "$wall")" \
        "$(mib "$(field "$work/report-$size.time" "$rss")")" \
        "$(mib "$(field "$work/json-$size.time" "$rss")")"
    if [ "$shards" -gt 0 ]; then shard_check "$size"; fi
done
[ "$shards" -eq 0 ] || cat "$work/shards"
