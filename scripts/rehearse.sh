#!/bin/bash
# Rehearses an update on twins of real boards before it ships: seeds a simulated board from
# each board's folder (sim/seed-board), runs IMAGE on each in a sandbox of its own, several at
# a time, the module's line at 0 baud, and reports what the peer was told on each board.
#   scripts/rehearse.sh [OPTIONS] [--board DIR]... IMAGE
# Each board's run is kept in OUT/NAME/ (NAME: the folder's name), which the report reads:
#   seed.txt      the seeding's lines, one per piece taken from the sample board
#   before/       the seeded state (state/) and /etc (etc/), as the update found them
#   state/        the simulated devices' state after the run (module.psr, module.firmware,
#                 flash.bin, module.log, module.btsnoop)
#   tmp/          the board's /tmp after the run: peer.txt, update.log, daemon.err, etc-after/
#   run.err       what the sandbox and the run said on standard error
#   outcome       OK, NOK, or "none" (no final notice came)
set -euo pipefail

usage() {
    cat <<'TXT'
Usage: rehearse.sh [OPTIONS] [--board DIR]... IMAGE
Runs the update IMAGE on a simulated board seeded from each board folder (see
sim/seed-board --help), each in a sandbox of its own, several at a time, the module's line
at 0 baud. For each board: the pieces taken from the sample board, the outcome the peer got
(OK or NOK) and, after NOK, the report's lines that tell why; then a table over all boards.

Options:
  --board DIR     a board's folder; may be given many times (default: sim/boards/sample)
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
boards=() out="$root/build/rehearsal" build="$root/build/host" emulator="" jobs=$(nproc)
value() { [ $# -ge 2 ] || usage_error "$1 needs a value (see --help)"; }
while [ $# -gt 0 ]; do
    case "$1" in
        --board) value "$@"; boards+=("$2"); shift 2 ;;
        --out) value "$@"; out=$2; shift 2 ;;
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
        return
    fi
    cp -R "$dir/before/state" "$dir/state"
    echo 0 > "$dir/state/module.baud"
    # Placed as the peer places it: the sandbox sees nothing of this machine's folders but
    # the project's and the working folder.
    cp "$image" "$dir/tmp/image"
    "$root/sim/board-run" --etc "$dir/before/etc" --state "$dir/state" --tmp "$dir/tmp" -- \
        "$root/sim/rehearse-run" --emulator "$emulator" "$build" 2> "$dir/run.err" || status=$?
    case $status in
        0) echo OK ;;
        1) echo NOK ;;
        *) echo none ;;
    esac > "$dir/outcome"
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

# The failed steps, from the reasons that the peer shows after the final notice "NOK".
reasons() { sed -n '/^AI_NOTICE .* param 2 text "NOK"/,$p' "$1/tmp/peer.txt" | tail -n +2; }

ok=0
for i in "${!boards[@]}"; do
    dir="$out/${names[$i]}"
    outcome=$(cat "$dir/outcome")
    echo "=== board ${names[$i]} (${boards[$i]}) ==="
    cat "$dir/seed.txt"
    case $outcome in
        OK) ok=$((ok + 1)); echo "outcome: OK" ;;
        NOK) echo "outcome: NOK"; reasons "$dir" | sed 's/^/  /' ;;
        seeding) echo "outcome: not rehearsed, the board's folder is wrong"
                 sed 's/^/  /' "$dir/seed.err" ;;
        *) echo "outcome: no final notice came"
           cat "$dir/tmp/peer.txt" "$dir/run.err" 2>/dev/null | tail -n 3 | sed 's/^/  /' ;;
    esac
done

echo "=== all boards ==="
width=5
for name in "${names[@]}"; do [ ${#name} -le $width ] || width=${#name}; done
printf "%-${width}s  %-7s  %-7s  %s\n" board outcome assumed "failed steps"
for i in "${!boards[@]}"; do
    dir="$out/${names[$i]}"
    outcome=$(cat "$dir/outcome")
    failed=""
    if [ "$outcome" = NOK ]; then
        failed=$(reasons "$dir" | sed -n 's/^\(.*\) failed:$/\1/p' | paste -sd, | sed 's/,/, /g')
    fi
    printf "%-${width}s  %-7s  %-7s  %s\n" "${names[$i]}" "$outcome" \
        "$(wc -l < "$dir/seed.txt")" "$failed" | sed 's/ *$//'
done
echo "$ok of ${#boards[@]} boards ended OK"
[ "$ok" -eq ${#boards[@]} ]
