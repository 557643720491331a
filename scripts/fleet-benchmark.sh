#!/bin/bash
# How long a large fleet's plan takes on this machine, and how much memory: a fleet made by
# sim/make-fleet (10,000 boards as captured, 200 distinct) planned by scripts/rehearse.sh with
# the sample update. Not part of the tests (it takes minutes); its figures go in the notes.
#   scripts/fleet-benchmark.sh [--boards N]... [--jobs N] [--build DIR] [--work DIR]
set -euo pipefail

usage() {
    cat <<'TXT'
Usage: fleet-benchmark.sh [--boards N]... [--jobs N] [--build DIR] [--work DIR]
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
  --build DIR   the build with update_process_sim, aipeer, rehearse and mkupdate
                (default: build/host)
  --work DIR    where the fleets and runs go, emptied first (default: a new temporary
                folder, removed at the end)
  -h, --help    show this help
  -V, --version show the version
Exit status: 0 measured, 1 a step failed, 2 usage error.
TXT
}
usage_error() { echo "fleet-benchmark.sh: $*" >&2; exit 2; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sizes=() build=$root/build/host work="" jobs=()
while [ $# -gt 0 ]; do
    case "$1" in
        --boards) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage_error "--boards takes a count"
                  sizes+=("$2"); shift 2 ;;
        --jobs) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage_error "--jobs takes a count"
                jobs=(--jobs "$2"); shift 2 ;;
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
done
