#!/bin/bash
# The main job: builds the daemon for the simulated board and the sample update, starts the
# daemon on the simulated board, acts as its peer (start-up notice, query, start of the
# update, final notice) and prints the update report.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j"$(nproc)" --target update_process_sim aipeer mkupdate
build=$PWD/build/host
sim/sample-update/build-image "$build/mkupdate" "$build/sample-update.img"
exec sim/board-run -- sim/run-update "$build" "$build/sample-update.img"
