#!/bin/bash
# The main job: builds the daemon for the simulated board and the sample update (all ten
# steps), starts the daemon on the simulated board, acts as its peer (start-up notice, query,
# start of the update, final notice) and shows the board before and after; then rehearses the
# image on the sample board's twin and writes its timeline (build/rehearsal/sample/).
#   scripts/demo.sh [--fail dfu]
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    -h|--help)
        echo "Usage: scripts/demo.sh [--fail dfu]"
        echo "Runs the sample update on the simulated board; --fail dfu makes the firmware load fail."
        exit 0 ;;
esac
scripts/deps.sh
scripts/configure-preset.sh host
cmake --build --preset host -j"$(nproc)" --target update_process_sim aipeer mkupdate
build=$PWD/build/host
sim/sample-update/build-image "$build/mkupdate" "$build/sample-update.img"
status=0
sim/board-run -- sim/run-update "$@" "$build" "$build/sample-update.img" || status=$?
if [ $# -eq 0 ]; then
    # Where the update's time goes on a board: the same image on the sample board's twin.
    echo
    echo "=== the sample update rehearsed on the sample board's twin ==="
    scripts/rehearse.sh --board sim/boards/sample "$build/sample-update.img" |
        sed -n '/^duration at/,$p' || true
fi
exit $status
