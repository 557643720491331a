#!/bin/bash
# The suites on a busy machine: the host suite at 16 tests at a time beside the sanitizer
# suite and two busy loops per core, in rounds (default two in a row). A test that passes only
# on a quiet machine races another process's speed; this is where it shows. The host and asan
# builds must be built (scripts/test.sh host asan builds them).
#   scripts/stress-check.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-2}
case "$rounds" in
    ''|*[!0-9]*|0) echo "stress-check.sh: bad count of rounds '$rounds'" >&2; exit 2 ;;
esac
logs=build/stress
mkdir -p "$logs"

# The busy loops and a sanitizer suite still running end with the check, however it ends.
busy=()
asan=""
# (Called by the trap alone.)
# shellcheck disable=SC2317
stop_load() {
    for pid in "${busy[@]}" $asan; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap stop_load EXIT
trap 'exit 130' INT TERM
for ((i = 0; i < 2 * $(nproc); i++)); do
    (while :; do :; done) &
    busy+=($!)
done

summary() {  # LOG: ctest's count of passed tests and its time
    grep -E 'tests passed|Total Test time' "$1" | tr '\n' ' '
}

status=0
for ((round = 1; round <= rounds; round++)); do
    echo "=== stress round $round of $rounds: host (16 at a time) beside asan, ${#busy[@]} busy loops ==="
    start=$SECONDS
    ctest --preset asan > "$logs/asan-$round.log" 2>&1 &
    asan=$!
    failed=()
    ctest --preset host -j16 > "$logs/host-$round.log" 2>&1 || failed+=(host)
    wait "$asan" || failed+=(asan)
    asan=""
    for suite in host asan; do
        echo "$suite: $(summary "$logs/$suite-$round.log")"
    done
    echo "round $round took $((SECONDS - start)) s"
    for suite in "${failed[@]}"; do
        echo "--- $suite failed in round $round (its whole output: $logs/$suite-$round.log) ---"
        sed -n '/tests failed out of/,$p' "$logs/$suite-$round.log"
        status=1
    done
    [ $status -eq 0 ] || break
done
exit $status
