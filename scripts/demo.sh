#!/bin/bash
# The main job: builds the daemon for the simulated board and the sample update (all ten
# steps), starts the daemon on the simulated board, acts as its peer (start-up notice, query,
# start of the update, final notice) and shows the board before and after; then rehearses the
# image on the sample board's twin and writes its timeline (build/rehearsal/sample/).
# Exits non-zero when any of its parts fails: the build, the image, the update (with --fail dfu,
# the update's NOK is what it shows: the peer's status 1), the rehearsal or its timeline.
#   scripts/demo.sh [--fail dfu]
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    -h|--help)
        echo "Usage: scripts/demo.sh [--fail dfu]"
        echo "Runs the sample update on the simulated board; --fail dfu makes the firmware load fail."
        echo "Exit status: 0 when every part did what it shows; with --fail dfu, the peer's status"
        echo "(1: the update ended NOK); non-zero when the build, the update or the rehearsal failed."
        exit 0 ;;
    ""|--fail) ;;
    *) echo "demo.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
esac
scripts/deps.sh
scripts/configure-preset.sh host
cmake --build --preset host -j"$(nproc)" --target update_process_sim aipeer mkupdate rehearse
build=$PWD/build/host
sim/sample-update/build-image "$build/mkupdate" "$build/sample-update.img"
status=0
sim/board-run -- sim/run-update "$@" "$build" "$build/sample-update.img" || status=$?
if [ $# -eq 0 ]; then
    [ $status -eq 0 ] || { echo "demo.sh: the update on the simulated board failed (status $status)" >&2; exit $status; }
    # Where the update's time goes on a board: the same image on the sample board's twin.
    echo
    echo "=== the sample update rehearsed on the sample board's twin ==="
    timeline=$PWD/build/rehearsal/sample/timeline.svg
    rm -f "$timeline"
    scripts/rehearse.sh --board sim/boards/sample "$build/sample-update.img" > "$build/demo-rehearsal.txt" ||
        status=$?
    sed -n '/^duration at/,$p' "$build/demo-rehearsal.txt"
    if [ $status -ne 0 ]; then
        echo "demo.sh: the rehearsal failed (status $status)" >&2
    elif [ ! -s "$timeline" ]; then
        echo "demo.sh: the rehearsal wrote no timeline at $timeline" >&2
        status=1
    fi
fi
exit $status
