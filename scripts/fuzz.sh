#!/bin/bash
# Builds the fuzz harnesses of fuzz/ (clang's libFuzzer with ASan and UBSan) and runs every
# one of them on the simulated board for SECONDS (default 60), two at a time. Prints each
# harness's executions and findings; fails on any finding.
#   scripts/fuzz.sh [SECONDS] [HARNESS...]      e.g. scripts/fuzz.sh 600 sdp_merge_fuzz
# A harness may have a dictionary of its format's words (fuzz/<harness>.dict). Each harness's
# corpus grows in build/fuzz/runs/<harness>/corpus (the board's /sim/state/corpus) and is
# kept for the next run; a finding is written there as crash-*, leak-*, timeout-* or oom-*,
# and sim/board-run -- build/fuzz/fuzz/<harness> FILE replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
case "$seconds" in
    ''|*[!0-9]*) echo "fuzz.sh: SECONDS must be a number, not '$seconds'" >&2; exit 2 ;;
esac
scripts/deps.sh --fuzz

build=$PWD/build/fuzz
echo "=== fuzz: build ==="
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DBTLAP_FUZZ=ON -DBTLAP_TESTS=OFF -DBTLAP_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_harnesses mkupdate
fuzz/make-seeds "$build/mkupdate" "$build/seeds"

harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
    for source in fuzz/*_fuzz.cpp; do harnesses+=("$(basename "$source" .cpp)"); done
fi

# One harness in a sandbox of its own: a fresh /tmp, /etc and "/", its run folder as
# /sim/state. The daemon's log lines (standard error) and reports (standard output) are
# closed: libFuzzer's own lines and every finding still come through.
run_one() {
    local harness=$1 run=$build/runs/$1
    rm -f "$run"/crash-* "$run"/leak-* "$run"/timeout-* "$run"/oom-* "$run/fuzz.log"
    mkdir -p "$run/corpus"
    local dict=()
    [ -f "fuzz/$harness.dict" ] && dict=(-dict="$PWD/fuzz/$harness.dict")
    local status=0
    # The daemon's alarm(0) also stops libFuzzer's per-input timer: the run has an outer limit.
    timeout -k 10 $((seconds + 120)) sim/board-run --state "$run" -- "$build/fuzz/$harness" \
        -max_total_time="$seconds" -timeout=20 -max_len=8192 -close_fd_mask=3 \
        -print_final_stats=1 -artifact_prefix=/sim/state/ "${dict[@]}" \
        /sim/state/corpus "$build/seeds/$harness" >"$run/fuzz.log" 2>&1 || status=$?
    echo "$status" >"$run/status"
}

jobs=2
for harness in "${harnesses[@]}"; do
    [ -x "$build/fuzz/$harness" ] || { echo "fuzz.sh: no harness $harness" >&2; exit 2; }
done
echo "=== fuzz: ${#harnesses[@]} harnesses, $seconds s each, $jobs at a time ==="
running=0
for harness in "${harnesses[@]}"; do
    if [ $running -ge $jobs ]; then wait -n || true; running=$((running - 1)); fi
    run_one "$harness" &
    running=$((running + 1))
done
wait

failed=0
printf '%-22s %12s %8s %9s  %s\n' harness executions corpus findings result
for harness in "${harnesses[@]}"; do
    run=$build/runs/$harness
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/fuzz.log" | tail -n 1)
    corpus=$(find "$run/corpus" -type f | wc -l)
    findings=$(find "$run" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
                    -o -name 'oom-*' \) | wc -l)
    status=$(cat "$run/status")
    result=ok
    if [ "$status" != 0 ] || [ "$findings" != 0 ]; then
        result="FAILED (exit status $status; log: $run/fuzz.log)"
        failed=$((failed + 1))
    fi
    printf '%-22s %12s %8s %9s  %s\n' "$harness" "${executions:-?}" "$corpus" "$findings" "$result"
done
for harness in "${harnesses[@]}"; do
    run=$build/runs/$harness
    if [ "$(cat "$run/status")" != 0 ]; then
        echo "--- $harness: the end of its log ---"
        grep -v '^#[0-9]' "$run/fuzz.log" | tail -n 40
    fi
done
if [ $failed -gt 0 ]; then
    echo "fuzz: $failed of ${#harnesses[@]} harnesses found a fault"
    exit 1
fi
echo "fuzz: ${#harnesses[@]} harnesses, no finding"
