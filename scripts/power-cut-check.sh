#!/bin/bash
# The power-cut check: an update on the simulated board with every file-system operation the
# daemon and the programs it starts make under /etc recorded (sim/recorder/etc_recorder.cpp,
# loaded by LD_PRELOAD), then for every cut point the states a power cut there could leave
# (build/host/powercut: writes and names not yet synced may be lost), each checked: the key
# set, the security version, service.txt and terminal.txt are each the old or the new one,
# and what a sync made durable stays. Then the daemon is started on states of /etc (all of
# them, or a sample) as after the power's return (a fresh /tmp): a board with keys or the record
# that it held some must refuse an unsigned image, and the update run again must end OK with
# /etc as the update leaves it.
# Over three updates: the sample update, a key rotation and an enrolment.
set -euo pipefail

usage() {
    cat <<'TXT'
Usage: scripts/power-cut-check.sh [OPTIONS]
Records every file-system operation under /etc of an update on the simulated board, builds
the states a power cut at each of them could leave, checks each (the key set, the security
version, service.txt and terminal.txt old or new, never missing or mixed), and reruns the
update on them (a board with keys or update-keys.enrolled must refuse an unsigned image
first). Over the sample update, a key rotation and an enrolment.

Options:
  --all            rerun the update on every distinct state (the full check)
  --reruns N       otherwise rerun on N states of each update, drawn by the seed, and
                   its last state (default 3)
  --seed S         the draw's seed (default: from the clock; printed)
  --updates LIST   of sample, rotation, enrolment (default all three, by commas)
  --exchange       let the daemon exchange two names in one rename (tmpfs can); by
                   default the recorder refuses it, as flash file systems do, and the
                   daemon takes its other road
  --clock-speed K  the board's clock runs K times faster (default 10)
  --build DIR      the host build with update_process_sim, aipeer, mkupdate, powercut and
                   libetc_recorder.so (default build/host, built if needed)
  -h, --help       show this help
  -V, --version    show the version
Exit status: 0 when every state is whole and every rerun ended right, 1 otherwise, 2 for
usage errors.
TXT
}

# --- inside the board ------------------------------------------------------------------------
# The module as the sample board has it, answering at once: the check is of /etc.
fresh_module() {  # PROJECT
    grep -v '^//' "$1/sim/module/default-store.psr" > /sim/state/module.psr
    echo "1958 16.4.0" > /sim/state/module.firmware
    echo 0 > /sim/state/module.baud
}

# Starts the daemon (under the command daemon_under, when set) and runs aipeer's commands;
# the peer's status.
daemon_under=()
with_daemon() {  # BUILD LIMIT PEER_ARGS...
    local build=$1 limit=$2 peer status=0
    shift 2
    "$build/aipeer" --timeout "$limit" notice "$@" > /sim/state/peer.out 2>&1 &
    peer=$!
    "$(dirname "$0")/../sim/await-peer" "$peer" "$limit" || true
    (cd / && exec "${daemon_under[@]}" "$build/update_process_sim" > /sim/state/daemon.out 2> /sim/state/daemon.err) &
    local daemon=$!
    wait "$peer" || status=$?
    kill -KILL "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
    return $status
}

copy_etc() {  # TO
    mkdir -p "$1"
    (cd /etc && tar --exclude=./alternatives -cf - .) | (cd "$1" && tar -xf -)
}

# power-cut-check.sh --record PROJECT BUILD IMAGE LIMIT EXCHANGE: the update with the recorder.
record_update() {
    local project=$1 build=$2 image=$3 limit=$4 status=0
    fresh_module "$project"
    daemon_under=(env POWER_CUT_LOG=/sim/state/ops.log LD_PRELOAD="$build/libetc_recorder.so")
    if [ "$5" = no ]; then daemon_under+=(POWER_CUT_NO_EXCHANGE=1); fi
    with_daemon "$build" "$limit" start "$image" || status=$?
    echo "$status" > /sim/state/peer.status
    copy_etc /sim/state/after
}

# power-cut-check.sh --rerun PROJECT BUILD IMAGE UNSIGNED LIMIT UNSIGNED_IMAGES: after a power
# cut; UNSIGNED_IMAGES "refuses" when the board must refuse them.
rerun_update() {
    local project=$1 build=$2 image=$3 unsigned=$4 limit=$5 unsigned_images=$6 status=0
    fresh_module "$project"
    if [ "$unsigned_images" = refuses ]; then
        with_daemon "$build" "$limit" start "$unsigned" || status=$?
        if [ $status = 0 ] || ! grep -q "image file /tmp/image refused" /tmp/update.log; then
            echo "took an unsigned image" > /sim/state/verdict
            return
        fi
        status=0
    fi
    with_daemon "$build" "$limit" start "$image" || status=$?
    copy_etc /sim/state/after
    if [ $status != 0 ]; then echo "rerun ended with status $status" > /sim/state/verdict; return; fi
    echo OK > /sim/state/verdict
}

case "${1:-}" in
    --record) shift; record_update "$@"; exit 0 ;;
    --rerun) shift; rerun_update "$@"; exit 0 ;;
esac

# --- on the host -----------------------------------------------------------------------------
cd "$(dirname "$0")/.."
project=$PWD
all=0
reruns=3
seed=""
updates=sample,rotation,enrolment
exchange=no
speed=10
build=""
while [ $# -gt 0 ]; do
    case "$1" in
        --all) all=1; shift ;;
        --reruns) reruns=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
        --seed) seed=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
        --updates) updates=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
        --exchange) exchange=yes; shift ;;
        --clock-speed) speed=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
        --build) build=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
        -h|--help) usage; exit 0 ;;
        -V|--version) exec scripts/project-version power-cut-check.sh ;;
        *) echo "power-cut-check.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done
[ -n "$seed" ] || seed=$(( $(date +%s) % 100000 ))
for value in "$reruns" "$seed" "$speed"; do
    case "$value" in
        ''|*[!0-9]*) echo "power-cut-check.sh: '$value' is not a whole number (see --help)" >&2
                     exit 2 ;;
    esac
done
[ "$speed" -ge 1 ] || { echo "power-cut-check.sh: the clock speed must be 1 or more" >&2; exit 2; }
IFS=, read -ra update_list <<< "$updates"
for update in "${update_list[@]}"; do
    case "$update" in
        sample|rotation|enrolment) ;;
        *) echo "power-cut-check.sh: unknown update '$update' (see --help)" >&2; exit 2 ;;
    esac
done
if [ -z "$build" ]; then
    scripts/configure-preset.sh host > /dev/null
    cmake --build --preset host -j2 --target update_process_sim aipeer mkupdate powercut \
        etc_recorder > /dev/null
    build=build/host
fi
build=$(cd "$build" && pwd)
out=$project/build/power-cut
rm -rf "$out"
mkdir -p "$out"
# Per answer: the sample update's time at the board's speed, and some.
limit=$((900 / speed + 60))

# The updates, their boards' /etc and keys.
make_updates() {
    local tool=$build/mkupdate services=sim/sample-update/parts/service.txt
    "$tool" keygen "$out/old.pem" > /dev/null
    "$tool" keygen "$out/new.pem" > /dev/null
    mkdir -p "$out/rotation-keys" "$out/enrolment-keys"
    cp "$out/old.key" "$out/new.key" "$out/rotation-keys/"
    cp "$out/new.key" "$out/enrolment-keys/"
    sim/sample-update/build-image "$tool" "$out/sample.img"
    "$tool" build -o "$out/rotation.img" --services "$services" --steps CHECK_SDP,UPDATE_KEYS \
        --install-keys "$out/rotation-keys" --sign "$out/old.pem" --security-version 2
    "$tool" build -o "$out/enrolment.img" --services "$services" --steps CHECK_SDP,UPDATE_KEYS \
        --install-keys "$out/enrolment-keys" --sign "$out/new.pem" --security-version 1
    "$tool" build -o "$out/unsigned.img" --services "$services" --steps CHECK_SDP
    cp -R sim/board/etc "$out/sample-etc"
    cp -R sim/board/etc "$out/enrolment-etc"
    cp -R sim/board/etc "$out/rotation-etc"
    mkdir "$out/rotation-etc/update-keys"
    cp "$out/old.key" "$out/rotation-etc/update-keys/"
    echo 1 > "$out/rotation-etc/update-security-version"
}

# The states to rerun: all, or the draw and the last.
chosen_states() {  # STATES_DIR
    local list=$1/states.txt count
    count=$(wc -l < "$list")
    if [ $all = 1 ] || [ "$count" -le $((reruns + 1)) ]; then cat "$list"; return; fi
    { shuf -n "$reruns" --random-source=<(yes "$seed") < <(head -n $((count - 1)) "$list")
      tail -n 1 "$list"; } | sort -t- -k2 -n
}

# What /etc must hold after a rerun: what the recorded update left. The security version
# aside: an enrolment's image is verified by no key of the board, so its update leaves the
# version as it was, while its rerun on an enrolled board records it. And the key set by what
# it holds (diff follows the link update-keys), not by its number: a rerun after the commit
# stages the same keys again, in the next update-keys.N; but as many set folders.
same_etc() {  # A B
    diff -r -x update-security-version -x 'update-keys.[0-9]*' "$1" "$2" > /dev/null &&
        [ "$(set_folders "$1")" = "$(set_folders "$2")" ]
}
set_folders() {  # ETC
    find "$1" -maxdepth 1 -name 'update-keys.[0-9]*' | wc -l
}

failed=0
check_update() {  # NAME
    local name=$1 dir=$out/$1 status=0
    mkdir -p "$dir/record"
    echo "=== $name: the update, recorded ==="
    sim/board-run --etc "$out/$name-etc" --state "$dir/record" --clock-speed "$speed" -- \
        "$project/scripts/power-cut-check.sh" --record "$project" "$build" "$out/$name.img" \
        "$limit" "$exchange" > "$dir/record/run.log" 2>&1
    if [ "$(cat "$dir/record/peer.status")" != 0 ]; then
        echo "power-cut-check.sh: the $name update did not end OK ($dir/record)" >&2
        failed=$((failed + 1))
        return
    fi
    "$build/powercut" --after "$dir/record/after" --out "$dir/states" "$out/$name-etc" \
        "$dir/record/ops.log" > "$dir/verdict.txt" || status=$?
    [ $status -le 1 ] || { cat "$dir/verdict.txt"; failed=$((failed + 1)); return; }
    [ $status = 0 ] || failed=$((failed + 1))
    tail -n 1 "$dir/verdict.txt"
    if [ $status = 1 ]; then
        echo "broken cut points, each piece once with the first state that breaks it (all in"
        echo "$dir/verdict.txt):"
        head -n -1 "$dir/verdict.txt" |
            awk '{ piece = $0; sub(/^[^)]*\), [^:]*: /, "", piece); sub(/ (is|was) .*/, "", piece)
                   cut = $0; sub(/ \(.*/, "", cut); if (!seen[cut " " piece]++) print }' |
            cut -c1-150
    fi
    rerun_states "$name"
}

rerun_states() {  # NAME
    local name=$1 dir=$out/$1 state unsigned_images cut variant verdict
    echo "--- $name: reruns after a power cut ---"
    while read -r state unsigned_images cut variant; do
        mkdir -p "$dir/rerun/$state"
        sim/board-run --etc "$dir/states/$state" --state "$dir/rerun/$state" \
            --clock-speed "$speed" -- "$project/scripts/power-cut-check.sh" --rerun \
            "$project" "$build" "$out/$name.img" "$out/unsigned.img" "$limit" "$unsigned_images" \
            > "$dir/rerun/$state/run.log" 2>&1 || true
        verdict=$(cat "$dir/rerun/$state/verdict" 2>/dev/null || echo "no verdict")
        if [ "$verdict" = OK ] && ! same_etc "$dir/record/after" "$dir/rerun/$state/after"; then
            verdict="/etc after the rerun differs from the update's"
        fi
        [ "$verdict" = OK ] || failed=$((failed + 1))
        printf '%-10s unsigned images: %-7s cut %-4s %-16s %s\n' "$state" "$unsigned_images" \
            "$cut" "$variant" "$verdict"
    done < <(chosen_states "$dir/states")
}

make_updates > "$out/make.log" 2>&1 || { cat "$out/make.log" >&2; exit 1; }
echo "seed $seed; the name exchange: $exchange"
for update in "${update_list[@]}"; do check_update "$update"; done
echo "=== $failed faults; the runs: $out ==="
[ $failed -eq 0 ]
